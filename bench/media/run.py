#!/usr/bin/env python3
"""Video and audio against the ffmpeg command line (and `flac -5`), as whole processes.

Makes a 30-second 1080p H.264+AAC clip and a 3-minute stereo WAV, then times our mp4 → mov,
video → GIF (10 fps, 480 wide), wav → m4a, wav → flac and wav → alac against the peer with the
same settings, and prints time ratios (ours/peer: below 1 is faster), output sizes and peak RSS.
Usage: bench/media/run.py [kelvane binary]; the default is the Release build in
build/ (./run.sh makes it).
"""

import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
import benchlib  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(HERE))


def ffmpeg(*args):
    subprocess.run(["ffmpeg", "-v", "error", "-y", *args], check=True)


def make_fixtures(folder):
    clip = os.path.join(folder, "clip.mp4")
    ffmpeg("-f", "lavfi", "-i", "testsrc2=s=1920x1080:r=30:d=30", "-f", "lavfi", "-i",
           "sine=f=220:d=30:r=48000,aformat=channel_layouts=stereo",
           "-c:v", "libx264", "-preset", "ultrafast", "-crf", "20", "-pix_fmt", "yuv420p",
           "-c:a", "aac", "-b:a", "192k", "-shortest", clip)
    wav = os.path.join(folder, "music.wav")
    # A chord over pink noise: tonal and noisy parts, like music, so the encoders do real work.
    ffmpeg("-f", "lavfi", "-i", "anoisesrc=d=180:c=pink:r=44100:a=0.1", "-f", "lavfi", "-i",
           "aevalsrc=0.2*sin(2*PI*220*t)+0.15*sin(2*PI*277*t)+0.1*sin(2*PI*330*t*(1+0.001*sin(t))):d=180:s=44100",
           "-filter_complex", "[0][1]amix=inputs=2,aformat=channel_layouts=stereo", "-c:a", "pcm_s16le", wav)
    return clip, wav


def size_of(path):
    return os.path.getsize(path) if os.path.exists(path) else 0


def main():
    binary = sys.argv[1] if len(sys.argv) > 1 else benchlib.kelvane_binary()
    if not os.path.exists(binary):
        raise SystemExit(f"{binary} is missing: build Release into build/ first (./run.sh)")
    if shutil.which("flac") is None:
        raise SystemExit("the flac command is missing (Debian package flac)")
    work = tempfile.mkdtemp(prefix="Kelvane_bench_media_")
    try:
        clip, wav = make_fixtures(work)
        peer = os.path.join(work, "peer")
        os.mkdir(peer)
        gif_filter = ("fps=10,scale=w='min(iw,480)':h=-1:flags=bicubic,"
                      "split[a][b];[a]palettegen=stats_mode=full[p];[b][p]paletteuse")
        tasks = [
            ("mp4 → mov (1080p, 30 s)", clip, "mov", "clip.mov", 1,
             ["-i", clip, "-map", "0:v:0", "-map", "0:a:0", "-c:v", "libx264", "-preset", "veryfast",
              "-crf", "18", "-pix_fmt", "yuv420p", "-c:a", "copy", "-movflags", "+faststart",
              os.path.join(peer, "clip.mov")]),
            ("video → GIF (10 fps, 480 wide)", clip, "gif", "clip.gif", 2,
             ["-i", clip, "-vf", gif_filter, "-loop", "0", os.path.join(peer, "clip.gif")]),
            ("wav → m4a (AAC 256k)", wav, "m4a", "music.m4a", 3,
             ["-i", wav, "-c:a", "aac", "-b:a", "256k", "-f", "ipod", os.path.join(peer, "music.m4a")]),
            ("wav → flac", wav, "flac", "music.flac", 3,
             ["-i", wav, "-c:a", "flac", "-sample_fmt", "s16", os.path.join(peer, "music.flac")]),
            ("wav → alac", wav, "alac", "music.m4a", 3,
             ["-i", wav, "-c:a", "alac", "-sample_fmt", "s16p", "-f", "ipod",
              os.path.join(peer, "music-alac.m4a")]),
        ]
        print(f"kelvane: {binary}")
        for label, source, target, name, runs, peer_args in tasks:
            ours_dir = os.path.join(work, "ours-" + target)
            os.mkdir(ours_dir)
            ours = [binary, "--convert", source, target, ours_dir]
            ratio = benchlib.compare(label, ours, ["ffmpeg", "-v", "error", "-y", *peer_args], runs=runs,
                                     goal="≤ 1.10x")
            peer_out = peer_args[-1]
            print(f"{'':<40} size ours {size_of(os.path.join(ours_dir, name)) / 1e6:8.2f} MB"
                  f"  peer {size_of(peer_out) / 1e6:8.2f} MB{'  (over goal)' if ratio > 1.1 else ''}")
        flac_ours = os.path.join(work, "ours-flac5")
        os.mkdir(flac_ours)
        flac_peer = os.path.join(peer, "music-5.flac")
        benchlib.compare("wav → flac vs flac -5", [binary, "--convert", wav, "flac", flac_ours],
                         ["flac", "-5", "-f", "-s", "-o", flac_peer, wav], runs=3, goal="≤ 1.10x")
        print(f"{'':<40} size ours {size_of(os.path.join(flac_ours, 'music.flac')) / 1e6:8.2f} MB"
              f"  peer {size_of(flac_peer) / 1e6:8.2f} MB")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
