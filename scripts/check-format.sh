#!/usr/bin/env bash
# Fails when a tracked C++ file is not formatted as .clang-format says (clang-format 14).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
git ls-files -z -- '*.cpp' '*.h' | xargs -0 -r clang-format-14 --dry-run -Werror
