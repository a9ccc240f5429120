#!/usr/bin/env python3
"""make-shadow-seed.py VSSTEST.RAW OUT: the seed of the shadow fuzz target.

Takes the newest store of vsstest (../shared/images/vsstest.qcow2 converted
to raw) and moves its volume header, catalog and store blocks into the
first 128 KiB of a volume, with the offsets that point at them changed to
match and four block descriptors kept, so that a fuzz input short enough to
mutate still opens as a volume with one shadow copy."""
import struct
import sys

CATALOG, STORE = 0x6e30000, 0x6e40000      # in vsstest
NEW_CATALOG, NEW_STORE = 0x4000, 0xC000
BLOCKS = {0x0000: 'header', 0x4000: 'block list', 0x8000: 'range list', 0x10000: 'bitmap'}

src = open(sys.argv[1], 'rb')
def read(at, n):
    src.seek(at)
    return bytearray(src.read(n))

out = bytearray(0x20000)
header = read(0x1e00, 512)
struct.pack_into('<Q', header, 0x30, NEW_CATALOG)
out[0x1e00:0x2000] = header

catalog = read(CATALOG, 0x4000)
struct.pack_into('<QQ', catalog, 0x20, NEW_CATALOG, 0)
newest = catalog[128 * 3 + 16:128 * 3 + 32]     # entries 3 and 4: the second store
entries = bytearray(0x4000 - 128)
kept = 0
for k in range(1, 128):
    e = catalog[128 * k:128 * k + 128]
    kind = struct.unpack_from('<Q', e, 0)[0]
    if kind in (2, 3) and e[16:32] == newest:
        if kind == 3:
            for at in (8, 32, 40, 48):
                old = struct.unpack_from('<Q', e, at)[0]
                struct.pack_into('<Q', e, at, NEW_STORE + old - STORE)
        entries[128 * kept:128 * kept + 128] = e
        kept += 1
catalog[128:] = entries
out[NEW_CATALOG:NEW_CATALOG + 0x4000] = catalog

for rel in BLOCKS:
    block = read(STORE + rel, 0x4000)
    struct.pack_into('<QQQ', block, 0x18, rel, NEW_STORE + rel, 0)
    if BLOCKS[rel] == 'block list':
        for d in range(4, (0x4000 - 128) // 32):
            block[128 + 32 * d:160 + 32 * d] = bytes(32)
        for d in range(4):
            struct.pack_into('<Q', block, 128 + 32 * d + 16, NEW_STORE + 0x14000 + 0x1000 * d)
    out[NEW_STORE + rel:NEW_STORE + rel + 0x4000] = block
open(sys.argv[2], 'wb').write(out)
