#!/usr/bin/env bash
# Installs a build folder into a temporary prefix (DESTDIR, prefix /usr), then converts a font, an
# image and an audio file and draws the window's screenshots with the installed kelvane while the
# build folder is out of sight, so a module found only through the build folder fails the check.
# Then moves the installed modules away and expects the image conversion and the window to fail,
# which shows the modules came from the install.
#   scripts/check_install.sh <build-dir> --namespace   hide the build folder under an empty tmpfs in
#       a private mount namespace (safe while other tests use the folder; exit 77 without unshare)
#   scripts/check_install.sh <build-dir> --rename      rename the build folder meanwhile (only when
#       nothing else uses it)
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

fail() {
    if [ -n "${work:-}" ] && [ -s "$work/log" ]; then tail -n 20 "$work/log" >&2; fi
    echo "install check: $*" >&2
    exit 1
}

# Runs one conversion with the installed binary; prints the output path.
convert() {
    local prefix="$1" input="$2" target="$3" out="$4"
    env -u KELVANE_MODULE_DIR -u LD_LIBRARY_PATH "$prefix/bin/kelvane" --convert "$input" "$target" "$out" \
        2>>"$out/../log"
}

# The leading bytes of a file, in hex.
magic() { head -c "$2" "$1" | od -An -tx1 | tr -d ' \n'; }

# The conversions, run where the build folder cannot be seen.
run_conversions() {
    local build="$1" prefix="$2" work="$3"
    [ -z "$(ls -A "$build" 2>/dev/null)" ] || fail "the build folder $build is still visible"
    local font image audio page split
    font="$(convert "$prefix" "$work/in/DejaVuSans.ttf" woff2 "$work/out")" || fail "font conversion failed"
    [ "$(magic "$font" 4)" = "774f4632" ] || fail "$font is not a WOFF2 file"
    image="$(convert "$prefix" "$work/in/icon.png" jpeg "$work/out")" || fail "image conversion failed"
    [ "$(magic "$image" 3)" = "ffd8ff" ] || fail "$image is not a JPEG file"
    audio="$(convert "$prefix" "$work/in/tone.wav" m4a "$work/out")" || fail "audio conversion failed"
    [ "$(tail -c +5 "$audio" | head -c 4)" = "ftyp" ] || fail "$audio is not an MP4 audio file"
    # A page written and checked (the PDF writer's and reader's modules), then split (qpdf's).
    page="$(convert "$prefix" "$work/in/page.html" pdf "$work/out")" || fail "HTML page conversion failed"
    [ "$(magic "$page" 4)" = "25504446" ] || fail "$page is not a PDF file"
    split="$(convert "$prefix" "$page" pdfSplit "$work/out")" || fail "PDF split failed"
    [ -f "$split/page_001.pdf" ] || fail "$split lacks page_001.pdf"
    echo "install check: font, image, audio, page and split converted by $prefix/bin/kelvane" >&2
    # The window's module: drawn off-screen, with no display.
    env -u KELVANE_MODULE_DIR -u DISPLAY -u WAYLAND_DISPLAY XDG_CONFIG_HOME="$work/config" \
        "$prefix/bin/kelvane" --render-screenshots "$work/shots" >/dev/null 2>>"$work/log" ||
        fail "the screenshots failed"
    [ "$(magic "$work/shots/main-light.png" 4)" = "89504e47" ] || fail "no PNG screenshot of the window"
    echo "install check: the window drawn by the installed kelvane-ui.so" >&2

    mv "$prefix/lib/kelvane" "$prefix/lib/kelvane.away"
    if convert "$prefix" "$work/in/icon.png" tiff "$work/out" >/dev/null; then
        fail "an image converted with the installed modules moved away: they are found elsewhere"
    fi
    if env -u KELVANE_MODULE_DIR -u DISPLAY -u WAYLAND_DISPLAY XDG_CONFIG_HOME="$work/config" \
        "$prefix/bin/kelvane" --render-screenshots "$work/shots-away" >/dev/null 2>>"$work/log"; then
        fail "the window drawn with the installed modules moved away: its module is found elsewhere"
    fi
    mv "$prefix/lib/kelvane.away" "$prefix/lib/kelvane"
    echo "install check: without the installed modules the image conversion and the window fail, as they must" >&2
}

if [ "${1:-}" = "--inside" ]; then
    # In the private mount namespace: cover the build folder, then convert.
    shift
    work="$3"
    mount -t tmpfs -o size=1m,mode=0755 kelvane-hidden "$1"
    run_conversions "$@"
    exit 0
fi

[ $# -eq 2 ] || fail "usage: scripts/check_install.sh <build-dir> --namespace|--rename"
build="$(cd "$1" && pwd)"
how="$2"
work="$(mktemp -d "${TMPDIR:-/tmp}/kelvane-install.XXXXXX")"
renamed=""
cleanup() {
    if [ -n "$renamed" ]; then
        rmdir "$build" 2>/dev/null || true
        mv "$renamed" "$build"
    fi
    rm -rf "$work"
}
trap cleanup EXIT

DESTDIR="$work/root" cmake --install "$build" --prefix /usr >"$work/install.log" ||
    { cat "$work/install.log" >&2; fail "cmake --install failed"; }
prefix="$work/root/usr"
for f in bin/kelvane lib/kelvane/kelvane-media.so lib/kelvane/kelvane-av.so \
    lib/kelvane/kelvane-document.so lib/kelvane/kelvane-pdfread.so lib/kelvane/kelvane-pdfsplit.so \
    lib/kelvane/kelvane-ui.so \
    share/applications/kelvane.desktop share/icons/hicolor/scalable/apps/kelvane.svg; do
    [ -e "$prefix/$f" ] || fail "the install lacks $f"
done

# Inputs outside both the build and the source folder.
mkdir -p "$work/in" "$work/out"
font_file="/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
[ -f "$font_file" ] || fail "$font_file is missing (fonts-dejavu-core)"
cp "$font_file" "$work/in/"
cp "$here/packaging/icons/48/kelvane.png" "$work/in/icon.png"
printf '<h1>Installed</h1><p>A page.</p>\n' >"$work/in/page.html"
python3 - "$work/in/tone.wav" <<'EOF'
import math, struct, sys, wave
with wave.open(sys.argv[1], "wb") as w:
    w.setnchannels(1); w.setsampwidth(2); w.setframerate(44100)
    w.writeframes(b"".join(struct.pack("<h", int(8000 * math.sin(i * 2 * math.pi * 440 / 44100)))
                           for i in range(44100)))
EOF

case "$how" in
--namespace)
    if [ "$(id -u)" -eq 0 ]; then unshare_args=(--mount); else unshare_args=(--mount --map-root-user); fi
    if ! command -v unshare >/dev/null 2>&1 || ! unshare "${unshare_args[@]}" true 2>/dev/null; then
        echo "install check: cannot make a private mount namespace here; skipped" >&2
        exit 77
    fi
    unshare "${unshare_args[@]}" --propagation private "$0" --inside "$build" "$prefix" "$work"
    ;;
--rename)
    renamed="$build.hidden.$$"
    mv "$build" "$renamed"
    mkdir "$build"
    run_conversions "$build" "$prefix" "$work"
    ;;
*) fail "unknown mode $how" ;;
esac
echo "install check: passed" >&2
