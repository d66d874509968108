#!/usr/bin/env bash
# CI: builds the Debian package, installs it with apt-get, and checks it as a user meets
# it: the program starts as an unprivileged user with a fresh home and keeps its
# configuration there, every program answers --help, velt-ports runs on this machine,
# and lintian and desktop-file-validate accept the package.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
bash scripts/package.sh
deb=$(ls "$PWD"/build/default/package/velt-monitoring_*.deb)
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
(cd build/default/package &&
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    "./$(basename "$deb")")

programs="velt-monitoring velt-ward velt-ports oximeter-sim velt-process velt-replay velt-make-recording velt-firmware velt-capture velt-gateway"
for p in $programs; do
  [ "$(command -v "$p")" = "/usr/bin/$p" ] || { echo "check-package: $p is not installed in /usr/bin" >&2; exit 1; }
  "$p" --help >/dev/null 2>&1 || { echo "check-package: $p --help failed" >&2; exit 1; }
  [ -f "/usr/share/man/man1/$p.1.gz" ] || { echo "check-package: no manual page for $p" >&2; exit 1; }
done
[ -f /usr/lib/systemd/system/velt-gateway.service ] ||
  { echo "check-package: no velt-gateway.service" >&2; exit 1; }
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify /usr/lib/systemd/system/velt-gateway.service
fi
# The exports reach EDFlib through the package's dependencies.
dpkg-query -W -f='${Depends}\n' velt-monitoring | grep -q libedf1 ||
  { echo "check-package: the package does not depend on libedf1" >&2; exit 1; }
export_dir=$(mktemp -d)
oximeter-sim --protocol 2 --seconds 3 --output "$export_dir/s.raw" >/dev/null
velt-process --protocol 2 --log-dir "$export_dir" "$export_dir/s.raw" \
  --edf "$export_dir/s.edf" --csv "$export_dir/s.csv" >/dev/null 2>&1 ||
  { echo "check-package: velt-process cannot export" >&2; exit 1; }
rm -rf "$export_dir"
echo "--- velt-ports on this machine"
velt-ports
echo "---"
desktop-file-validate /usr/share/applications/velt-monitoring.desktop
desktop-file-validate /usr/share/applications/velt-ward.desktop
lintian --fail-on error "$deb"

# The installed program as an unprivileged user with an empty home, started the way
# the desktop entry starts it.
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
as_user=()
if [ "$(id -u)" -eq 0 ]; then
  chown nobody:nogroup "$home"
  as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi
run_as_user() {
  "${as_user[@]}" env -i HOME="$home" PATH=/usr/bin:/bin QT_QPA_PLATFORM=offscreen \
    XDG_RUNTIME_DIR="$home" "$@"
}
start_program() {  # seconds; the program must still run when they are over
  local status=0
  run_as_user timeout "$1" velt-monitoring --working-dir "~/VELT Monitoring" \
    >"$home/out.txt" 2>&1 || status=$?
  if [ "$status" -ne 124 ]; then
    echo "check-package: velt-monitoring ended early with status $status:" >&2
    cat "$home/out.txt" >&2
    exit 1
  fi
}
config="$home/.config/velt-monitoring/configuration"
start_program 5
[ -d "$config" ] || { echo "check-package: no configuration under the user's home" >&2; exit 1; }
[ -d "$home/VELT Monitoring" ] || { echo "check-package: no working folder" >&2; exit 1; }
[ ! -e /usr/bin/configuration ] || { echo "check-package: configuration in /usr/bin" >&2; exit 1; }

# velt-ports and the program agree on the user's settings and device map: COM9, mapped
# to /dev/null, opens but is no serial line (error 25, ENOTTY); unmapped it would be
# /dev/ttyS8.
run_as_user velt-ports map COM9 /dev/null >/dev/null
printf '[connection]\r\nport=COM9\r\n' | run_as_user tee "$config/VELTMonitoring.ini" >/dev/null
start_program 3
grep -q "CreateFile(COM9:)=error 25" "$home/out.txt" ||
  { echo "check-package: the program did not use the user's settings and map:" >&2;
    cat "$home/out.txt" >&2; exit 1; }
echo "check-package: $(basename "$deb") installed and checked in $((SECONDS - start)) s"
