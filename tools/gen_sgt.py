#!/usr/bin/python3
# SPDX-License-Identifier: BSD-3-Clause
"""Generate data/sgt.xml, the space-group table, from cctbx.sgtbx.

For each of the 230 space groups it writes the symbols, point group, Laue
class and crystal system, then one CellChoice per setting (standard setting;
unique axis b / c for monoclinic groups; hexagonal / rhombohedral axes for
R groups; origin choice 1 / 2 where the group has two), each with the
asymmetric-unit box, the Hermann-Mauguin symbol of the setting, the
centring translations and every Wyckoff position
(general position first, then letters descending to 'a') as its orbit
modulo the centring translations, and the operations of the setting's
Euclidean normalizer with the permutation each makes of the Wyckoff letters
(see normalizer_xml below).

Coordinates are written in the restricted triplet dialect that Pulvina's
reader understands (see read_expr below).  Every triplet is parsed back with
a Python copy of that reader and compared with the intended affine map, and
every orbit is checked against the space group; any mismatch raises, so a
file is only written when all of it is known to be read correctly.

Run with Debian's interpreter (the one that sees python3-cctbx):
    /usr/bin/python3 tools/gen_sgt.py [OUTPUT]      (default: data/sgt.xml)
tools/check_data.sh regenerates the file and compares it byte for byte.
"""

import os
import re
import sys
from fractions import Fraction

from cctbx import sgtbx, uctbx

DEFAULT_OUTPUT = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                              os.pardir, "data", "sgt.xml")

# A point in general position for the orbit checks; exact rationals so that
# "distinct modulo 1" is decided without rounding.
GENERIC = (Fraction(1234, 10000), Fraction(3456, 10000), Fraction(5678, 10000))

CRYSTAL_SYSTEMS = ("Triclinic", "Monoclinic", "Orthorhombic", "Tetragonal",
                   "Trigonal", "Hexagonal", "Cubic")

MAX_ATTR = 63      # the reader copies SG and Position attributes into char[64]
MAX_TEXT = 127     # ... and Description / Origin into char[128]


class GenerationError(Exception):
    pass


def fail(msg):
    raise GenerationError(msg)


# ---------------------------------------------------------------------------
# Affine maps.  A map is a tuple of three rows (cx, cy, cz, c) of Fractions:
# coordinate i = cx*x + cy*y + cz*z + c.

def rt_mx_rows(op):
    """Rows of a cctbx rt_mx as exact Fractions."""
    rn, rd = op.r().num(), op.r().den()
    tn, td = op.t().num(), op.t().den()
    return tuple(tuple(Fraction(rn[3 * i + j], rd) for j in range(3))
                 + (Fraction(tn[i], td),) for i in range(3))


def special_rows(simplified):
    """Rows of wyckoff_position.special_op_simplified(): the site expressed
    through its free parameters only (e.g. x,2x,1/4), so that composing with
    the group operators gives triplets in those same parameters."""
    rows = []
    for term in simplified.terms:
        row = [Fraction(0)] * 3
        for i_var, mult in zip(term.i_vars, term.multipliers):
            row[i_var] = Fraction(str(mult))
        rows.append(tuple(row) + (Fraction(str(term.constant)),))
    return tuple(rows)


def compose(op, site):
    """op o site, both given as rows."""
    out = []
    for i in range(3):
        row = [Fraction(0)] * 4
        for j in range(3):
            r = op[i][j]
            if r:
                for k in range(4):
                    row[k] += r * site[j][k]
        row[3] += op[i][3]
        out.append(tuple(row))
    return tuple(out)


def reduce_mod1(rows):
    return tuple(row[:3] + (row[3] % 1,) for row in rows)


def shifted(rows, vec):
    return tuple(row[:3] + ((row[3] + v) % 1,) for row, v in zip(rows, vec))


def apply(rows, point):
    return tuple(r[0] * point[0] + r[1] * point[1] + r[2] * point[2] + r[3]
                 for r in rows)


def mod1(point):
    return tuple(c % 1 for c in point)


# ---------------------------------------------------------------------------
# The triplet dialect.

def write_expr(row):
    """One coordinate expression: variables x, y, z with single-digit integer
    coefficients, then at most one constant written as a fraction.  Anything
    else cannot be expressed for the reader and raises."""
    out = ""
    for coef, var in zip(row[:3], "xyz"):
        if coef == 0:
            continue
        if coef.denominator != 1 or not -9 <= coef <= 9:
            fail("coefficient %s of %s cannot be written" % (coef, var))
        n = int(coef)
        sign = "-" if n < 0 else ("+" if out else "")
        out += sign + ("" if abs(n) == 1 else str(abs(n))) + var
    const = row[3]
    if const != 0:
        # The reader only sees a constant through its '/', so "x+1" would
        # silently lose the 1; constants are reduced modulo 1 before this.
        if const.denominator == 1:
            fail("integer constant %s cannot be written" % const)
        sign = "-" if const < 0 else ("+" if out else "")
        out += "%s%d/%d" % (sign, abs(const.numerator), const.denominator)
    return out or "0"


def write_triplet(rows):
    return "(" + ",".join(write_expr(row) for row in rows) + ")"


def read_expr(text):
    """Python copy of Pulvina's expression reader, used to prove that every
    written expression reads back as intended.  Inputs it would interpret
    differently from what they look like raise instead of guessing."""
    s = text.replace(" ", "")
    if not s or not re.fullmatch(r"[-+0-9/xyz]+", s):
        fail("unreadable expression %r" % text)
    coefs = []
    for var in "xyz":
        i = s.find(var)
        if i < 0:
            coefs.append(Fraction(0))
            continue
        prev = s[i - 1] if i > 0 else ""
        if prev in ("", "+"):
            k = 1
        elif prev == "-":
            k = -1
        elif prev.isdigit():
            before = s[i - 2] if i > 1 else ""
            if before in ("", "+"):
                k = int(prev)
            elif before == "-":
                k = -int(prev)
            else:
                fail("ambiguous coefficient in %r" % text)
        else:
            fail("ambiguous coefficient in %r" % text)
        coefs.append(Fraction(k))
    slash = s.find("/")
    if slash < 0:
        const = Fraction(0)
    else:
        a = slash
        while a > 0 and s[a - 1].isdigit():
            a -= 1
        b = slash + 1
        while b < len(s) and s[b].isdigit():
            b += 1
        num, den = s[a:slash], s[slash + 1:b]
        if not num or not den or int(den) == 0:
            fail("malformed constant in %r" % text)
        prev = s[a - 1] if a > 0 else ""
        if prev in ("", "+"):
            sign = 1
        elif prev == "-":
            sign = -1
        else:
            fail("ambiguous constant sign in %r" % text)
        const = sign * Fraction(int(num), int(den))
    return tuple(coefs) + (const,)


def read_triplets(text):
    """Parse "(e,e,e)(e,e,e)..." into a list of maps."""
    groups = re.findall(r"\(([^()]*)\)", text)
    if "".join("(%s)" % g for g in groups) != text:
        fail("stray characters in %r" % text)
    maps = []
    for g in groups:
        exprs = g.split(",")
        if len(exprs) != 3:
            fail("triplet %r does not have three expressions" % g)
        maps.append(tuple(read_expr(e) for e in exprs))
    return maps


def write_checked(maps):
    """Write maps as triplets and insist that they read back identically."""
    text = "".join(write_triplet(m) for m in maps)
    if read_triplets(text) != [tuple(m) for m in maps]:
        fail("triplets %r do not read back as written" % text)
    return text


# ---------------------------------------------------------------------------
# Symbols.

def short_symbol(hm, crystal_system):
    tokens = hm.split()
    if crystal_system == "Monoclinic":
        # "P 1 21/c 1" -> "P21/c": the 1s only mark the unique axis.
        tokens = [tokens[0]] + [t for t in tokens[1:] if t != "1"]
    return "".join(tokens)


# Lattice directions that the positions of a Hermann-Mauguin symbol refer to.
SYMBOL_DIRECTIONS = {
    "Orthorhombic": [(1, 0, 0), (0, 1, 0), (0, 0, 1)],
    "Tetragonal": [(0, 0, 1), (1, 0, 0), (1, -1, 0)],
    "Trigonal": [(0, 0, 1), (1, 0, 0), (1, -1, 0)],
    "Hexagonal": [(0, 0, 1), (1, 0, 0), (1, -1, 0)],
    "Cubic": [(0, 0, 1), (1, 1, 1), (1, -1, 0)],
}

# For these I-centred groups both 2 and 2_1 run along every axis direction;
# the International Tables write the screw axes in their full symbols, so
# the "rotation before screw" rule used below is overridden here.
FULL_SYMBOL_SCREW_CONVENTION = {
    73: "I 21/b 21/c 21/a",
    74: "I 21/m 21/m 21/a",
    206: "I 21/a -3",
}


def parallel(u, v):
    cross = (u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2],
             u[0] * v[1] - u[1] * v[0])
    return cross == (0, 0, 0)


def shortest_lattice_step(direction, centrings):
    """Fraction f such that f*direction is the shortest lattice vector along
    direction, centring vectors included."""
    for m in range(6, 0, -1):
        f = Fraction(1, m)
        v = tuple(f * d for d in direction)
        for c in centrings:
            if all((vi - ci).denominator == 1 for vi, ci in zip(v, c)):
                return f
    fail("no lattice vector along %s" % (direction,))


def axis_symbol(group, direction, centrings):
    """Symbol of the highest-order rotation axis along direction, preferring
    the pure rotation, then the smallest screw component (so 4 over 4_2,
    4_1 over 4_3, 2 over 2_1)."""
    step = shortest_lattice_step(direction, centrings)
    best = None
    for i in range(group.order_z()):
        op = group(i)
        info = op.r().info()
        n = info.type()
        if n < 2 or not parallel(info.ev(), direction):
            continue
        ev = info.ev()
        dot = sum(a * b for a, b in zip(ev, direction))
        # Only the counter-clockwise turn about +direction defines the screw
        # sense; its inverse is elsewhere in the list.
        if n > 2 and (dot > 0) != (info.sense() > 0):
            continue
        w = sgtbx.translation_part_info(op).intrinsic_part()
        w = tuple(Fraction(x, w.den()) for x in w.num())
        if not parallel(w, direction) and any(w):
            fail("intrinsic translation %s not along %s" % (w, direction))
        lam = next((wi / (di * step) for wi, di in zip(w, direction) if di),
                   Fraction(0))
        k = (n * lam) % n
        if k.denominator != 1:
            fail("non-integral screw component along %s" % (direction,))
        key = (-n, int(k))
        if best is None or key < best:
            best = key
    if best is None:
        fail("no rotation axis along %s" % (direction,))
    n, k = -best[0], best[1]
    return str(n) + (str(k) if k else "")


def full_symbol(number, hm, group, crystal_system, centrings):
    """Full Hermann-Mauguin symbol.  It differs from the tabulated symbol only
    in the centrosymmetric classes, where each bare plane letter gets the
    axis perpendicular to it ("m" -> "2/m", "4/m", "21/b", ...)."""
    tokens = hm.split()
    if not group.is_centric() or crystal_system in ("Triclinic",
                                                    "Monoclinic"):
        return " ".join(tokens)
    dirs = SYMBOL_DIRECTIONS[crystal_system]
    out = [tokens[0]]
    for pos, token in enumerate(tokens[1:]):
        if re.fullmatch(r"[mabcnde]", token):
            token = axis_symbol(group, dirs[pos], centrings) + "/" + token
        out.append(token)
    derived = " ".join(out)
    if number in FULL_SYMBOL_SCREW_CONVENTION:
        chosen = FULL_SYMBOL_SCREW_CONVENTION[number]
        # The override may only swap 2 for 2_1; the planes must agree.
        if re.sub(r"21/", "2/", chosen) != re.sub(r"21/", "2/", derived):
            fail("full symbol override %r does not match %r" % (chosen,
                                                               derived))
        return chosen
    return derived


# ---------------------------------------------------------------------------
# Settings.

def settings_of(number, symbols):
    """[(setting number, description, symbol)] for one space group."""
    def pick(pred):
        found = [s for s in symbols if pred(s)]
        if len(found) != 1:
            fail("group %d: expected one matching setting, found %d"
                 % (number, len(found)))
        return found[0]

    exts = sorted({s.extension() for s in symbols} - {"\0"})
    if 3 <= number <= 15:
        return [(1, "unique axis b", pick(lambda s: s.qualifier() in ("b", "b1"))),
                (2, "unique axis c", pick(lambda s: s.qualifier() in ("c", "c1")))]
    if exts == ["H", "R"]:
        return [(1, "hexagonal axes", pick(lambda s: s.extension() == "H")),
                (2, "rhombohedral axes", pick(lambda s: s.extension() == "R"))]
    if exts == ["1", "2"]:
        return [(k, "origin choice %d" % k,
                 pick(lambda s, k=k: s.extension() == str(k)
                      and s.qualifier() == ""))
                for k in (1, 2)]
    if exts:
        fail("group %d: unexpected setting extensions %r" % (number, exts))
    return [(1, "standard setting", pick(lambda s: s.qualifier() == ""))]


def centring_vectors(group):
    vecs = [tuple(Fraction(n, t.den()) for n in t.num()) for t in group.ltr()]
    if vecs[0] != (0, 0, 0):
        fail("centring translations do not start with 0,0,0")
    return vecs


# ---------------------------------------------------------------------------
# Asymmetric unit.

BRICK_PART = re.compile(r"(-?\d+(?:/\d+)?)(<=|<)([xyz])(<=|<)(-?\d+(?:/\d+)?)")


def decimal(frac):
    s = "%.6f" % float(frac)
    return "0.000000" if s == "-0.000000" else s


def asymmetric_unit(sgi):
    text = sgi.brick().as_string()
    parts = [p.strip() for p in text.split(";")]
    bounds = []
    for var, part in zip("xyz", parts):
        m = BRICK_PART.fullmatch(part)
        if len(parts) != 3 or not m or m.group(3) != var:
            fail("unexpected asymmetric unit %r" % text)
        lo, hi = Fraction(m.group(1)), Fraction(m.group(5))
        if not lo < hi:
            fail("empty asymmetric unit %r" % text)
        bounds.append("%s, %s" % (decimal(lo), decimal(hi)))
    return "; ".join(bounds)


# ---------------------------------------------------------------------------
# Wyckoff positions.

def orbit_triplets(position, coset_ops, centrings):
    """Orbit of the position as maps in its free parameters, one per point
    modulo the centring translations, the representative first."""
    site = special_rows(position.special_op_simplified())
    seen = set()
    orbit = []
    identity = tuple(tuple(Fraction(int(i == j)) for j in range(3))
                     + (Fraction(0),) for i in range(3))
    for op in [identity] + coset_ops:
        m = reduce_mod1(compose(op, site))
        key = min(shifted(m, c) for c in centrings)
        if key not in seen:
            seen.add(key)
            orbit.append(m)
    return orbit


def stabiliser(group, point):
    ops = []
    for i in range(group.order_z()):
        op = rt_mx_rows(group(i))
        diff = [a - b for a, b in zip(apply(op, point), point)]
        if all(d.denominator == 1 for d in diff):
            ops.append(group(i))
    return ops


def check_position(label, group, position, maps, centrings):
    mult = position.multiplicity()
    if len(maps) * len(centrings) != mult:
        fail("%s: %d triplets x %d translations != multiplicity %d"
             % (label, len(maps), len(centrings), mult))

    # The orbit as the reader will see it must be exactly the space-group
    # orbit of the representative, with multiplicity distinct points.
    written = []
    for m in maps:
        p = apply(m, GENERIC)
        for c in centrings:
            written.append(mod1(tuple(a + b for a, b in zip(p, c))))
    if len(set(written)) != mult:
        fail("%s: orbit of a generic point has %d distinct points, not %d"
             % (label, len(set(written)), mult))
    rep = apply(maps[0], GENERIC)
    full = {mod1(apply(rt_mx_rows(group(i)), rep))
            for i in range(group.order_z())}
    if full != set(written):
        fail("%s: triplets do not reproduce the space-group orbit" % label)

    # The representative must lie on the site.  special_op() projects onto
    # the site as cctbx places it, before the reduction into [0,1), so it is
    # checked there; the stabiliser, which does not care about whole-cell
    # shifts, is checked on the written representative and must have the
    # order and point-group type of the site symmetry.
    site = apply(special_rows(position.special_op_simplified()), GENERIC)
    if mod1(site) != mod1(rep):
        fail("%s: representative is not the cctbx site" % label)
    if apply(rt_mx_rows(position.special_op()), site) != site:
        fail("%s: representative is not fixed by the site symmetry" % label)
    stab = stabiliser(group, rep)
    if len(stab) * mult != group.order_z():
        fail("%s: stabiliser of order %d, expected %d"
             % (label, len(stab), group.order_z() // mult))
    pg = sgtbx.space_group()
    for op in stab:
        pg.expand_smx(sgtbx.rt_mx(op.r()))
    if str(pg.point_group_type()) != str(position.point_group_type()):
        fail("%s: stabiliser is %s, table says %s"
             % (label, pg.point_group_type(), position.point_group_type()))


# ---------------------------------------------------------------------------
# Euclidean normalizer.
#
# cctbx builds the normalizer from three parts, found by trying known
# groups: the origin shifts that keep the group (its structure
# seminvariants: discrete ones such as x+1/2 in P2_1/c, continuous ones
# along the polar axes of P2, Pmm2, P6_3mc), the generators "K2L" that add
# the inversion to a non-centrosymmetric group (-x,-y,-z in P4, P6_3mc) and
# the generators "L2N" that raise the Laue group to the normalizer of the
# lattice (y,x,z in P4, y+1/4,x+1/4,z+1/4 in I4_1/a origin 2, y,x,z in R-3
# on rhombohedral axes).  search_symmetry gathers them into one group.
#
# Only operations that keep a general cell of the crystal family are kept:
# an axis swap that needs a = c in a monoclinic cell would make two models
# equivalent that are not for most cells.  The continuous shifts of polar
# groups move atoms along the polar axis and never from one Wyckoff letter
# to another, so they are left out.  Every operation kept is checked to map
# the group onto itself, and its permutation of the letters, found from a
# generic point of each position, to be a bijection that keeps the
# multiplicity.  One operation per distinct permutation other than the
# identity is written; the permutations form a group, closed here.

# A cell of each crystal family with no accidental equalities.
def family_cell(crystal_system, description):
    if crystal_system == "Triclinic":
        return (5.1, 6.3, 7.7, 81.0, 97.0, 103.0)
    if crystal_system == "Monoclinic":
        if description == "unique axis b":
            return (5.1, 6.3, 7.7, 90.0, 103.0, 90.0)
        if description == "unique axis c":
            return (5.1, 6.3, 7.7, 90.0, 90.0, 103.0)
        fail("monoclinic setting %r without a unique axis" % description)
    if crystal_system == "Orthorhombic":
        return (5.1, 6.3, 7.7, 90.0, 90.0, 90.0)
    if crystal_system == "Tetragonal":
        return (5.1, 5.1, 7.7, 90.0, 90.0, 90.0)
    if crystal_system in ("Trigonal", "Hexagonal"):
        if description == "rhombohedral axes":
            return (5.1, 5.1, 5.1, 77.0, 77.0, 77.0)
        return (5.1, 5.1, 7.7, 90.0, 90.0, 120.0)
    if crystal_system == "Cubic":
        return (5.1, 5.1, 5.1, 90.0, 90.0, 90.0)
    fail("unknown crystal system %r" % crystal_system)


def keeps_metric(op, cell):
    g = cell.metrical_matrix()
    m = ((g[0], g[3], g[4]), (g[3], g[1], g[5]), (g[4], g[5], g[2]))
    r = op.r().as_double()
    rot = ((r[0], r[1], r[2]), (r[3], r[4], r[5]), (r[6], r[7], r[8]))
    for i in range(3):
        for j in range(3):
            v = sum(rot[k][i] * m[k][l] * rot[l][j]
                    for k in range(3) for l in range(3))
            if abs(v - m[i][j]) > 1e-9 * max(1.0, abs(m[i][j])):
                return False
    return True


def inverse_rows(rows):
    """Inverse of an affine map given as rows, exactly."""
    a = [list(row[:3]) + [Fraction(int(i == j)) for j in range(3)]
         for i, row in enumerate(rows)]
    for c in range(3):
        pivot = next((r for r in range(c, 3) if a[r][c] != 0), None)
        if pivot is None:
            fail("singular normalizer operation")
        a[c], a[pivot] = a[pivot], a[c]
        p = a[c][c]
        a[c] = [v / p for v in a[c]]
        for r in range(3):
            if r != c and a[r][c] != 0:
                f = a[r][c]
                a[r] = [v - f * w for v, w in zip(a[r], a[c])]
    inv = [tuple(a[i][3:]) for i in range(3)]
    t = [-sum(inv[i][j] * rows[j][3] for j in range(3)) for i in range(3)]
    return tuple(inv[i] + (t[i],) for i in range(3))


def normalises(label, group, op):
    n = rt_mx_rows(op)
    n_inv = inverse_rows(n)
    ops = {reduce_mod1(rt_mx_rows(group(i))) for i in range(group.order_z())}
    image = {reduce_mod1(compose(compose(n, g), n_inv)) for g in ops}
    if image != ops:
        fail("%s: %s does not map the group onto itself" % (label, op))


def letter_permutation(label, group, table, cell, op):
    """Images of the positions (in table order) under op, as letters."""
    n = rt_mx_rows(op)
    images = []
    for i in range(table.size()):
        pos = table.position(i)
        point = apply(special_rows(pos.special_op_simplified()), GENERIC)
        image = mod1(apply(n, point))
        site = sgtbx.site_symmetry(cell, group, [float(c) for c in image],
                                   min_distance_sym_equiv=0.01)
        target = table.mapping(site).position()
        if target.multiplicity() != pos.multiplicity():
            fail("%s: %s takes %s to %s of another multiplicity"
                 % (label, op, pos.letter(), target.letter()))
        # The stabiliser of the exact image must have the order of the
        # target's site symmetry: the float site symmetry saw it right.
        if len(stabiliser(group, image)) * target.multiplicity() \
                != group.order_z():
            fail("%s: %s, stabiliser of the image of %s"
                 % (label, op, pos.letter()))
        images.append(target.letter())
    letters = [table.position(i).letter() for i in range(table.size())]
    if sorted(images) != sorted(letters):
        fail("%s: %s does not permute the letters" % (label, op))
    return "".join(images)


def normalizer_xml(label, group, sgi, crystal_system, description):
    flags = sgtbx.search_symmetry_flags(use_space_group_symmetry=False,
                                        use_space_group_ltr=0,
                                        use_seminvariants=True,
                                        use_normalizer_k2l=True,
                                        use_normalizer_l2n=True)
    search = sgtbx.search_symmetry(
        flags=flags, space_group_type=sgi.type(),
        seminvariant=sgi.structure_seminvariants())
    sub = search.subgroup()
    cell = uctbx.unit_cell(family_cell(crystal_system, description))
    if not group.is_compatible_unit_cell(cell):
        fail("%s: cell %s does not suit the group" % (label, cell))
    table = sgi.wyckoff_table()
    identity = "".join(table.position(i).letter()
                       for i in range(table.size()))
    found = {}
    for i in range(sub.order_z()):
        op = sub(i)
        if not keeps_metric(op, cell):
            continue
        normalises(label, group, op)
        perm = letter_permutation(label, group, table, cell, op)
        if perm != identity and perm not in found:
            found[perm] = op.as_xyz()
    # The operations kept form a group, so must their permutations.
    index = {c: k for k, c in enumerate(identity)}
    perms = set(found) | {identity}
    for a in perms:
        for b in perms:
            if "".join(a[index[c]] for c in b) not in perms:
                fail("%s: letter permutations are not closed" % label)
    if not found:
        return ["      <Normalizer/>"]
    lines = ["      <Normalizer>"]
    for perm in sorted(found, key=lambda p: (found[p], p)):
        lines.append('        <Operation Coordinates="%s" Letters="%s"/>'
                     % (attr(found[perm], MAX_TEXT), attr(perm, MAX_TEXT)))
    lines.append("      </Normalizer>")
    return lines


# ---------------------------------------------------------------------------
# Output.

def attr(value, limit=MAX_ATTR):
    value = str(value)
    if len(value) > limit:
        fail("attribute %r longer than %d characters" % (value, limit))
    return (value.replace("&", "&amp;").replace("<", "&lt;")
            .replace(">", "&gt;").replace('"', "&quot;"))


def cell_choice_xml(number, setting, description, symbol, stats):
    hall = symbol.hall().strip()
    group = sgtbx.space_group(hall)
    sgi = sgtbx.space_group_info(group=group)
    if sgi.type().number() != number:
        fail("Hall symbol %r is not group %d" % (hall, number))
    centrings = centring_vectors(group)
    coset_ops = [rt_mx_rows(group(i)) for i in range(group.order_p())]

    # The Hermann-Mauguin symbol of this very setting (origin choice, unique
    # axis, cell choice, axes), which CIF readers build the group from.
    setting_symbol = symbol.universal_hermann_mauguin()
    if sgtbx.space_group(sgtbx.space_group_symbols(setting_symbol).hall()) != group:
        fail("symbol %r is not the setting %r" % (setting_symbol, hall))
    lines = ['    <CellChoice Setting="%d" Description="%s" SettingSymbol="%s">'
             % (setting, attr(description, MAX_TEXT), attr(setting_symbol))]
    lines.append("      <AsymmetricUnit>%s</AsymmetricUnit>"
                 % asymmetric_unit(sgi))
    lines.append("      <Origin>%s</Origin>" % attr("Hall: " + hall, MAX_TEXT))
    if len(centrings) == 1:
        translations = ""
    else:
        translations = write_checked([tuple((Fraction(0),) * 3 + (v,)
                                            for v in c) for c in centrings])
    lines.append('      <Positions Coordinates="%s">' % translations)

    table = sgi.wyckoff_table()
    previous = None
    for i in range(table.size()):
        pos = table.position(i)
        letter = pos.letter()
        # cctbx lists the general position first and then descends to 'a'
        # ('@' stands for alpha, the letter after z in Pmmm); keep that
        # order and prove it.
        rank = 26 if letter == "@" else ord(letter) - ord("a")
        if not 0 <= rank <= 26 or (previous is not None and rank >= previous):
            fail("group %d: Wyckoff letters out of order" % number)
        if i == 0 and pos.multiplicity() != group.order_z():
            fail("group %d: first position is not the general one" % number)
        previous = rank
        label = "group %d setting %d position %s" % (number, setting, letter)
        maps = orbit_triplets(pos, coset_ops, centrings)
        coords = write_checked(maps)
        check_position(label, group, pos, maps, centrings)
        lines.append('        <Position Multiplicity="%d" WyckoffLetter="%s" '
                     'SiteSymmetry="%s" Coordinates="%s"/>'
                     % (pos.multiplicity(), attr(letter, 1),
                        attr(pos.point_group_type()), coords))
        stats["positions"] += 1
    if table.position(table.size() - 1).letter() != "a":
        fail("group %d: last Wyckoff letter is not a" % number)
    lines.append("      </Positions>")
    lines.extend(normalizer_xml("group %d setting %d" % (number, setting),
                                group, sgi, str(group.crystal_system()),
                                description))
    lines.append("    </CellChoice>")
    stats["settings"] += 1
    return lines


def generate():
    by_number = {}
    for s in sgtbx.space_group_symbol_iterator():
        by_number.setdefault(s.number(), []).append(s)
    if sorted(by_number) != list(range(1, 231)):
        fail("cctbx symbol table does not cover 1..230")

    stats = {"groups": 0, "settings": 0, "positions": 0}
    lines = ['<?xml version="1.0" encoding="UTF-8"?>', "<SpaceGroups>"]
    for number in range(1, 231):
        settings = settings_of(number, by_number[number])
        std = settings[0][2]
        group = sgtbx.space_group(std.hall())
        sgi = sgtbx.space_group_info(group=group)
        crystal_system = str(group.crystal_system())
        if crystal_system not in CRYSTAL_SYSTEMS:
            fail("group %d: unknown crystal system %r" % (number,
                                                        crystal_system))
        hm = std.hermann_mauguin()
        lines.append(
            '  <SG SGNumber="%d" ShortSymbol="%s" SchoenfliesSymbol="%s" '
            'PointGroup="%s" CrystalSystem="%s" FullSymbol="%s" '
            'ParttersonSymmetry="%s">'
            % (number,
               attr(short_symbol(hm, crystal_system)),
               attr(std.schoenflies()),
               attr(group.point_group_type()),
               attr(crystal_system),
               attr(full_symbol(number, hm, group, crystal_system,
                                centring_vectors(group))),
               attr(group.laue_group_type())))
        for setting, description, symbol in settings:
            lines.extend(cell_choice_xml(number, setting, description,
                                         symbol, stats))
        lines.append("  </SG>")
        stats["groups"] += 1
    lines.append("</SpaceGroups>")
    return "\n".join(lines) + "\n", stats


def main(argv):
    output = argv[1] if len(argv) > 1 else DEFAULT_OUTPUT
    text, stats = generate()
    data = text.encode("ascii")
    with open(output, "wb") as f:
        f.write(data)
    print("%s: %d groups, %d settings, %d positions, %d bytes"
          % (output, stats["groups"], stats["settings"], stats["positions"],
             len(data)))


if __name__ == "__main__":
    main(sys.argv)
