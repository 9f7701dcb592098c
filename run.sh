#!/usr/bin/env bash
# Installs what is missing, builds Release into build/ when stale, and runs kelvane.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
"$here/scripts/bootstrap.sh" >&2
if [ ! -f "$here/build/build.ninja" ]; then
    cmake -S "$here" -B "$here/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKV_TESTS=OFF -DKV_WERROR=OFF >&2
fi
cmake --build "$here/build" --target kelvane >&2
exec "$here/build/kelvane" "$@"
