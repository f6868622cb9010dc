#!/usr/bin/python3
# SPDX-License-Identifier: BSD-3-Clause
"""Adds noise to the observed intensities of a peak file in the internal
layout, as a measurement would: each intensity I becomes
I * (1 + r * g1) + a * g2 with g1, g2 standard normal deviates, clipped at 0,
and the strongest is scaled back to 100. A fixed seed makes the file
reproducible.

    add_noise.py IN OUT [--relative 0.05] [--absolute 0.2] [--seed 1]
"""
import argparse
import random
import sys


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("input")
    p.add_argument("output")
    p.add_argument("--relative", type=float, default=0.05)
    p.add_argument("--absolute", type=float, default=0.2)
    p.add_argument("--seed", type=int, default=1)
    a = p.parse_args()
    rng = random.Random(a.seed)
    header, rows = [], []
    with open(a.input) as f:
        for line in f:
            if line.startswith(";") or not line.strip():
                header.append(line.rstrip("\n"))
                continue
            v = line.split()
            if len(v) != 8:
                sys.exit("add_noise: %s: not the internal layout: %r" % (a.input, line))
            i = float(v[7])
            i = max(0.0, i * (1 + a.relative * rng.gauss(0, 1)) + a.absolute * rng.gauss(0, 1))
            rows.append((v, i))
    top = max(i for _, i in rows)
    if top <= 0:
        sys.exit("add_noise: %s: no intensity left" % a.input)
    with open(a.output, "w") as f:
        for h in header:
            f.write(h + ", noise %.3g relative + %.3g absolute, seed %d\n"
                    % (a.relative, a.absolute, a.seed) if h.startswith(";") else h + "\n")
        for v, i in rows:
            f.write("%4d %4d %4d %4d %10.6f %11.6f %9.6f %14.6f\n"
                    % (int(v[0]), int(v[1]), int(v[2]), int(v[3]), float(v[4]), float(v[5]),
                       float(v[6]), i * 100.0 / top))


if __name__ == "__main__":
    main()
