#!/usr/bin/env python3
"""Archive repack speed, size and memory against the fastest command-line peers.

Builds a standard tree (2,000 small text files in nested folders, ~40 MB of shared libraries,
10 MB of random bytes), then times whole processes side by side:
  tar -> zip      vs bsdtar          goal: >= 2.5x faster, size within 1%
  zip -> tar.gz   vs bsdtar -z       goal: >= 1.5x faster, size within 1%
  tar -> tar.xz   vs xz -6 -T0       goal: parity in time and size
  tar -> tar.bz2  vs bzip2 -9        goal: within 1.1x
and prints ratios, output sizes and peak RSS against the unpacked tree.

Usage: bench/archive/run.py [--kelvane PATH] [--runs N]   (PATH defaults to build/kelvane)
"""

import argparse
import glob
import os
import random
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import benchlib  # noqa: E402

WORDS = ("archive tree folder file byte stream block header entry record index table "
         "compress deflate inflate ratio size limit name path text line value").split()


def build_tree(root):
    rng = random.Random(7)
    for i in range(2000):
        folder = os.path.join(root, "text", f"d{i % 10}", f"e{i % 37}")
        os.makedirs(folder, exist_ok=True)
        lines = [" ".join(rng.choice(WORDS) for _ in range(rng.randint(4, 14))) for _ in range(rng.randint(5, 80))]
        with open(os.path.join(folder, f"note{i}.txt"), "w") as out:
            out.write("\n".join(lines) + "\n")
    libs = os.path.join(root, "libs")
    os.makedirs(libs)
    total = 0
    for lib in sorted(glob.glob("/usr/lib/x86_64-linux-gnu/*.so*")):
        if total >= 40 << 20 or os.path.islink(lib) or not os.path.isfile(lib):
            continue
        size = os.path.getsize(lib)
        if size > 8 << 20:
            continue
        shutil.copyfile(lib, os.path.join(libs, os.path.basename(lib)))
        total += size
    with open(os.path.join(root, "random.bin"), "wb") as out:
        out.write(rng.randbytes(10 << 20))


def tree_size(root):
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, files in os.walk(root) for f in files)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kelvane", default=None)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    kelvane = args.kelvane or benchlib.kelvane_binary()
    for tool in ("bsdtar", "xz", "bzip2"):
        if not shutil.which(tool):
            raise SystemExit(f"{tool} is missing (scripts/bootstrap.sh installs it)")

    work = tempfile.mkdtemp(prefix="kv-bench-archive-")
    try:
        tree = os.path.join(work, "tree")
        build_tree(tree)
        unpacked = tree_size(tree)
        tar = os.path.join(work, "tree.tar")
        zip_ = os.path.join(work, "tree.zip")
        subprocess.check_call(["bsdtar", "--format=ustar", "-cf", tar, "-C", tree, "."])
        subprocess.check_call(["bsdtar", "--format=zip", "-cf", zip_, "-C", tree, "."])
        print(f"tree: {unpacked / 1e6:.1f} MB unpacked, tar {os.path.getsize(tar) / 1e6:.1f} MB, "
              f"zip {os.path.getsize(zip_) / 1e6:.1f} MB; kelvane: {kelvane}")

        ours_dir = os.path.join(work, "ours")
        peer_out = os.path.join(work, "peer.out")

        def clean():
            shutil.rmtree(ours_dir, ignore_errors=True)
            os.makedirs(ours_dir)
            if os.path.exists(peer_out):
                os.remove(peer_out)

        cases = [
            ("tar -> zip (vs bsdtar)", tar, "zip",
             ["bsdtar", "--format=zip", "-cf", peer_out, f"@{tar}"], "<= 0.40 (2.5x faster)"),
            ("zip -> tar.gz (vs bsdtar -z)", zip_, "gzip",
             ["bsdtar", "--format=ustar", "-czf", peer_out, f"@{zip_}"], "<= 0.67 (1.5x faster)"),
            ("tar -> tar.xz (vs xz -6 -T0)", tar, "xz",
             ["sh", "-c", f"xz -6 -T0 -c '{tar}' > '{peer_out}'"], "<= 1.00"),
            ("tar -> tar.bz2 (vs bzip2 -9)", tar, "bz2",
             ["sh", "-c", f"bzip2 -9 -c '{tar}' > '{peer_out}'"], "<= 1.10"),
        ]
        for label, source, target, peer, goal in cases:
            ours = [kelvane, "--convert", source, target, ours_dir]
            benchlib.compare(label, ours, peer, runs=args.runs, prepare=clean, goal=goal)
            # One more run of each to measure sizes and our peak RSS against the tree.
            clean()
            _, ours_peak, code = benchlib.run_once(ours)
            if code != 0:
                raise SystemExit(f"kelvane failed on {label}")
            subprocess.check_call(peer)
            outputs = os.listdir(ours_dir)
            ours_size = os.path.getsize(os.path.join(ours_dir, outputs[0]))
            peer_size = os.path.getsize(peer_out)
            print(f"{'':<40} size ours {ours_size / 1e6:8.2f} MB  peer {peer_size / 1e6:8.2f} MB  "
                  f"ratio {ours_size / peer_size:5.3f}  rss/tree {ours_peak * 1024 / unpacked:4.2f} (goal <= 2.5)")
            sys.stdout.flush()
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
