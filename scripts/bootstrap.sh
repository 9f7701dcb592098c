#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, and only those that are missing.
set -euo pipefail

packages=(
    # toolchain
    build-essential cmake ninja-build pkg-config clang-14 clang-format-14 libclang-rt-14-dev
    libgtest-dev libgmock-dev
    # core services
    libglib2.0-dev shared-mime-info libicu-dev nlohmann-json3-dev
    libdeflate-dev zlib1g-dev liblzma-dev libbz2-1.0 libbz2-dev libbrotli-dev libfreetype-dev
    # images, PDF, text layout
    libvips-dev libheif-dev libtiff-dev libjpeg-dev libgif-dev libimagequant-dev libraw-dev libpoppler-glib-dev libcairo2-dev libqpdf-dev
    libpango1.0-dev liblitehtml-dev
    # rich text: HTML parsing, DOCX XML
    libgumbo-dev libpugixml-dev
    # media
    libavformat-dev libavcodec-dev libavfilter-dev libavutil-dev libswscale-dev libswresample-dev
    # test oracles and fixtures
    zip unzip libarchive-tools bzip2 xz-utils python3 time
    woff2 fonttools opentype-sanitizer woff-tools fonts-dejavu-core fonts-cantarell
    python3-brotli fonts-wqy-microhei fonts-noto-color-emoji python3-numpy
    imagemagick libimage-exiftool-perl icnsutils librsvg2-bin poppler-utils ffmpeg
    flac
    libheif-examples
    libvips-tools libjxl-tools
    miller jq
    pandoc
    # EPUB and PDF oracles
    epubcheck qpdf
    # which files a run opens (the font configuration it reads)
    strace
    dbus-daemon dbus-bin libglib2.0-bin
    # the desktop state (QtCore) and its tests
    qt6-base-dev
    # the desktop window: SVG icons; its tests run under a virtual X server
    qt6-svg-dev xvfb xauth
)
# The tool server's client test runs the MCP SDK on Node; a Node already installed brings its npm.
if ! command -v npm >/dev/null; then
    packages+=(nodejs npm)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "bootstrap: installing ${missing[*]}" >&2
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
