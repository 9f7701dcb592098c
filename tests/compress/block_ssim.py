#!/usr/bin/python3
"""Independent block SSIM for the compression tests.

Reads two rasters of little-endian float64 (width and height given on the command line), cuts
them into non-overlapping 8x8 blocks (partial edge blocks dropped), and prints the mean of the
per-block SSIM with sample statistics (ddof=1), C1 = (0.01*255)^2, C2 = (0.03*255)^2.
"""
import sys

import numpy as np


def blocks(raster, width, height):
    cut = raster.reshape(height, width)[: height // 8 * 8, : width // 8 * 8]
    return cut.reshape(height // 8, 8, width // 8, 8).swapaxes(1, 2).reshape(-1, 64)


def main():
    first, second, width, height = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    a = blocks(np.fromfile(first, dtype="<f8"), width, height)
    b = blocks(np.fromfile(second, dtype="<f8"), width, height)
    if len(a) == 0:
        print("1.0")
        return
    mean_a, mean_b = a.mean(axis=1), b.mean(axis=1)
    var_a, var_b = a.var(axis=1, ddof=1), b.var(axis=1, ddof=1)
    cov = ((a - mean_a[:, None]) * (b - mean_b[:, None])).sum(axis=1) / 63.0
    c1, c2 = (0.01 * 255) ** 2, (0.03 * 255) ** 2
    score = ((2 * mean_a * mean_b + c1) * (2 * cov + c2)) / ((mean_a**2 + mean_b**2 + c1) * (var_a + var_b + c2))
    print(repr(float(score.mean())))


main()
