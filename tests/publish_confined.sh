#!/bin/sh
# The publication steps of install_test.sh's check "publish", run as root in
# a private mount namespace (unshare --mount) under the file-system
# confinement of the units: ProtectSystem=strict with ReadWritePaths= of the
# report and web folders, ProtectHome=yes, PrivateTmp=yes; the service's
# programs also get NoNewPrivileges=yes, no capabilities and umask 022.
# Not reproduced, as they need systemd: the system-call filter, private
# devices and users, the address families and the kernel protections.
#   publish_confined.sh STATE WEB ETC BASE BIN UID GID
# ETC stands for /etc/systemd/system (the units' overrides). Prints one line
# "STEP: STATUS" per step; the caller judges them.
set -u
state=$1 web=$2 etc=$3 base=$4 bin=$5 uid=$6 gid=$7

mount --bind "$etc" /etc/systemd/system
# Bound onto themselves first: a bind mount made inside a read-only mount
# would be read-only too.
for dir in "$state" "$web"; do mount --bind "$dir" "$dir"; done
findmnt -rn -o TARGET | while read -r target; do
  case $target in
    /proc | /proc/* | /sys | /sys/* | /dev | /dev/* | "$state" | "$web") ;;
    *\\*) ;; # an escaped character: the mount point cannot be named so
    *) mount -o remount,bind,ro "$target" 2>/dev/null ;;
  esac
done
for dir in /home /root /run/user; do
  if [ -d "$dir" ]; then mount -t tmpfs -o mode=000 tmpfs "$dir"; fi
done
for dir in /tmp /var/tmp; do mount -t tmpfs -o mode=1777 tmpfs "$dir"; done
if touch "$base/outside" 2>/dev/null; then echo "FAIL: the root file system is writable"; fi

as_service() {
  (umask 022 && setpriv --reuid="$uid" --regid="$gid" --clear-groups --no-new-privs --inh-caps=-all \
    --bounding-set=-all -- "$@")
}

cd "$state" || exit 1
# A web folder as root made it: the service cannot write it, and the check
# as the service says so.
chown root:root "$web"
"$bin/tavrin-report" --check --as-service >check-root.txt
echo "check of the root-owned folder: $?"
chown tavrin-report:tavrin-report "$web"
"$bin/tavrin-report" --check --as-service >check.txt
echo "check: $?"
as_service "$bin/tavrin-report" --unattended >/dev/null 2>run.log
echo "run: $?"
as_service touch "$(dirname "$web")/not-allowed" 2>/dev/null
echo "write outside: $?"
