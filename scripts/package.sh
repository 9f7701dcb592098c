#!/usr/bin/env bash
# Builds Release in build-package/ and makes the Debian package there, then runs lintian on it.
#   scripts/package.sh                 the .deb
#   scripts/package.sh --check         also installs into a temporary prefix and converts a font,
#                                      an image and an audio file with the build folder out of sight
#   scripts/package.sh --chroot-check  also installs the .deb in a fresh Debian 12 chroot (root,
#                                      network to the Debian mirror; several minutes)
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${KV_PACKAGE_BUILD_DIR:-$here/build-package}"
mode="${1:-}"
case "$mode" in
"" | --check | --chroot-check) ;;
*)
    echo "usage: scripts/package.sh [--check | --chroot-check]" >&2
    exit 2
    ;;
esac

"$here/scripts/bootstrap.sh" >&2

# Debian's hardening flags, without the file-prefix map (it would defeat ccache across folders).
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKV_TESTS=OFF -DKV_WERROR=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
    -DCMAKE_C_FLAGS="-fstack-protector-strong -D_FORTIFY_SOURCE=2 -Wformat" \
    -DCMAKE_CXX_FLAGS="-fstack-protector-strong -D_FORTIFY_SOURCE=2 -Wformat" \
    -DCMAKE_EXE_LINKER_FLAGS="-Wl,-z,relro -Wl,-z,now" \
    -DCMAKE_MODULE_LINKER_FLAGS="-Wl,-z,relro -Wl,-z,now" >&2
cmake --build "$build" -j 2 >&2
rm -f "$build"/kelvane_*.deb
(cd "$build" && cpack -G DEB >&2)
deb="$(ls "$build"/kelvane_*.deb)"
echo "package: $deb ($(du -k "$deb" | cut -f1) KB)" >&2
dpkg-deb --field "$deb" Depends >&2

if command -v lintian >/dev/null 2>&1; then
    # Errors fail the script; warnings are shown.
    lintian --info --fail-on error "$deb" >&2
else
    echo "package: lintian is not installed (apt-get install lintian); not checked" >&2
fi

case "$mode" in
--check) "$here/scripts/check_install.sh" "$build" --rename ;;
--chroot-check) "$here/scripts/chroot_check.sh" "$deb" ;;
esac
echo "$deb"
