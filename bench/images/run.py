#!/usr/bin/env python3
"""Image conversion benchmark: our whole-process conversions against the vips command line,
ImageMagick's convert and libheif's heif-enc at equal settings, with output sizes and peak RSS.

Fixtures: a 24-megapixel photo-like JPEG and a 12-megapixel PNG, made in a temp folder.
Usage: bench/images/run.py [--kelvane PATH] [--runs N] [--only png,heic,…] [--large]
--only keeps the tasks whose label mentions one of the words; --large adds a 100-megapixel JPEG
and prints our peak RSS for each target (goal: about 1 GB at most).
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
import benchlib  # noqa: E402

REPO = os.path.dirname(os.path.dirname(HERE))

# Our encoder settings (src/image/image_encoding.cpp, src/image/png_encoder.cpp and heif_encoder.cpp),
# spelled for the peers so that each compares like with like:
# - PNG: zlib level 6, every row "up"-filtered (ours deflates bands of rows on all cores). vips gets
#   the same settings; ImageMagick keeps its defaults (level 7, adaptive filters), since the goal
#   is its speed and its file size.
# - JPEG: quality 92 with optimised Huffman tables. TIFF: deflate with the horizontal predictor.
# - HEIC: quality 85, x265 preset "fast" with 32-pixel coding trees split down to 16 pixels, 4:2:0.
# - AVIF: quality 92, aom speed 7, 4:2:0.
QUALITY = 92            # the default image quality 0.92
HEIC_QUALITY = 85       # HEIC is capped at 0.85
VIPS_PNG = "[compression=6,filter=up]"
VIPS_JPEG = f"[Q={QUALITY},optimize-coding]"
VIPS_TIFF = "[compression=deflate,predictor=horizontal]"
HEIF_ENC_X265 = ["-p", "preset=fast", "-p", "x265:ctu=32", "-p", "x265:min-cu-size=16", "-p", "chroma=420"]
HEIF_ENC_AOM = ["-p", "speed=7", "-p", "chroma=420"]


def default_binary():
    return benchlib.kelvane_binary()


def need(tool):
    if shutil.which(tool) is None:
        raise SystemExit(f"{tool} is missing: run scripts/bootstrap.sh")


def make_fixtures(folder):
    """A photo-like 6000 × 4000 JPEG (smooth plasma, upscaled, with grain) and a 4000 × 3000 PNG."""
    base = os.path.join(folder, "base.png")
    subprocess.check_call(["convert", "-size", "1500x1000", "-seed", "11", "plasma:fractal", "-blur", "0x1.5",
                           "-depth", "8", base])
    photo = os.path.join(folder, "photo.jpg")
    subprocess.check_call(["convert", base, "-resize", "6000x4000!", "-attenuate", "0.4", "+noise", "Gaussian",
                           "-quality", "92", photo])
    png = os.path.join(folder, "photo12.png")
    subprocess.check_call(["convert", photo, "-resize", "4000x3000!", png])
    return photo, png


def size_of(path):
    return os.path.getsize(path) if os.path.exists(path) else 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kelvane", default=None)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--only", default="")
    parser.add_argument("--large", action="store_true")
    args = parser.parse_args()
    kelvane = args.kelvane or default_binary()
    for tool in ("vips", "convert", "heif-enc"):
        need(tool)

    with tempfile.TemporaryDirectory(prefix="Kelvane_bench_") as folder:
        photo, png = make_fixtures(folder)
        out = os.path.join(folder, "out")
        peer_out = os.path.join(folder, "peer")

        def clean():
            for d in (out, peer_out):
                shutil.rmtree(d, ignore_errors=True)
                os.makedirs(d)

        def ours(src, target):
            return [kelvane, "--convert", src, target, out]

        def ours_file(src, ext):
            name = os.path.splitext(os.path.basename(src))[0] + "." + ext
            return os.path.join(out, name)

        print(f"kelvane: {kelvane}")
        print(f"fixtures: {photo} {size_of(photo)/1e6:.1f} MB (6000x4000), {png} {size_of(png)/1e6:.1f} MB (4000x3000)")
        tasks = [
            # label, our target, source, ext, peer argv, goal, runs
            ("jpeg->png vs vips", "png", photo, "png",
             ["vips", "copy", photo, os.path.join(peer_out, "p.png") + VIPS_PNG], "<=1.15x", args.runs),
            ("jpeg->png vs convert", "png", photo, "png",
             ["convert", photo, os.path.join(peer_out, "p.png")], "<=0.5x, size <=1.10x", args.runs),
            ("png->jpeg vs vips", "jpeg", png, "jpg",
             ["vips", "copy", png, os.path.join(peer_out, "p.jpg") + VIPS_JPEG], "<=1.15x", args.runs),
            ("png->jpeg vs convert", "jpeg", png, "jpg",
             ["convert", png, "-quality", str(QUALITY), os.path.join(peer_out, "p.jpg")], None, args.runs),
            ("jpeg->tiff vs vips", "tiff", photo, "tiff",
             ["vips", "copy", photo, os.path.join(peer_out, "p.tif") + VIPS_TIFF], "<=1.15x", args.runs),
            ("jpeg->tiff vs convert", "tiff", photo, "tiff",
             ["convert", photo, "-compress", "zip", os.path.join(peer_out, "p.tif")], None, args.runs),
            ("jpeg->heic vs heif-enc", "heic", photo, "heic",
             ["heif-enc", "-q", str(HEIC_QUALITY), *HEIF_ENC_X265, photo,
              "-o", os.path.join(peer_out, "p.heic")], "ours <=12s", 1),
            ("png->avif vs heif-enc", "avif", png, "avif",
             ["heif-enc", "-A", "-q", str(QUALITY), *HEIF_ENC_AOM, png,
              "-o", os.path.join(peer_out, "p.avif")], "<=1.1x, size <=1.0x", args.runs),
        ]
        only = [word for word in args.only.split(",") if word]
        tasks = [task for task in tasks if not only or any(word in task[0] for word in only)]
        for label, target, src, ext, peer, goal, runs in tasks:
            print(f"  peer: {' '.join(os.path.basename(a) if a.startswith(folder) else a for a in peer)}")
            ratio = benchlib.compare(label, ours(src, target), peer, runs=runs, prepare=clean, goal=goal)
            # One more run of each to keep their outputs for the size comparison.
            clean()
            subprocess.call(ours(src, target), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            subprocess.call(peer, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            peer_files = [os.path.join(peer_out, f) for f in os.listdir(peer_out)]
            ours_size = size_of(ours_file(src, ext))
            peer_size = size_of(peer_files[0]) if peer_files else 0
            size_ratio = ours_size / peer_size if peer_size else float("inf")
            print(f"{'':<40} size ours {ours_size/1e6:7.2f} MB peer {peer_size/1e6:7.2f} MB"
                  f"  size ratio {size_ratio:5.2f}x  (time ratio {ratio:.2f}x)")
            sys.stdout.flush()
        if args.large:
            large_peaks(kelvane, folder, ours, clean)


def large_peaks(kelvane, folder, ours, clean):
    """Peak RSS of our conversions of a 10000 x 10000 JPEG into each streaming target."""
    large = os.path.join(folder, "large.jpg")
    subprocess.check_call(["vips", "resize", os.path.join(folder, "photo.jpg"), large + "[Q=90]", "1.6667",
                           "--vscale", "2.5"])
    print(f"large: {large} {size_of(large)/1e6:.1f} MB (10000x10000)")
    for target in ("png", "jpeg", "tiff", "heic", "avif", "bmp", "gif", "tga", "psd", "jp2", "ico", "icns",
                   "pdf_image", "svg"):
        clean()
        wall, peak, code = benchlib.run_once(ours(large, target))
        print(f"  jpeg->{target:<5} 100 MP: {wall:6.2f} s  peak rss {peak/1024:7.1f} MB  exit {code}"
              f"  (goal ~1024 MB)")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
