#!/usr/bin/python3
"""Reads a CIF file written by Pulvina with gemmi and prints the atoms of the
unit cell twice: once expanded with the file's own _symmetry_equiv_pos_as_xyz
operators, once with gemmi's space group from the H-M symbol.

Output lines: "ops N", then "op X Y Z TYPE" per distinct site from the
operator list, then "hm X Y Z TYPE" per site from get_all_unit_cell_sites.
Run with Debian's /usr/bin/python3 (python3-gemmi)."""

import sys

import gemmi


def distinct(points):
    kept = []
    for p in points:
        if not any(p[3] == q[3] and all(min(abs(a - b), 1 - abs(a - b)) < 1e-5
                                        for a, b in zip(p[:3], q[:3])) for q in kept):
            kept.append(p)
    return kept


def main(path):
    block = gemmi.cif.read_file(path).sole_block()
    ops = [gemmi.Op(t.strip("'")) for t in block.find_loop('_symmetry_equiv_pos_as_xyz')]
    small = gemmi.read_small_structure(path)
    print('ops', len(ops))
    expanded = []
    for site in small.sites:
        for op in ops:
            x, y, z = op.apply_to_xyz([site.fract.x, site.fract.y, site.fract.z])
            expanded.append((x % 1.0, y % 1.0, z % 1.0, site.type_symbol))
    for p in distinct(expanded):
        print('op %.6f %.6f %.6f %s' % p)
    for site in small.get_all_unit_cell_sites():
        print('hm %.6f %.6f %.6f %s' % (site.fract.x % 1.0, site.fract.y % 1.0,
                                        site.fract.z % 1.0, site.type_symbol))


if __name__ == '__main__':
    main(sys.argv[1])
