#!/usr/bin/env python3
"""Compression: `--estimate` and `--compress` at every level, and the compress step against peers.

Makes a 24-megapixel JPEG and a 12-megapixel PNG (photo-like: plasma fractal with grain), a
30-second 1080p H.264+AAC clip and a 3-minute stereo WAV. For each it times `--estimate` (goal
for the 24 MP photo: ≤ 15 s, peak RSS ≤ 600 MB) and `--compress` at each level, printing
seconds and sizes. The compress step is compared with the peer command line at the same
settings: heif-enc (x265 preset "ultrafast", as our levels, same quality) for PNG → HEIC, cjpeg for JPEG → JPEG,
ffmpeg (libx264 veryfast at the same mean bit rate, AAC at the same rate) for video and audio.
A session of the tool server (`kelvane --mcp`, one long-running process, as the desktop queue is)
then estimates a 24 MP PNG and compresses it at each level: those compresses write the bytes the
estimate kept (goal ≤ 1 s each), while a standalone `--compress` of the same photo encodes it
(goal ≤ 4 s to HEIC).
Peers: ImageMagick (fixtures), FFmpeg, heif-enc (libheif-examples), cjpeg/djpeg
(libjpeg-turbo-progs).
Usage: bench/compress/run.py [kelvane binary] [--quick]; --quick runs one level per file.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
import benchlib  # noqa: E402

LEVELS = [("maximum", 0.95, 0.85, 256000), ("high", 0.82, 0.65, 192000), ("balanced", 0.65, 0.45, 128000),
          ("small", 0.48, 0.30, 96000), ("tiny", 0.34, 0.20, 64000)]


def run(*argv):
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)


def ffmpeg(*args):
    run("ffmpeg", "-v", "error", "-y", *args)


def make_fixtures(folder):
    photo = os.path.join(folder, "photo24.jpg")
    run("convert", "-size", "6000x4000", "-seed", "5", "plasma:fractal", "-blur", "0x3", "-attenuate", "0.2",
        "+noise", "Gaussian", "-quality", "92", photo)
    png = os.path.join(folder, "photo12.png")
    run("convert", "-size", "4200x2800", "-seed", "9", "plasma:fractal", "-blur", "0x3", "-attenuate", "0.2",
        "+noise", "Gaussian", png)
    clip = os.path.join(folder, "clip.mp4")
    ffmpeg("-f", "lavfi", "-i", "testsrc2=s=1920x1080:r=30:d=30", "-f", "lavfi", "-i",
           "sine=f=220:d=30:r=48000,aformat=channel_layouts=stereo", "-c:v", "libx264", "-preset", "ultrafast",
           "-crf", "16", "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "256k", "-shortest", clip)
    wav = os.path.join(folder, "music.wav")
    ffmpeg("-f", "lavfi", "-i", "anoisesrc=d=180:c=pink:r=44100:a=0.1", "-f", "lavfi", "-i",
           "aevalsrc=0.2*sin(2*PI*220*t)+0.15*sin(2*PI*277*t):d=180:s=44100", "-filter_complex",
           "[0][1]amix=inputs=2,aformat=channel_layouts=stereo", "-c:a", "pcm_s16le", wav)
    return photo, png, clip, wav


def make_photo24_png(folder):
    png = os.path.join(folder, "photo24.png")
    run("convert", "-size", "1500x1000", "-seed", "7", "plasma:fractal", "-blur", "0x2", "-resize", "6000x4000",
        "-attenuate", "0.08", "+noise", "Gaussian", png)
    return png


class ToolSession:
    """One `kelvane --mcp` process; call() sends a tools/call and returns (seconds, result)."""

    def __init__(self, binary):
        self.process = subprocess.Popen([binary, "--mcp"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True)
        self.next_id = 1

    def call(self, name, arguments):
        request = {"jsonrpc": "2.0", "id": self.next_id, "method": "tools/call",
                   "params": {"name": name, "arguments": arguments}}
        self.next_id += 1
        start = time.monotonic()
        self.process.stdin.write(json.dumps(request) + "\n")
        self.process.stdin.flush()
        while True:
            reply = json.loads(self.process.stdout.readline())
            if reply.get("id") == request["id"]:
                return time.monotonic() - start, reply["result"]

    def cpu_seconds(self):
        fields = open(f"/proc/{self.process.pid}/stat").read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def peak_mb(self):
        for line in open(f"/proc/{self.process.pid}/status"):
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
        return 0

    def close(self):
        self.process.stdin.close()
        self.process.wait()


def estimate_then_compress(binary, work, quick):
    """The estimate's bytes reused: compress_file right after estimate_compression in one process."""
    png = make_photo24_png(work)
    session = ToolSession(binary)
    try:
        with benchlib._BenchLock():
            cpu = session.cpu_seconds()
            seconds, result = session.call("estimate_compression", {"source_path": png})
            cpu = session.cpu_seconds() - cpu
        print(f"tool server: estimate_compression 24 MP PNG: {seconds:.2f} s wall, {cpu:.2f} s CPU, "
              f"{session.peak_mb():.0f} MB peak  goal ≤ 15 s, ≤ 600 MB")
        print("    " + result["content"][0]["text"].replace("\n", "\n    "))
        for name, *_ in LEVELS[2:3] if quick else LEVELS:
            out = os.path.join(work, f"session-{name}")
            os.makedirs(out)
            with benchlib._BenchLock():
                seconds, result = session.call("compress_file",
                                               {"source_path": png, "level": name, "output_dir": out})
            written = result.get("structuredContent", {}).get("output_bytes", 0)
            print(f"tool server: compress_file {name:<9} right after the estimate: {seconds:.2f} s wall, "
                  f"{written / 1e6:.2f} MB  goal ≤ 1 s")
    finally:
        session.close()
    out = os.path.join(work, "standalone")
    os.makedirs(out)
    with benchlib._BenchLock():
        wall, peak, code = benchlib.run_once([binary, "--compress", png, "balanced", out])
    print(f"--compress 24 MP PNG balanced (standalone): {wall:.2f} s wall, {benchlib.last_cpu:.2f} s CPU, "
          f"{peak / 1024:.0f} MB peak  goal ≤ 4 s")


def video_bitrate(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "stream=bit_rate",
                          "-of", "json", path], check=True, capture_output=True, text=True).stdout
    return int(json.loads(out)["streams"][0]["bit_rate"])


def peer_for(kind, source, level, out):
    name, quality, factor, audio = level
    if kind == "heic":
        return ["heif-enc", "-q", str(round(quality * 100)), "-p", "preset=ultrafast", "-o", out, source]
    if kind == "jpeg":
        # cjpeg reads PPM/BMP/Targa: decode is part of our step, so it is part of the peer's too.
        return ["sh", "-c", f"djpeg '{source}' | cjpeg -quality {round(quality * 100)} -optimize > '{out}'"]
    if kind == "video":
        rate = max(int(factor * video_bitrate(source)), 200000)
        return ["ffmpeg", "-v", "error", "-y", "-i", source, "-c:v", "libx264", "-preset", "veryfast", "-b:v",
                str(rate), "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", str(min(2 * 160000, audio)),
                "-movflags", "+faststart", out]
    return ["ffmpeg", "-v", "error", "-y", "-i", source, "-c:a", "aac", "-b:a", str(min(2 * 160000, audio)),
            "-f", "ipod", out]


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    quick = "--quick" in sys.argv
    binary = args[0] if args else benchlib.kelvane_binary()
    if not os.path.exists(binary):
        raise SystemExit(f"{binary} is missing: build Release into build/ first (./run.sh)")
    peers = {"convert": "imagemagick", "ffmpeg": "ffmpeg", "ffprobe": "ffmpeg", "heif-enc": "libheif-examples",
             "cjpeg": "libjpeg-turbo-progs", "djpeg": "libjpeg-turbo-progs"}
    for tool, package in peers.items():
        if shutil.which(tool) is None:
            raise SystemExit(f"the {tool} command is missing: apt-get install {package}")
    work = tempfile.mkdtemp(prefix="Kelvane_bench_compress_")
    try:
        print(f"kelvane: {binary}")
        estimate_then_compress(binary, work, quick)
        photo, png, clip, wav = make_fixtures(work)
        files = [("24 MP JPEG", photo, "jpeg", "jpg", "≤ 15 s"), ("12 MP PNG", png, "heic", "heic", None),
                 ("30 s 1080p MP4", clip, "video", "mp4", None), ("3 min WAV", wav, "audio", "m4a", None)]
        for label, source, kind, ext, goal in files:
            with benchlib._BenchLock():
                wall, peak, code = benchlib.run_once([binary, "--estimate", source],
                                                     stdout_path=os.path.join(work, "estimate.txt"))
            table = open(os.path.join(work, "estimate.txt"), encoding="utf-8").read()
            print(f"--estimate {label}: {wall:.2f} s wall, {benchlib.last_cpu:.2f} s CPU, "
                  f"{peak / 1024:.0f} MB peak{'  goal ' + goal + ', ≤ 600 MB' if goal else ''}")
            print("    " + table.rstrip().replace("\n", "\n    "))
            for level in LEVELS[2:3] if quick else LEVELS:
                ours_dir = os.path.join(work, f"ours-{kind}-{level[0]}")
                peer_out = os.path.join(work, f"peer-{kind}-{level[0]}.{ext}")
                produced = os.path.join(ours_dir, os.path.splitext(os.path.basename(source))[0]
                                        + " (compressed)." + ext)

                def clean():  # runs before either command: our output must not pile up as "(1)", "(2)"
                    shutil.rmtree(ours_dir, ignore_errors=True)
                    os.makedirs(ours_dir)
                ratio = benchlib.compare(f"--compress {label} {level[0]}",
                                         [binary, "--compress", source, level[0], ours_dir],
                                         peer_for(kind, source, level, peer_out), runs=1, prepare=clean,
                                         goal="≤ 1.10x" if kind in ("video", "audio") else None)
                clean()
                subprocess.run([binary, "--compress", source, level[0], ours_dir], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
                ours_size = os.path.getsize(produced) if os.path.exists(produced) else 0
                peer_size = os.path.getsize(peer_out) if os.path.exists(peer_out) else 0
                print(f"{'':<40} size ours {ours_size / 1e6:8.2f} MB  peer {peer_size / 1e6:8.2f} MB"
                      f"{'  (over goal)' if kind in ('video', 'audio') and ratio > 1.1 else ''}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
