#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test:
#   the default build (all tests, GUI ones on the offscreen platform),
#   then the Qt-free tests under AddressSanitizer+UBSan and under ThreadSanitizer,
#   then every fuzz target for 20 s (scripts/fuzz-ci.sh).
# ./test.sh --quick runs the default build only.
set -euo pipefail
cd "$(dirname "$0")"
bash scripts/ensure-packages.sh $(cat scripts/packages.txt)

export XDG_RUNTIME_DIR="$(mktemp -d)"
trap 'rm -rf "$XDG_RUNTIME_DIR"' EXIT
export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)
# A compiler cache for the four builds, shared by every clone on this machine (paths
# relative to the checkout, so another clone hits the same entries). It takes effect
# when a build folder is first configured.
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=true CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-12G}"
fi

werror=OFF
[ "${CI:-}" = "true" ] && werror=ON

cmake --preset default -DVELT_WERROR=$werror >/dev/null
cmake --build --preset default -j "$jobs"
ctest --preset default -j "$jobs" --output-on-failure

if [ "${1:-}" != "--quick" ]; then
  for preset in asan tsan; do
    cmake --preset $preset -DVELT_WERROR=$werror -DVELT_BUILD_BENCH=OFF >/dev/null
    cmake --build --preset $preset -j "$jobs"
    # Sanitizer reports fail the run.
    ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
      LSAN_OPTIONS=suppressions="$PWD/scripts/lsan-suppressions.txt" \
      TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
      ctest --preset $preset -j "$jobs" -L core --output-on-failure
  done
  # Every fuzz target for 20 s on its corpus; a finding fails the run.
  bash scripts/fuzz-ci.sh
fi
