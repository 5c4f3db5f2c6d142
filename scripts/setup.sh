#!/usr/bin/env bash
# Installs the Debian 12 packages the project needs to build, test and run.
# Idempotent: apt is called only when a package is missing, and the ODBC
# driver is registered only when it is not.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  mdbtools mdbtools-dev libglib2.0-dev
  libsqlite3-dev
  libseccomp-dev
  unixodbc-dev odbcinst tdsodbc
  libcups2-dev libcairo2-dev libfontconfig-dev fontconfig fonts-liberation
  cups-daemon cups-client cups-core-drivers poppler-utils
  # a real consumer of the XML feeds the tests write
  libxml2-utils
  libgtest-dev googletest
  python3
  # the fuzz targets (libFuzzer) and the sanitizer runs of CI
  clang libclang-rt-14-dev
  # man pages, the Debian package and the checks of both
  scdoc gzip dpkg-dev man-db lintian systemd
  # the publication test's confinement of the service (mount namespaces)
  mount
  # promtool, which checks the metrics file (about 15 s to install)
  prometheus
  # the desktop window (Qt 6 Widgets and its platform plugins), the virtual
  # display, screenshots and typed keys of its end-to-end tests, the desktop
  # entry check
  qt6-base-dev qt6-qpa-plugins libqt6svg6 xvfb xauth x11-utils imagemagick xdotool desktop-file-utils
)

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# FreeTDS's ODBC driver under the name "FreeTDS". Debian's package registers
# it unless debconf was told not to; registering it again would only raise
# its usage count.
if ! odbcinst -q -d -n FreeTDS >/dev/null 2>&1; then
  driver=$(dpkg -L tdsodbc | grep '/libtdsodbc\.so$' | head -n 1)
  template=$(mktemp)
  printf '[FreeTDS]\nDescription=FreeTDS ODBC driver\nDriver=%s\n' "$driver" >"$template"
  echo "setup: registering the ODBC driver FreeTDS ($driver)"
  $SUDO odbcinst -i -d -f "$template" >/dev/null
  rm -f "$template"
fi
