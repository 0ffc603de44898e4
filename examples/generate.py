#!/usr/bin/env python3
"""Writes the demo working directory examples/demo/ for assay.

Everything is synthetic: a 1024-channel NaI(Tl) detector at 3 keV per
channel, a background, a local background, five standards and a set of
samples with known activities.  Fixed seeds make every run produce the
same bytes, so the demo can be regenerated and diffed.

    python3 examples/generate.py
"""

import math
import os
import random

CHANNELS = 1024
KEV_PER_CHANNEL = 3.0
ROOT = os.path.dirname(os.path.abspath(__file__))
DEMO = os.path.join(ROOT, "demo")

# --------------------------------------------------------------------------
# Detector model (a 3"x3" NaI(Tl) crystal with a Marinelli beaker)
# --------------------------------------------------------------------------


def sigma(energy):
    """Gaussian width in keV: 7 % FWHM at 662 keV, growing like sqrt(E)."""
    fwhm = 0.07 * math.sqrt(662.0 * energy)
    return fwhm / (2.0 * math.sqrt(2.0 * math.log(2.0)))


def peak_efficiency(energy):
    """Full-energy peak efficiency; the second factor is the absorption
    in the beaker wall and detector housing at low energies."""
    return 0.045 * (energy / 662.0) ** -0.85 * (1.0 - math.exp(-((energy / 90.0) ** 2.5)))


def peak_to_total(energy):
    return min(0.9, 0.55 * (energy / 662.0) ** -0.55)


def step_up(x, edge, width):
    return 0.5 * math.erfc((edge - x) / (math.sqrt(2.0) * width))


def step_down(x, edge, width):
    return 0.5 * math.erfc((x - edge) / (math.sqrt(2.0) * width))


def gauss_area(lo, hi, centre, width):
    """Fraction of a unit Gaussian that falls into [lo, hi)."""
    s = math.sqrt(2.0) * width
    return 0.5 * (math.erf((hi - centre) / s) - math.erf((lo - centre) / s))


class Line:
    """One gamma line: full-energy peak, Klein-Nishina Compton continuum
    with a smeared edge, a multiple-scatter shelf between edge and peak,
    a backscatter bump and low-energy scatter from the sample matrix."""

    # Shares of the non-peak counts.
    COMPTON, SHELF, BACKSCATTER, MATRIX = 0.70, 0.08, 0.07, 0.15

    def __init__(self, energy, continuum=True):
        self.e = energy
        self.sig = sigma(energy)
        self.continuum = continuum and energy > 200.0
        if not self.continuum:
            return
        alpha = energy / 511.0
        self.alpha = alpha
        self.edge = energy * 2.0 * alpha / (1.0 + 2.0 * alpha)
        self.sig_edge = sigma(self.edge)
        self.backscatter = energy / (1.0 + 2.0 * alpha)
        self.sig_bs = 1.8 * sigma(self.backscatter)
        steps = 2000
        h = self.edge / steps
        self.kn_norm = sum(self._kn((i + 0.5) * h) for i in range(steps)) * h

    def _kn(self, t):
        s = min(t, self.edge * 0.999999) / self.e
        a = self.alpha
        return 2.0 + s * s / (a * a * (1.0 - s) ** 2) + s / (1.0 - s) * (s - 2.0 / a)

    def density(self, t):
        """Non-peak counts per keV at energy t, per count in the whole line."""
        if t <= 0.0:
            return 0.0
        d = self.COMPTON * self._kn(t) / self.kn_norm * step_down(t, self.edge, self.sig_edge)
        d += (self.SHELF / (self.e - self.edge)
              * step_up(t, self.edge, self.sig_edge) * step_down(t, self.e, self.sig))
        d += (self.BACKSCATTER * math.exp(-0.5 * ((t - self.backscatter) / self.sig_bs) ** 2)
              / (math.sqrt(2.0 * math.pi) * self.sig_bs))
        d += self.MATRIX * t * math.exp(-t / 100.0) / 1.0e4
        return d


def threshold(energy):
    """Lower-level discriminator at about 20 keV."""
    return 1.0 / (1.0 + math.exp(-(energy - 20.0) / 3.0))


def channel_edges(gain):
    """Energy bounds of every channel; a gain above 1 puts a line at a
    higher channel than the standards have it."""
    return [(KEV_PER_CHANNEL * c / gain, KEV_PER_CHANNEL * (c + 1) / gain) for c in range(CHANNELS)]


def line_spectrum(lines, gain):
    """Counts per second in each channel for lines given as
    (energy, counts per second in the full-energy peak, with continuum)."""
    out = [0.0] * CHANNELS
    edges = channel_edges(gain)
    for energy, peak_rate, continuum in lines:
        line = Line(energy, continuum)
        if line.continuum:
            total = peak_rate / peak_to_total(energy)
            rest = total - peak_rate
        else:
            rest = 0.0
        for c, (lo, hi) in enumerate(edges):
            v = peak_rate * gauss_area(lo, hi, energy, line.sig)
            if rest > 0.0:
                # Four-point average over the channel is plenty for
                # shapes that are smooth on the scale of 3 keV.
                w = hi - lo
                v += rest * w * sum(line.density(lo + (k + 0.5) * w / 4.0) for k in range(4)) / 4.0
            out[c] += v
    centre = [(lo + hi) / 2.0 for lo, hi in edges]
    return [v * threshold(e) for v, e in zip(out, centre)]


# --------------------------------------------------------------------------
# Components: gamma lines per becquerel of the parent (series in
# equilibrium), energies in keV and emission probabilities.
# --------------------------------------------------------------------------

COMPONENTS = [
    ("K-40", "Bq", [(1460.8, 0.1066)]),
    ("Cs-137", "Bq", [(661.7, 0.851), (32.0, 0.070)]),
    ("Ra-226", "Bq", [  # Pb-214 and Bi-214
        (242.0, 0.073), (295.2, 0.184), (351.9, 0.356), (609.3, 0.455),
        (768.4, 0.049), (934.1, 0.031), (1120.3, 0.149), (1238.1, 0.058),
        (1377.7, 0.040), (1764.5, 0.153), (2204.1, 0.049)]),
    ("Th-232", "Bq", [  # Pb-212, Ac-228, Bi-212, Tl-208
        (238.6, 0.436), (338.3, 0.113), (510.8, 0.081), (583.2, 0.304),
        (727.3, 0.066), (860.6, 0.045), (911.2, 0.258), (969.0, 0.158),
        (1588.2, 0.032), (2614.5, 0.358)]),
    ("I-131", "Bq", [(284.3, 0.061), (364.5, 0.817), (637.0, 0.072), (722.9, 0.018)]),
]

# ROIs in keV (the reader divides by 3 to get channels); the first one is
# the main line, used for the count-rate column.
ROIS = [
    [(1380, 1545)],                              # K-40 1461
    [(630, 700)],                                # Cs-137 662
    [(1680, 1850), (570, 625), (1070, 1170)],    # Bi-214 1764, 609, 1120
    [(2460, 2770), (880, 1000), (540, 600)],     # Tl-208 2614, Ac-228 911/969, Tl-208 583
    [(330, 400)],                                # I-131 364 (with Pb-214 352)
]

# Composition of each standard (row = standard, column = component), Bq.
# The thorium standard carries a little potassium, as natural material does.
STANDARDS = [
    [4000.0, 0.0, 0.0, 0.0, 0.0],
    [0.0, 1000.0, 0.0, 0.0, 0.0],
    [0.0, 0.0, 1000.0, 0.0, 0.0],
    [40.0, 0.0, 0.0, 1000.0, 0.0],
    [0.0, 0.0, 0.0, 0.0, 1000.0],
]
DETECTION_LIMITS = [12.0, 0.8, 1.5, 1.5, 0.8, 0.0]
PARTIAL_LIMITS = [0.0, 600.0, 0.0, 0.0, 300.0, 0.0]


def component_response(index, gain):
    lines = [(e, p * peak_efficiency(e), e > 100.0) for e, p in COMPONENTS[index][2]]
    return line_spectrum(lines, gain)


def background_rate(level, equivalent, gain):
    """Shielded-detector background: a continuum falling with energy, Pb
    X-rays from the shield, annihilation radiation and weak K/U/Th lines
    from the detector and shield materials (given as equivalent Bq)."""
    edges = channel_edges(gain)
    out = []
    for lo, hi in edges:
        e = (lo + hi) / 2.0
        d = 0.05 * math.exp(-e / 90.0) + 0.008 * math.exp(-e / 450.0) + 0.0006 * math.exp(-e / 1500.0)
        out.append(level * d * (hi - lo) * threshold(e))
    xrays = [(74.97, 0.12 * level, False), (84.9, 0.04 * level, False), (511.0, 0.03 * level, True)]
    for c, v in enumerate(line_spectrum(xrays, gain)):
        out[c] += v
    for k, activity in enumerate(equivalent):
        if activity:
            for c, v in enumerate(component_response(k, gain)):
                out[c] += activity * v
    return out


# --------------------------------------------------------------------------
# Counting
# --------------------------------------------------------------------------


def poisson(rng, lam):
    if lam <= 0.0:
        return 0
    if lam < 30.0:
        limit = math.exp(-lam)
        k, p = 0, rng.random()
        while p > limit:
            k += 1
            p *= rng.random()
        return k
    # Transformed rejection (Hoermann, PTRS) for large means.
    slam = math.sqrt(lam)
    loglam = math.log(lam)
    b = 0.931 + 2.53 * slam
    a = -0.059 + 0.02483 * b
    invalpha = 1.1239 + 1.1328 / (b - 3.4)
    vr = 0.9277 - 3.6224 / (b - 2.0)
    while True:
        u = rng.random() - 0.5
        v = rng.random()
        us = 0.5 - abs(u)
        k = int(math.floor((2.0 * a / us + b) * u + lam + 0.43))
        if us >= 0.07 and v <= vr:
            return k
        if k < 0 or (us < 0.013 and v > us):
            continue
        if (math.log(v) + math.log(invalpha) - math.log(a / (us * us) + b)
                <= -lam + k * loglam - math.lgamma(k + 1)):
            return k


class Spectrum:
    def __init__(self, live_s, rate, seed, dead_per_cps=3.0e-6, dead_base=0.001):
        # Rounding the means first keeps the drawn counts stable against
        # last-bit differences of the maths library between platforms.
        lam = [round(r * live_s, 6) for r in rate]
        rng = random.Random(seed)
        self.counts = [poisson(rng, x) for x in lam]
        dead = dead_base + dead_per_cps * sum(rate)
        self.live_us = int(round(live_s * 1.0e6))
        self.real_us = int(round(live_s * 1.0e6 / (1.0 - dead)))
        # Times are unsigned 64-bit numbers of microseconds.
        assert self.real_us < 2**64, "time does not fit the 64-bit microsecond field"

    def lines(self):
        """The long form: times, 1024 counts, four trailing reals."""
        out = [str(self.live_us), str(self.real_us)]
        out += [str(c) for c in self.counts]
        out.append("0 0 0 0")
        return out

    def short_lines(self):
        """The 256-channel form that follows an inline spectrum."""
        out = [str(self.live_us), str(self.real_us)]
        out += [str(sum(self.counts[4 * i:4 * i + 4])) for i in range(256)]
        out.append("0 0 0 0")
        return out


def mix(parts):
    out = [0.0] * CHANNELS
    for factor, rate in parts:
        for c in range(CHANNELS):
            out[c] += factor * rate[c]
    return out


def write(name, lines):
    with open(os.path.join(DEMO, name), "w", newline="\n") as f:
        f.write("\n".join(lines) + "\n")


def fmt(x):
    return ("%.1f" % x) if x == int(x) else repr(x)


# --------------------------------------------------------------------------
# The demo
# --------------------------------------------------------------------------

BG_EQUIVALENT = [45.0, 0.0, 6.0, 4.0, 0.0]
LBG_EQUIVALENT = [50.0, 0.0, 8.0, 4.3, 0.0]
LBG_LEVEL = 1.06

STANDARD_LIVE = 3600.0
BG_LIVE = 36000.0
LBG_LIVE = 7200.0

# Standards kept in files of their own; the others are written inline.
STANDARD_FILES = {1: "std_cs.txt", 3: "std_th.txt"}

# name, live time s, gain, activities in Bq (K, Cs, Ra, Th, I), seed
SAMPLES = [
    ("soil_a.txt", 3600.0, 1.000, [450.0, 12.0, 35.0, 40.0, 0.0], 101),
    ("soil_b.txt", 3600.0, 1.020, [600.0, 5.0, 60.0, 55.0, 0.0], 102),
    ("cs_contam.txt", 1800.0, 1.000, [300.0, 850.0, 25.0, 30.0, 0.0], 103),
    ("fallout.txt", 1200.0, 0.985, [200.0, 150.0, 20.0, 20.0, 400.0], 104),
    ("grass_1.txt", 600.0, 1.000, [250.0, 40.0, 10.0, 8.0, 60.0], 105),
    ("grass_2.txt", 600.0, 1.000, [250.0, 40.0, 10.0, 8.0, 60.0], 106),
    ("grass_3.txt", 600.0, 1.000, [250.0, 40.0, 10.0, 8.0, 60.0], 107),
    ("water_1.txt", 3600.0, 1.000, [15.0, 2.0, 3.0, 1.0, 0.0], 108),
    ("water_2.txt", 3600.0, 1.000, [15.0, 2.0, 3.0, 1.0, 0.0], 109),
    ("soil_half.txt", 2400.0, 1.000, [250.0, 20.0, 18.0, 22.0, 0.0], 110),
]

CONFIG = [
    "envmon.cal",
    "^1.0",
    "*bg.txt",
    "*soil_a.txt",
    "*soil_b.txt",
    "*cs_contam.txt",
    "*fallout.txt",
    "+grass_1.txt",
    "+grass_2.txt",
    "*grass_3.txt",
    "water_1.txt",
    "*water_2.txt",
    "^0.5",
    "*soil_half.txt",
]

# dose_factor, dead-time coefficients c3 c2 c1 (in thousandths), table
# switch 1 (sievert table): the background reads some 50 nSv/h.
DOSE = "0.0160 0.0 0.02 1.5 1"


def method_file(standards):
    n = len(COMPONENTS)
    out = ["ENVMON"]
    out += ["%s %s" % (name, unit) for name, unit, _ in COMPONENTS]
    # The pair list ends at the first unit followed by an empty line, and
    # the reader swallows one more character after that line end: hence
    # the second empty line before the standards table.
    out += ["", ""]
    for row in STANDARDS + [[0.0] * n]:
        out.append(" ".join(fmt(x) for x in row + [0.0] * (6 - len(row))))
    out.append(" ".join(["0.0"] * 6))              # strip line
    for rois in ROIS + [[]]:
        values = [v for pair in rois for v in pair]
        out.append(" ".join(str(v) for v in values + [0] * (12 - len(values))))
    out.append(" ".join(["1.0"] * 6))              # standard factors
    out.append(" ".join(fmt(x) for x in DETECTION_LIMITS))
    out.append(" ".join(fmt(x) for x in PARTIAL_LIMITS))
    out.append("0 0 0")
    out.append("1#bg.txt")
    for k in range(6):
        if k >= n:
            out.append("0")
        elif k in STANDARD_FILES:
            out.append("1#" + STANDARD_FILES[k])
        else:
            out.append("1")
            out += standards[k].lines()
            out += standards[k].short_lines()
    out.append("1#lbg.txt")
    return out


def main():
    os.makedirs(DEMO, exist_ok=True)
    n = len(COMPONENTS)
    response = {1.0: [component_response(k, 1.0) for k in range(n)]}
    bg_rate = background_rate(1.0, BG_EQUIVALENT, 1.0)
    lbg_rate = {1.0: background_rate(LBG_LEVEL, LBG_EQUIVALENT, 1.0)}

    background = Spectrum(BG_LIVE, bg_rate, 1)
    write("bg.txt", background.lines())
    write("lbg.txt", Spectrum(LBG_LIVE, lbg_rate[1.0], 2).lines())

    standards = []
    for k in range(n):
        rate = mix([(1.0, bg_rate)] + [(STANDARDS[k][j], response[1.0][j]) for j in range(n)])
        standards.append(Spectrum(STANDARD_LIVE, rate, 11 + k))
        if k in STANDARD_FILES:
            write(STANDARD_FILES[k], standards[k].lines())

    for name, live, gain, activity, seed in SAMPLES:
        if gain not in response:
            response[gain] = [component_response(k, gain) for k in range(n)]
            lbg_rate[gain] = background_rate(LBG_LEVEL, LBG_EQUIVALENT, gain)
        rate = mix([(1.0, lbg_rate[gain])] + [(activity[j], response[gain][j]) for j in range(n)])
        write(name, Spectrum(live, rate, seed).lines())

    write("envmon.cal", method_file(standards))
    write("config.txt", CONFIG)
    write("dose.txt", [DOSE])


if __name__ == "__main__":
    main()
