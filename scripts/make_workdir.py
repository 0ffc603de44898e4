#!/usr/bin/env python3
"""Writes a large working directory for load and speed tests.

    make_workdir.py DIR [--files N] [--entries N] [--seed S]

A six-component method (K-40, Cs-137, Ra-226, Th-232, I-131, Co-60) with about
300 ROI channels after halving, standards and backgrounds as referenced files,
N sample spectrum files, and a config.txt of N entries of every kind in which
about one entry in three adds and evaluates. Deterministic for a given seed.
"""
import argparse
import math
import os
import random

CHANNELS = 1024
KEV_PER_CHANNEL = 3.0

# name, lines (keV, relative intensity), ROIs in keV as the method file gives them
COMPONENTS = [
    ("K-40", [(1460.8, 1.0)], [(1350, 1580)]),
    ("Cs-137", [(661.7, 1.0)], [(600, 730)]),
    ("Ra-226", [(609.3, 0.46), (1120.3, 0.15), (1764.5, 0.15), (351.9, 0.36)],
     [(1650, 1880), (1050, 1190), (320, 385)]),
    ("Th-232", [(2614.5, 0.36), (911.2, 0.26), (583.2, 0.30), (238.6, 0.43)],
     [(2450, 2790), (850, 980), (210, 270)]),
    ("I-131", [(364.5, 0.82), (637.0, 0.07)], [(390, 420)]),
    ("Co-60", [(1173.2, 1.0), (1332.5, 1.0)], [(1130, 1330)]),
]


def peak_shape(energy):
    """Counts per channel of one unit-area photopeak plus its Compton shelf."""
    centre = energy / KEV_PER_CHANNEL
    sigma = 0.07 * math.sqrt(662.0 * energy) / 2.355 / KEV_PER_CHANNEL
    edge = energy * (1 - 1 / (1 + 2 * energy / 511.0)) / KEV_PER_CHANNEL
    shape = []
    for c in range(CHANNELS):
        g = math.exp(-0.5 * ((c - centre) / sigma) ** 2) / (sigma * math.sqrt(2 * math.pi))
        compton = 0.004 if c < edge else 0.0
        shape.append(g + compton)
    return shape


def component_shape(lines):
    total = [0.0] * CHANNELS
    for energy, intensity in lines:
        efficiency = 0.045 * (energy / 662.0) ** -0.85
        for c, v in enumerate(peak_shape(energy)):
            total[c] += v * intensity * efficiency
    return total


def background_rate():
    return [(8.0 * math.exp(-c / 90.0) + 0.6 * math.exp(-c / 400.0)) if c > 6 else 0.0
            for c in range(CHANNELS)]


def poisson(rng, mean):
    if mean <= 0:
        return 0
    if mean > 50:
        return max(0, int(round(rng.gauss(mean, math.sqrt(mean)))))
    limit, k, p = math.exp(-mean), 0, rng.random()
    while p > limit:
        k += 1
        p *= rng.random()
    return k


def write_spectrum(path, live_s, rate, rng):
    counts = [poisson(rng, r * live_s) for r in rate]
    live_us = int(live_s * 1_000_000)
    with open(path, "w") as f:
        f.write("%d\n%d\n" % (live_us, live_us + 2_000_000))
        f.write("\n".join(str(c) for c in counts))
        f.write("\n0 0 0 0\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("directory")
    parser.add_argument("--files", type=int, default=300)
    parser.add_argument("--entries", type=int, default=1500)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    os.makedirs(args.directory, exist_ok=True)
    path = lambda name: os.path.join(args.directory, name)

    shapes = [component_shape(lines) for _, lines, _ in COMPONENTS]
    background = background_rate()
    write_spectrum(path("bg.txt"), 4000, background, rng)
    write_spectrum(path("lbg.txt"), 3000, background, rng)
    for k, shape in enumerate(shapes):
        rate = [b + 1000.0 * s for b, s in zip(background, shape)]
        write_spectrum(path("std%d.txt" % k), 3600, rate, rng)

    lines = ["LOADTEST"] + ["%s Bq" % name for name, _, _ in COMPONENTS] + ["", ""]
    for k in range(6):
        lines.append(" ".join("1000" if j == k else "0" for j in range(6)))
    lines.append("0 0 0 0 0 0")
    for _, _, rois in COMPONENTS:
        flat = [v for roi in rois for v in roi] + [0] * (12 - 2 * len(rois))
        lines.append(" ".join(str(v) for v in flat))
    lines += ["1 1 1 1 1 1", "5 1 2 2 1 1", "0 500 0 0 200 0", "0 0 0", "1#bg.txt"]
    lines += ["1#std%d.txt" % k for k in range(6)]
    lines.append("1#lbg.txt")
    with open(path("method.cal"), "w") as f:
        f.write("\n".join(lines) + "\n")

    for i in range(args.files):
        activities = [rng.uniform(100, 600), rng.uniform(0, 50), rng.uniform(10, 60),
                      rng.uniform(10, 60), rng.uniform(0, 20), rng.uniform(0, 10)]
        rate = list(background)
        for a, shape in zip(activities, shapes):
            for c in range(CHANNELS):
                rate[c] += a * shape[c]
        write_spectrum(path("s%04d.txt" % i), rng.choice([600, 1200, 1800, 3600]), rate, rng)

    entries = ["method.cal"]
    for e in range(args.entries):
        name = "s%04d.txt" % rng.randrange(args.files)
        roll = rng.random()
        if roll < 0.34:
            entries.append("*" + name)
        elif roll < 0.60:
            entries.append("+" + name)
        elif roll < 0.80:
            entries.append(name)
        elif roll < 0.90:
            entries.append("^%.2f" % rng.choice([0.5, 1.0, 2.0]))
        else:
            entries.append("*missing%d.txt" % e)
    with open(path("config.txt"), "w") as f:
        f.write("\n".join(entries) + "\n")
    with open(path("dose.txt"), "w") as f:
        f.write("0.0160 0.0 0.02 1.5 1\n")


if __name__ == "__main__":
    main()
