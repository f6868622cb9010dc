#!/bin/sh
# SPDX-License-Identifier: BSD-3-Clause
# Regenerate data/sgt.xml, data/asft.dat and data/nslt.dat into a scratch
# folder and compare them byte for byte with the committed files, so that a
# hand edit of a data file, or a generator change without regenerating, is
# caught.  The generator itself checks what it writes (orbits, and each
# normalizer operation's action on the group and on the Wyckoff letters), so
# a cctbx that disagrees makes it fail here.  Needs Debian's /usr/bin/python3
# with python3-cctbx and python3-periodictable.  Exit status 0 only when all three are identical.

set -u

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
python=/usr/bin/python3

tmp=$(mktemp -d) || exit 2
trap 'rm -rf "$tmp"' EXIT INT TERM

if ! "$python" "$here/gen_sgt.py" "$tmp/sgt.xml" >/dev/null; then
    echo "check_data: gen_sgt.py failed" >&2
    exit 2
fi
if ! "$python" "$here/gen_scattering.py" "$tmp/asft.dat" "$tmp/nslt.dat" \
        >/dev/null; then
    echo "check_data: gen_scattering.py failed" >&2
    exit 2
fi

status=0
for f in sgt.xml asft.dat nslt.dat; do
    if [ ! -f "$root/data/$f" ]; then
        echo "check_data: data/$f is missing" >&2
        status=1
    elif ! cmp -s "$tmp/$f" "$root/data/$f"; then
        echo "check_data: data/$f differs from what its generator writes" \
             "(rerun the generator and commit the result)" >&2
        cmp "$tmp/$f" "$root/data/$f" >&2
        status=1
    fi
done
[ $status -eq 0 ] && echo "check_data: sgt.xml, asft.dat and nslt.dat are up to date"
exit $status
