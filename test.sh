#!/usr/bin/env bash
# Installs what is missing, builds, runs every test, then the core tests under ASan + UBSan.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
jobs="$(nproc)"
"$here/scripts/bootstrap.sh"
# Formatting is checked first: it fails in seconds, the build takes minutes.
"$here/scripts/check-format.sh"
# Reuse earlier compilations when ccache is installed.
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi

cmake -S "$here" -B "$here/build-tests" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}"
cmake --build "$here/build-tests" -j "$jobs"
(cd "$here/build-tests" && ctest --output-on-failure -j "$jobs" --timeout 600)
# Every pair of the conversion matrix through the engine and the validator, from generated seeds;
# the report goes to stdout, the per-conversion log to a file beside the build.
if ! "$here/build-tests/kelvane" --test 2>"$here/build-tests/selftest.log"; then
    echo "kelvane --test reported failures (log: $here/build-tests/selftest.log)" >&2
    exit 1
fi

if [ "${KV_SKIP_SANITIZERS:-0}" != "1" ]; then
    cmake -S "$here" -B "$here/build-asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKV_SANITIZE=ON "${launcher[@]}" \
        -DKV_CORE_TESTS_ONLY=ON
    cmake --build "$here/build-asan" -j "$jobs"
    (cd "$here/build-asan" && ASAN_OPTIONS=detect_leaks=0 ctest --output-on-failure -j "$jobs" -L core --timeout 900)
fi
