#!/usr/bin/env bash
# Builds the Debian package build/default/package/velt-monitoring_<version>_<arch>.deb
# from this checkout. It uses the default build (what ./test.sh built is reused) and
# builds only what the package holds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/ensure-packages.sh $(cat scripts/packages.txt scripts/packages-deb.txt)
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target velt_installable
rm -f build/default/package/velt-monitoring_*.deb
(cd build/default && cpack >/dev/null)
ls build/default/package/velt-monitoring_*.deb
