#!/usr/bin/env python3
"""What each compression level means on a set of photos: runs `--estimate` on every file given
and prints, per level, the mean and worst measured loss and the mean output size as a share of
the source, plus whether sizes fall strictly from maximum to tiny in every file.
Usage: bench/compress/levels.py [--binary build/kelvane] photo.png photo2.jpg …
"""

import re
import statistics
import subprocess
import sys

sys.path.insert(0, __file__.rsplit("/", 2)[0])
import benchlib  # noqa: E402

TITLES = ["Maximum Quality", "High", "Balanced", "Small", "Smallest"]
UNITS = {"bytes": 1, "byte": 1, "KB": 1e3, "MB": 1e6, "GB": 1e9}


def parse_size(text):
    if text == "Zero KB":
        return 0
    number, unit = text.split()
    return float(number) * UNITS[unit]


def main():
    args = sys.argv[1:]
    binary = benchlib.kelvane_binary()
    if args[:1] == ["--binary"]:
        binary, args = args[1], args[2:]
    losses = {t: [] for t in TITLES}
    shares = {t: [] for t in TITLES}
    monotonic = True
    for path in args:
        out = subprocess.run([binary, "--estimate", path], capture_output=True, text=True).stdout
        source = re.search(r"^source: .*?  (.+?)  -> ", out, re.M)
        original = parse_size(source.group(1)) if source else 0
        sizes = []
        for title in TITLES:
            row = re.search(r"^" + re.escape(title) + r" +(\S+(?: \S+)?) +\d+%  (.+)$", out, re.M)
            if not row:
                print(f"{path}: {title} not offered")
                continue
            size = parse_size(row.group(1))
            sizes.append(size)
            quality = row.group(2)
            loss = 0.0 if quality == "no visible loss" else float(quality.split("%")[0]) if "loss" in quality else None
            if loss is not None:
                losses[title].append(loss)
            if original:
                shares[title].append(size / original)
        monotonic &= all(a > b for a, b in zip(sizes, sizes[1:]))
    print(f"{len(args)} files; sizes fall strictly at every level in every file: {monotonic}")
    print(f"{'LEVEL':<17}{'MEAN LOSS':>10}{'WORST':>8}{'SIZE/SOURCE':>13}")
    for title in TITLES:
        if losses[title]:
            print(f"{title:<17}{statistics.mean(losses[title]):>9.2f}%{max(losses[title]):>7.2f}%"
                  f"{statistics.mean(shares[title]) * 100:>12.1f}%")


if __name__ == "__main__":
    main()
