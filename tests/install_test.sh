#!/usr/bin/env bash
# Checks what an installation and the Debian package hold, and that the
# units, man pages and bash completion are sound.
#   tests/install_test.sh CHECK SOURCE_DIR BUILD_DIR UNIT_DIR SYSUSERS_DIR
# CHECK is one of install, package, units, man, completion, publish.
# UNIT_DIR and SYSUSERS_DIR are the configured folders of the systemd units
# and of the sysusers.d file (relative: under the prefix). Exits 77 (skipped)
# with a reason when a tool the check needs is missing.
set -uo pipefail
# Whether standard input holds a line that matches (grep's arguments). Reads
# it all: grep -q stops at the match, and a writer cut short fails the
# pipeline under pipefail.
contains() { grep "$@" >/dev/null; }
check=$1
src=$2
build=$3
unit_dir=$4
sysusers_dir=$5
[[ $unit_dir == /* ]] || unit_dir=/usr/$unit_dir
unit_dir=${unit_dir#/}
[[ $sysusers_dir == /* ]] || sysusers_dir=/usr/$sysusers_dir
sysusers_dir=${sysusers_dir#/}
# The program's own library folder (its printing module), as configured.
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")

tmp=$(mktemp -d /tmp/tavrin-install-XXXXXX)
trap 'rm -rf "$tmp"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }
skip() { echo "SKIPPED: $*"; exit 77; }

# Installs the build into $tmp/root with the prefix /usr, as the package does.
install_root() {
  DESTDIR=$tmp/root cmake --install "$build" --prefix /usr >"$tmp/install.log" 2>&1 ||
    { cat "$tmp/install.log"; echo "FAIL: cmake --install"; exit 1; }
}

expected_files() {
  cat <<EOF | sort
$unit_dir/tavrin-report-schedule.service
$unit_dir/tavrin-report@.service
$unit_dir/tavrin-report@.path
$unit_dir/tavrin-report@.timer
$sysusers_dir/tavrin-report.conf
usr/bin/tavrin-mdb-write
usr/bin/tavrin-report
usr/$libdir/tavrin-report/tavrin-print-cups.so
usr/share/bash-completion/completions/tavrin-report
usr/share/doc/tavrin-report/changelog.gz
usr/share/doc/tavrin-report/copyright
usr/share/doc/tavrin-report/examples/TavrinReport.ini
usr/share/doc/tavrin-report/examples/header.xml
usr/share/doc/tavrin-report/examples/trailer.xml
usr/share/man/man1/tavrin-mdb-write.1.gz
usr/share/man/man1/tavrin-report.1.gz
usr/share/man/man5/tavrin-report.ini.5.gz
EOF
}

# What the desktop window adds (package tavrin-report-desktop), when the
# build has it (TAVRIN_DESKTOP).
desktop_files() {
  cat <<EOF
usr/libexec/tavrin-report/tavrin-report-window
usr/share/applications/tavrin-report.desktop
usr/share/doc/tavrin-report-desktop/changelog.gz
usr/share/doc/tavrin-report-desktop/copyright
usr/share/icons/hicolor/scalable/apps/tavrin-report.svg
EOF
}
has_desktop() { [ -x "$build/app/tavrin-report-window" ]; }

case $check in
install)
  install_root
  (cd "$tmp/root" && find . \( -type f -o -type l \) | sed 's|^\./||' | sort) >"$tmp/files"
  diff -u <( (expected_files; has_desktop && desktop_files) | sort) "$tmp/files" ||
    fail "the installed files differ from the list"
  if has_desktop; then
    if command -v desktop-file-validate >/dev/null; then
      desktop-file-validate "$tmp/root/usr/share/applications/tavrin-report.desktop" ||
        fail "desktop-file-validate tavrin-report.desktop"
    else
      echo "desktop-file-validate is not installed: the menu entry was not checked"
    fi
  fi
  [ -e "$tmp/root/usr/etc" ] && fail "something was installed under usr/etc"
  grep -q '^ExecStart=/usr/bin/tavrin-report --unattended -- %I$' \
    "$tmp/root/$unit_dir/tavrin-report@.service" || fail "the report unit does not run /usr/bin/tavrin-report"

  bin=$tmp/root/usr/bin
  [ "$("$bin/tavrin-report" --version)" = "tavrin-report 7.000" ] || fail "--version of the installed program"
  # The example folder is a report folder: add a database and run it.
  demo=$tmp/demo
  cp -r "$tmp/root/usr/share/doc/tavrin-report/examples" "$demo"
  "$bin/tavrin-mdb-write" "$demo/Vesk.mdb" --sample 50 --seed 7 || fail "the installed writer"
  (cd "$demo" && "$bin/tavrin-report" --check >"$tmp/check.txt") || { cat "$tmp/check.txt"; fail "--check of the examples"; }
  (cd "$demo" && "$bin/tavrin-report" --unattended >/dev/null 2>"$tmp/demo.log") || { cat "$tmp/demo.log"; fail "the demo run"; }
  for f in status.html closings.csv feed.xml; do
    [ -s "$demo/$f" ] || fail "the demo did not write $f"
  done
  grep -q '<closings>' "$demo/feed.xml" || fail "the feed lacks its header"
  ;;

package)
  command -v dpkg-deb >/dev/null || skip "dpkg-deb is not installed"
  command -v dpkg-shlibdeps >/dev/null || skip "dpkg-shlibdeps is not installed (dpkg-dev)"
  (cd "$tmp" && cpack -G DEB -B "$tmp/pkg" --config "$build/CPackConfig.cmake" >"$tmp/cpack.log" 2>&1) ||
    { cat "$tmp/cpack.log"; echo "FAIL: cpack"; exit 1; }
  deb=$(ls "$tmp"/pkg/tavrin-report_*_*.deb 2>/dev/null)
  [ -f "$deb" ] || { ls "$tmp/pkg"; echo "FAIL: no tavrin-report_VERSION_ARCH.deb"; exit 1; }
  arch=$(dpkg --print-architecture)
  [ "$(basename "$deb")" = "tavrin-report_7.0_${arch}.deb" ] || fail "package name $(basename "$deb")"
  dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '/$' | sed 's|^\./||' | sort >"$tmp/files"
  diff -u <(expected_files) "$tmp/files" || fail "the package's files differ from the list"
  [ "$(dpkg-deb -f "$deb" Package)" = tavrin-report ] || fail "Package"
  [ "$(dpkg-deb -f "$deb" Version)" = 7.0 ] || fail "Version"
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "Architecture"
  depends=$(dpkg-deb -f "$deb" Depends)
  names=$(echo "$depends" | tr ',' '\n' | sed 's/^ *//; s/[ (].*//')
  for lib in libc6 libstdc++6 libmdb3 libsqlite3-0 libglib2.0-0 libcups2 libcairo2 libodbc2 fonts-liberation tdsodbc; do
    grep -qx -- "$lib" <<<"$names" || fail "Depends lacks $lib: $depends"
  done
  # A server installs this package alone: no window toolkit comes with it.
  dpkg-deb -I "$deb" | contains -iE '^ *(Depends|Pre-Depends|Recommends):.*qt' &&
    fail "tavrin-report depends on Qt: $(dpkg-deb -I "$deb" | grep -iE '^ *(Depends|Recommends):')"
  if has_desktop; then
    desktop_deb=$tmp/pkg/tavrin-report-desktop_7.0_${arch}.deb
    if [ -f "$desktop_deb" ]; then
      dpkg-deb -c "$desktop_deb" | awk '{print $6}' | grep -v '/$' | sed 's|^\./||' | sort >"$tmp/desktop-files"
      diff -u <(desktop_files | sort) "$tmp/desktop-files" || fail "the desktop package's files differ from the list"
      desktop_names=$(dpkg-deb -f "$desktop_deb" Depends | tr ',' '\n' | sed 's/^ *//')
      grep -qx 'tavrin-report (= 7.0)' <<<"$desktop_names" ||
        fail "tavrin-report-desktop does not depend on tavrin-report (= 7.0): $desktop_names"
      grep -q '^libqt6widgets6' <<<"$desktop_names" || fail "tavrin-report-desktop does not depend on libqt6widgets6"
    else
      ls "$tmp/pkg"; fail "no tavrin-report-desktop_7.0_${arch}.deb"
    fi
  fi
  description=$(dpkg-deb -f "$deb" Description)
  [ "$(echo "$description" | wc -l)" -gt 3 ] || fail "no long description"
  dpkg-deb --fsys-tarfile "$deb" | tar -xO "./usr/bin/tavrin-report" >"$tmp/bin" || fail "no program"
  readelf -d "$tmp/bin" | contains -iE 'rpath|runpath' && fail "the program has an RPATH"
  readelf -d "$tmp/bin" | contains 'BIND_NOW' || fail "the program is not linked with -z now"
  grep -qx 'bash-completion' <<<"$(dpkg-deb -f "$deb" Recommends)" || fail "Recommends lacks bash-completion"
  for script in postinst prerm postrm; do
    dpkg-deb -I "$deb" "$script" >/dev/null 2>&1 || fail "the package has no $script"
  done
  # The debug information of the same build, found by the program's build id.
  ddeb=$(ls "$tmp"/pkg/tavrin-report-dbgsym_*_*.ddeb 2>/dev/null)
  if [ -f "$ddeb" ]; then
    [ "$(dpkg-deb -f "$ddeb" Depends)" = "tavrin-report (= 7.0)" ] || fail "dbgsym Depends: $(dpkg-deb -f "$ddeb" Depends)"
    id=$(readelf -n "$tmp/bin" | sed -n 's/.*Build ID: *//p')
    dpkg-deb -c "$ddeb" | contains "/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug" ||
      fail "the dbgsym package lacks the program's debug file (build id $id)"
  else
    fail "no tavrin-report-dbgsym_VERSION_ARCH.ddeb"
  fi

  if command -v lintian >/dev/null; then
    # Every tag lintian still gives must be explained in the README.
    lintian --tag-display-limit 0 -I --pedantic "$deb" 2>/dev/null |
      sed -n 's/^[EWIPX]: tavrin-report[^:]*: \([a-z0-9.+-]*\).*/\1/p' | sort -u >"$tmp/tags"
    while read -r tag; do
      grep -q "\`$tag\`" "$src/README.md" || fail "lintian tag $tag is not explained in README.md"
    done <"$tmp/tags"
    # lintian's own exit status tells of tags too: only the listing counts.
    errors=$(lintian --tag-display-limit 0 "$deb" 2>/dev/null)
    contains '^E:' <<<"$errors" && fail "lintian reports errors"
  else
    echo "lintian is not installed: the package was not checked with it"
  fi
  ;;

units)
  command -v systemd-analyze >/dev/null || skip "systemd-analyze is not installed"
  install_root
  # verify wants the program where ExecStart names it.
  mkdir -p "$tmp/units"
  for f in "$tmp/root/$unit_dir"/*; do
    sed "s|^ExecStart=/usr/bin/|ExecStart=$tmp/root/usr/bin/|" "$f" >"$tmp/units/$(basename "$f")"
  done
  out=$(cd "$tmp/units" && systemd-analyze verify --man=no ./tavrin-report-schedule.service \
          ./tavrin-report@Daily.service ./tavrin-report@Daily.timer ./tavrin-report@Daily.path 2>&1)
  rc=$?
  if [ $rc -ne 0 ] || [ -n "$out" ]; then
    echo "$out"
    fail "systemd-analyze verify"
  fi
  for unit in tavrin-report-schedule.service tavrin-report@.service; do
    grep -qx 'User=tavrin-report' "$tmp/units/$unit" || fail "$unit does not run as User=tavrin-report"
    grep -q '^DynamicUser=yes' "$tmp/units/$unit" && fail "$unit runs as a dynamic user"
  done
  # The exposure of the confinement stays at or below 1.2.
  cp "$tmp/units/tavrin-report@.service" "$tmp/units/tavrin-report@Daily.service"
  if systemd-analyze security --help 2>/dev/null | contains -- '--offline'; then
    for unit in tavrin-report-schedule.service tavrin-report@Daily.service; do
      out=$(cd "$tmp/units" && systemd-analyze security --offline=true --no-pager "./$unit" 2>&1) ||
        fail "systemd-analyze security $unit"
      exposure=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' <<<"$out")
      if [ -z "$exposure" ] || ! awk -v e="$exposure" 'BEGIN { exit !(e <= 1.2) }'; then
        echo "$out"
        fail "$unit: exposure ${exposure:-unknown}, more than 1.2"
      fi
    done
  else
    echo "systemd-analyze security has no --offline: the exposure was not measured"
  fi
  ;;

man)
  command -v man >/dev/null || skip "man is not installed (man-db)"
  for page in tavrin-report.1 tavrin-report.ini.5 tavrin-mdb-write.1; do
    warnings=$(MANWIDTH=80 man --warnings -l "$build/doc/$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || { echo "$warnings"; fail "$page renders with warnings"; }
    MANWIDTH=80 man -l "$build/doc/$page" 2>/dev/null | contains 'SEE ALSO' || fail "$page does not render"
  done
  ;;

completion)
  mkdir -p "$tmp/folder"
  printf '[Report Schedule]\r\nReport Name01=Web\r\n[Web]\r\n[Daily Export]\r\n[TavrinReportGenerator]\r\n' \
    >"$tmp/folder/TavrinReport.ini"
  got=$(cd "$tmp/folder" && bash -c '
    source "$1"
    complete_word() { COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _tavrin_report; echo "${COMPREPLY[*]}"; }
    complete_word tavrin-report ""
    complete_word tavrin-report D
    complete_word tavrin-report --ch
    complete_word tavrin-report -- -
    complete_word tavrin-report d
    complete_word tavrin-report --check --as
    complete_word tavrin-report --p
    complete_word tavrin-report -
    lpstat() { printf "office\nlab\n"; }  # the printers CUPS would list
    complete_word tavrin-report --printer o' _ "$src/packaging/bash-completion/tavrin-report")
  expected=$'Web Daily\\ Export\nDaily\\ Export\n--check\n\nDaily\\ Export\n--as-service\n--printer\n'
  expected+=$'--unattended --interactive --window --check --as-service --status --json --printer --help -h --version -V --\noffice\n'
  [ "$got" = "${expected%$'\n'}" ] || { echo "$got"; fail "completion"; }
  ;;

publish)
  # The README's way to a page the web server serves, as root would follow
  # it: the package's user and report folder, a web folder owned by that
  # user, the units' override; then the schedule run as the service user
  # under the units' file-system confinement, and the page read by another
  # unprivileged user.
  [ "$(id -u)" -eq 0 ] || skip "needs root: it makes the system user tavrin-report and a mount namespace"
  command -v setpriv >/dev/null || skip "setpriv is not installed (util-linux)"
  unshare --mount --propagation private true 2>/dev/null || skip "this machine cannot make a mount namespace"
  [ -d /etc/systemd/system ] || skip "no /etc/systemd/system to stand the override in for (systemd)"
  # Where the service's own folders are, not in the build folder: the units
  # hide /tmp, /var/tmp and the home folders, where a build may well be.
  # Every user must reach it.
  base=$(mktemp -d /var/lib/tavrin-publish-test.XXXXXX) || skip "cannot make a folder in /var/lib"
  trap 'rm -rf "$tmp" "$base"' EXIT
  chmod 755 "$base"
  dir=$base
  while [ "$dir" != / ]; do
    [ "$(( 0$(stat -c '%a' "$dir") & 1 ))" -eq 1 ] || skip "other users cannot reach $dir"
    dir=$(dirname "$dir")
  done
  DESTDIR=$base/root cmake --install "$build" --prefix /usr >"$tmp/install.log" 2>&1 ||
    { cat "$tmp/install.log"; echo "FAIL: cmake --install"; exit 1; }
  bin=$base/root/usr/bin

  # What the package's postinst does, with the installed sysusers file.
  if command -v systemd-sysusers >/dev/null; then
    systemd-sysusers "$base/root/$sysusers_dir/tavrin-report.conf" || fail "systemd-sysusers"
  elif ! getent passwd tavrin-report >/dev/null; then
    adduser --system --group --home /var/lib/tavrin-report --no-create-home tavrin-report >/dev/null
  fi
  uid=$(id -u tavrin-report) || { echo "FAIL: no user tavrin-report"; exit 1; }
  gid=$(id -g tavrin-report)
  [ "$(id -gn tavrin-report)" = tavrin-report ] || fail "the user's group is not tavrin-report"
  # The test's folders stand for /var/lib/tavrin-report and
  # /var/www/html/closings.
  state=$base/var/lib/tavrin-report
  web=$base/var/www/html/closings
  install -d -o tavrin-report -g tavrin-report -m 0755 "$state"
  install -d -m 0755 "$web"

  # The service recipe, with the status page in the web folder.
  cp "$base/root/usr/share/doc/tavrin-report/examples/"* "$state/"
  "$bin/tavrin-mdb-write" "$state/Vesk.mdb" --sample 50 --seed 7 >/dev/null || fail "the writer"
  sed -i "s|^OutputFilename=status.html|OutputFilename=$web/status.html|" "$state/TavrinReport.ini"
  chown -R tavrin-report:tavrin-report "$state"
  # The override that systemctl edit would write for each unit.
  etc=$base/etc-systemd
  for unit in tavrin-report-schedule.service tavrin-report@.service; do
    mkdir -p "$etc/$unit.d"
    printf '[Service]\nWorkingDirectory=%s\nReadWritePaths=\nReadWritePaths=%s %s\n' "$state" "$state" "$web" \
      >"$etc/$unit.d/override.conf"
  done

  out=$(unshare --mount --propagation private sh "$src/tests/publish_confined.sh" \
          "$state" "$web" "$etc" "$base" "$bin" "$uid" "$gid" 2>&1)
  echo "$out"
  grep -q '^FAIL' <<<"$out" && status=1
  grep -qx 'check of the root-owned folder: 1' <<<"$out" ||
    fail "--check --as-service passed a web folder the service cannot write"
  grep -q "OutputFilename = \"$web/status.html\": the folder \"$web\" is not writable" "$state/check-root.txt" ||
    { cat "$state/check-root.txt"; fail "--check --as-service did not name the unwritable web folder"; }
  grep -qx 'check: 0' <<<"$out" || { cat "$state/check.txt"; fail "--check --as-service of the published folder"; }
  grep -qx 'run: 0' <<<"$out" || { cat "$state/run.log"; fail "the schedule run as the service"; }
  grep -qx 'write outside: 0' <<<"$out" && fail "the service wrote outside its folders"

  page=$web/status.html
  [ -s "$page" ] || fail "no status page in the web folder"
  [ "$(stat -c '%U %a' "$page")" = "tavrin-report 644" ] || fail "the page is $(stat -c '%U %a' "$page")"
  [ "$(stat -c '%a' "$state/closings.csv")" = 644 ] || fail "closings.csv is $(stat -c '%a' "$state/closings.csv")"
  # Another unprivileged user (the web server's) reads the page and lists
  # the report folder.
  as_nobody() { setpriv --reuid="$(id -u nobody)" --regid="$(id -g nobody)" --clear-groups "$@"; }
  as_nobody cat "$page" | contains -i '<html' || fail "another user cannot read the page"
  as_nobody ls "$state" >/dev/null || fail "another user cannot list the report folder"
  ;;

*)
  echo "unknown check $check"
  exit 2
  ;;
esac
exit $status
