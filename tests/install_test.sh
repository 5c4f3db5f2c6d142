#!/usr/bin/env bash
# Checks what an installation and the Debian package hold, and that the
# units, man pages and bash completion are sound.
#   tests/install_test.sh CHECK SOURCE_DIR BUILD_DIR UNIT_DIR
# CHECK is one of install, package, units, man, completion. UNIT_DIR is the
# configured folder of the systemd units (relative: under the prefix). Exits
# 77 (skipped) with a reason when a tool the check needs is missing.
set -uo pipefail
check=$1
src=$2
build=$3
unit_dir=$4
[[ $unit_dir == /* ]] || unit_dir=/usr/$unit_dir
unit_dir=${unit_dir#/}

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
$unit_dir/tavrin-report@.timer
usr/bin/tavrin-mdb-write
usr/bin/tavrin-report
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

case $check in
install)
  install_root
  (cd "$tmp/root" && find . \( -type f -o -type l \) | sed 's|^\./||' | sort) >"$tmp/files"
  diff -u <(expected_files) "$tmp/files" || fail "the installed files differ from the list"
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
  description=$(dpkg-deb -f "$deb" Description)
  [ "$(echo "$description" | wc -l)" -gt 3 ] || fail "no long description"
  dpkg-deb --fsys-tarfile "$deb" | tar -xO "./usr/bin/tavrin-report" >"$tmp/bin" || fail "no program"
  readelf -d "$tmp/bin" | grep -qiE 'rpath|runpath' && fail "the program has an RPATH"
  readelf -d "$tmp/bin" | grep -q 'BIND_NOW' || fail "the program is not linked with -z now"

  if command -v lintian >/dev/null; then
    # Every tag lintian still gives must be explained in the README.
    lintian --tag-display-limit 0 -I --pedantic "$deb" 2>/dev/null |
      sed -n 's/^[EWIPX]: tavrin-report[^:]*: \([a-z0-9.+-]*\).*/\1/p' | sort -u >"$tmp/tags"
    while read -r tag; do
      grep -q "\`$tag\`" "$src/README.md" || fail "lintian tag $tag is not explained in README.md"
    done <"$tmp/tags"
    lintian --tag-display-limit 0 "$deb" 2>/dev/null | grep -q '^E:' && fail "lintian reports errors"
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
          ./tavrin-report@Daily.service ./tavrin-report@Daily.timer 2>&1)
  rc=$?
  if [ $rc -ne 0 ] || [ -n "$out" ]; then
    echo "$out"
    fail "systemd-analyze verify"
  fi
  ;;

man)
  command -v man >/dev/null || skip "man is not installed (man-db)"
  for page in tavrin-report.1 tavrin-report.ini.5 tavrin-mdb-write.1; do
    warnings=$(MANWIDTH=80 man --warnings -l "$build/doc/$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || { echo "$warnings"; fail "$page renders with warnings"; }
    MANWIDTH=80 man -l "$build/doc/$page" 2>/dev/null | grep -q 'SEE ALSO' || fail "$page does not render"
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
    complete_word tavrin-report -- -' _ "$src/packaging/bash-completion/tavrin-report")
  expected=$'Web Daily\\ Export\nDaily\\ Export\n--check\n'
  [ "$got" = "${expected%$'\n'}" ] || { echo "$got"; fail "completion"; }
  ;;

*)
  echo "unknown check $check"
  exit 2
  ;;
esac
exit $status
