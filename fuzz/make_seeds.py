#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/ (small valid inputs)."""
import os
import random

HERE = os.path.dirname(os.path.abspath(__file__))


def spectrum(live_us, peak_at, height, counts=1024, reals=True, crlf=False):
    lines = [str(live_us), str(live_us + 1000000)]
    for i in range(counts):
        lines.append(str(5 + (height if abs(i - peak_at) < 10 else 0)))
    if reals:
        lines.append("0 0 0 0")
    end = "\r\n" if crlf else "\n"
    return end.join(lines) + end


def method(components=2, inline_local=False):
    names = [("K-40", "Bq"), ("Cs-137", "Bq"), ("Ra-226", "Bq"), ("Th-232", "Bq"), ("I-131", "Bq"), ("Co-60", "Bq")]
    out = ["fuzzseed"]
    out += ["%s %s" % names[i] for i in range(components)]
    out += ["", ""]
    for i in range(6):
        out.append(" ".join("1000" if k == i else "0" for k in range(6)))
    out.append("0 0 0 0 0 0")
    rois = ["900 990 0 0 0 0 0 0 0 0 0 0", "600 700 1200 1300 0 0 0 0 0 0 0 0"]
    for i in range(6):
        out.append(rois[i % 2])
    out += ["1 1 1 1 1 1", "0 0 0 0 0 0", "0 0 0 0 0 0", "0 0 0", "1#a.txt"]
    for i in range(6):
        out.append("1#a.txt" if i < components else "0")
    if inline_local:
        out.append("1")
        out.append(spectrum(600000000, 300, 3).rstrip("\n"))
        out.append("0 0")
        out.append(" ".join(["0"] * 256))
        out.append("0 0 0 0")
    else:
        out.append("1#b.txt")
    return "\n".join(out) + "\n"


def other_encodings():
    """Files of other programs in the encodings and line ends they arrive in."""
    spe = "$MEAS_TIM:\n10 12\n$DATA:\n0 3\n1 2 3 4\n$ENER_FIT:\n1 2\n"
    csv = "Elapsed Real Time:,\"1,267.11\"\nElapsed Live Time:,00:05:00\nChannel,Energy,Counts\n0,,5\n\n1,,6\n"
    return [
        ("utf16_spe", b"\xff\xfe" + spe.encode("utf-16-le")),
        ("utf16be_csv", b"\xfe\xff" + csv.encode("utf-16-be")),
        ("cr_spe", spe.replace("\n", "\r")),
        ("separators_csv", csv),
        ("bom_native", b"\xef\xbb\xbf" + spectrum(1000000, 100, 1).encode()),
    ]


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


def main():
    write("spectrum_reader", "valid", spectrum(600000000, 300, 50))
    write("spectrum_reader", "crlf", spectrum(7200000000, 200, 9, crlf=True))
    write("spectrum_reader", "no_reals", spectrum(1000000, 100, 1, reals=False))
    write("spectrum_reader", "short", spectrum(1000000, 100, 1, counts=500))
    for name, data in other_encodings():
        write("spectrum_reader", name, data)

    write("method_reader", "two_components", method(2))
    write("method_reader", "six_inline_local", method(6, inline_local=True))

    dose = "0.0160 0.0 0.02 1.5 1\n"
    config = "m.cal\n^1.0\n*a.txt\n+a.txt\n+b.txt\n*a.txt\nb.txt\n^0.5\n*b.txt\n"
    parts = [config, method(2), spectrum(600000000, 300, 50), spectrum(1200000000, 200, 20), dose]
    write("run", "two_components", "\0".join(parts))
    parts[1] = method(1, inline_local=True)
    write("run", "one_inline", "\0".join(parts))

    for i, text in enumerate(["123", " -45x", "+0.5e3", "1e+x", "inf", "infinity", "nan(1)",
                              "0x1p3", "2147483648", "18446744073709551616", "  \t\n", "-", ".e"]):
        write("scan", "seed_%02d" % i, text)

    rng = random.Random(7)
    for n in (64, 512, 2048, 4096):
        write("lsq", "random_%d" % n, bytes(rng.randrange(256) for _ in range(n)))


if __name__ == "__main__":
    main()
