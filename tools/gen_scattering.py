#!/usr/bin/python3
# SPDX-License-Identifier: BSD-3-Clause
"""Generate Pulvina's scattering tables from python3-periodictable.

data/asft.dat  X-ray form factors: the Waasmaier-Kirfel five-Gaussian fits
               (f0 = sum a_i exp(-b_i s^2) + c, s = sin(theta)/lambda) for
               neutral atoms and ions, from the f0_WaasKirf.dat table that
               periodictable ships for its Cromer-Mann module.  One row:
                 symbol Z charge a1..a5 b1..b5 c 0.000000 0.000000 0.000000
               The last three columns are kept free for the program (it
               stores and prints them); the fits have nothing to put there.
data/nslt.dat  Neutron bound coherent scattering lengths in fm, real and
               imaginary part:  symbol Z key b_c b_c_i
               key 0 is the element (natural isotope mix), otherwise the
               mass number of the isotope.

Neither file has a header: the program skips only lines whose leading
fields do not scan, so plain data is the safe form.

Run with Debian's interpreter (the one that sees python3-periodictable):
    /usr/bin/python3 tools/gen_scattering.py [ASFT_OUTPUT [NSLT_OUTPUT]]
(default: data/asft.dat and data/nslt.dat).  tools/check_data.sh
regenerates both and compares them byte for byte.
"""

import math
import os
import re
import sys

import periodictable
from periodictable import core

DATA_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                        os.pardir, "data")

# Values the program's tests and users compare against; a drift in the
# packaged table must stop the build of the data, not slip through.
ASFT_REFERENCE = {
    "Na1+": "3.148690 4.073989 0.767888 0.995612 0.968249 2.594987 6.046925 "
            "0.070139 14.122657 0.217037 0.045300",
    "Cl1-": "1.061802 7.139886 6.524271 2.355626 35.829403 0.144727 1.171795 "
            "19.467655 60.320301 0.000436 -34.916603",
    "Ca2+": "8.501441 12.880483 9.765095 7.156669 0.711160 10.525848 "
            "-0.004033 0.010692 0.684443 27.231771 -21.013187",
    "O": "2.960427 2.508818 0.637853 0.722838 1.142756 14.182259 5.936858 "
         "0.112726 34.958481 0.390240 0.027014",
    "H": "0.413048 0.294953 0.187491 0.080701 0.023736 15.569946 32.398468 "
         "5.711404 61.889874 1.334118 0.000049",
}

# The table's entries besides atoms and integer-charged ions: "Cval" and
# "Siva" are valence-electron fits, not a charge state, and would give C
# and Si a second neutral row.
SPECIES = re.compile(r"([A-Z][a-z]?)(?:(\d+)([+-]))?")

NUMBER = re.compile(r"-?\d+\.\d{6}")

# periodictable fills the missing b_c of Eu-151 with |b| estimated from the
# coherent cross-section; that is not a measured scattering length (its sign
# is unknown), so it is left out like any other missing value.
NSLT_ESTIMATED = {(63, 151)}


class GenerationError(Exception):
    pass


def fail(msg):
    raise GenerationError(msg)


def waaskirf_entries():
    """(symbol, Z, numbers as written in the source) for every fit."""
    path = os.path.join(core.get_data_path("xsf"), "f0_WaasKirf.dat")
    with open(path) as f:
        lines = f.read().splitlines()
    entries = []
    head = None
    for i, line in enumerate(lines):
        words = line.split()
        if words[:1] == ["#S"]:
            head = (int(words[1]), words[2])
        elif words[:1] == ["#L"]:
            if head is None:
                fail("f0_WaasKirf.dat line %d: data without #S" % (i + 1))
            values = lines[i + 1].split()
            if len(values) != 11 or not all(NUMBER.fullmatch(v)
                                            for v in values):
                fail("f0_WaasKirf.dat line %d: expected 11 numbers with six "
                     "decimals" % (i + 2))
            entries.append((head[1], head[0], values))
            head = None
    return entries


def asft_rows():
    rows = []
    skipped = []
    for symbol, z, values in waaskirf_entries():
        m = SPECIES.fullmatch(symbol)
        if not m:
            skipped.append(symbol)
            continue
        element = periodictable.elements[z]
        if element.symbol != m.group(1):
            fail("%s listed with atomic number %d" % (symbol, z))
        charge = int(m.group(2) or 0) * (-1 if m.group(3) == "-" else 1)
        if m.group(2) is not None and charge == 0:
            fail("%s: explicit zero charge" % symbol)
        # Source column order is a1..a5 c b1..b5; the program wants c last.
        a, c, b = values[0:5], values[5], values[6:11]
        rows.append((z, charge, symbol, a + b + [c]))

    # Neutral row first, then the ions in ascending charge.
    rows.sort(key=lambda r: (r[0], r[1] != 0, r[1]))
    seen = set()
    for z, charge, symbol, _ in rows:
        if (z, charge) in seen:
            fail("two rows for Z=%d charge %d" % (z, charge))
        seen.add((z, charge))
    neutral = {z for z, charge in seen if charge == 0}
    if neutral != {z for z, _ in seen}:
        fail("ions without a neutral row: %s" % sorted({z for z, _ in seen}
                                                       - neutral))
    by_symbol = {symbol: " ".join(nums) for _, _, symbol, nums in rows}
    for symbol, ref in ASFT_REFERENCE.items():
        if by_symbol.get(symbol) != ref:
            fail("%s: %r differs from the reference %r"
                 % (symbol, by_symbol.get(symbol), ref))
    lines = []
    for z, charge, symbol, nums in rows:
        line = "%s %d %d %s 0.000000 0.000000 0.000000" % (
            symbol, z, charge, " ".join(nums))
        if len(line) > 255:
            fail("%s: line longer than 255 characters" % symbol)
        lines.append(line)
    return lines, skipped


def fm(value):
    """Shortest text that reads back as the same double."""
    if value is None:
        return "0.0"
    value = float(value)
    if not math.isfinite(value):
        fail("non-finite scattering length")
    text = repr(value)
    if "e" in text or "n" in text:
        fail("scattering length %r needs an exponent" % text)
    return text


def nslt_rows():
    lines = []
    skipped = []
    for element in periodictable.elements:
        if element.number == 0:        # the free neutron is no scatterer
            continue
        entries = [(0, getattr(element, "neutron", None))]
        entries += [(iso.isotope, getattr(iso, "neutron", None))
                    for iso in sorted(element, key=lambda i: i.isotope)]
        for key, nsf in entries:
            if nsf is None or nsf.b_c is None:
                continue
            if (element.number, key) in NSLT_ESTIMATED:
                skipped.append("%s-%d" % (element.symbol, key))
                continue
            lines.append("%s %d %d %s %s" % (element.symbol, element.number,
                                             key, fm(nsf.b_c),
                                             fm(nsf.b_c_i)))
    return lines, skipped


def write(path, lines):
    data = ("\n".join(lines) + "\n").encode("ascii")
    with open(path, "wb") as f:
        f.write(data)
    return len(data)


def main(argv):
    asft = argv[1] if len(argv) > 1 else os.path.join(DATA_DIR, "asft.dat")
    nslt = argv[2] if len(argv) > 2 else os.path.join(DATA_DIR, "nslt.dat")
    lines, skipped = asft_rows()
    size = write(asft, lines)
    print("%s: %d rows, %d bytes; skipped %s"
          % (asft, len(lines), size, ", ".join(skipped) or "nothing"))
    lines, skipped = nslt_rows()
    size = write(nslt, lines)
    print("%s: %d rows, %d bytes; skipped %s"
          % (nslt, len(lines), size, ", ".join(skipped) or "nothing"))


if __name__ == "__main__":
    main(sys.argv)
