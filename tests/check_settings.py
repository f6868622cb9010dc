#!/usr/bin/python3
"""Reads CIF files written by Pulvina with gemmi and checks that the space
group gemmi builds from the file's Hermann-Mauguin name has exactly the
operators of the file's _symmetry_equiv_pos_as_xyz loop.

Prints one line per file: "ok PATH" or "bad PATH NAME: REASON".
Run with Debian's /usr/bin/python3 (python3-gemmi)."""

import sys

import gemmi


def check(path):
    block = gemmi.cif.read_file(path).sole_block()
    written = {gemmi.Op(t.strip("'")).wrap().triplet()
               for t in block.find_loop('_symmetry_equiv_pos_as_xyz')}
    small = gemmi.read_small_structure(path)
    sg = small.find_spacegroup()
    if sg is None:
        return 'bad %s %s: gemmi knows no such group' % (path, small.spacegroup_hm)
    built = {op.wrap().triplet() for op in sg.operations()}
    if built != written:
        return 'bad %s %s: %d operators from the name, %d in the file' % (
            path, small.spacegroup_hm, len(built), len(written))
    return 'ok %s' % path


if __name__ == '__main__':
    for p in sys.argv[1:]:
        print(check(p))
