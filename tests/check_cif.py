#!/usr/bin/python3
# SPDX-License-Identifier: BSD-3-Clause
"""Reads CIF files written by Pulvina with gemmi (Debian's python3-gemmi).
Prints per file "ok PATH" when the space group of the file's Hermann-Mauguin
name has exactly the operators of its _symmetry_equiv_pos_as_xyz loop, then
"site PATH TYPE X Y Z" per atom of the cell that group makes of the sites
(in [0, 1), four decimals); else "bad PATH NAME: REASON"."""

import sys

import gemmi


def check(path):
    block = gemmi.cif.read_file(path).sole_block()
    written = {gemmi.Op(t.strip("'")).wrap().triplet()
               for t in block.find_loop('_symmetry_equiv_pos_as_xyz')}
    small = gemmi.read_small_structure(path)
    sg = small.find_spacegroup()
    if sg is None:
        return ['bad %s %s: gemmi knows no such group' % (path, small.spacegroup_hm)]
    built = {op.wrap().triplet() for op in sg.operations()}
    if built != written:
        return ['bad %s %s: %d operators from the name, %d in the file' % (
            path, small.spacegroup_hm, len(built), len(written))]
    sites = {'site %s %s %s' % (path, s.type_symbol, ' '.join(
        '%.4f' % (round(v % 1.0, 4) % 1.0) for v in (s.fract.x, s.fract.y, s.fract.z)))
        for s in small.get_all_unit_cell_sites()}
    return ['ok %s' % path] + sorted(sites)


if __name__ == '__main__':
    for p in sys.argv[1:]:
        print('\n'.join(check(p)))
