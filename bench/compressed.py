#!/usr/bin/python3
"""compressed.py: the files and units of bench/compressed.sh.

  compressed.py gen DIR N SEED     N files of text with some random bytes and
                                   runs of zeros, 0 to 256 KiB, into DIR
  compressed.py lznt1 IMG OUT      the LZNT1 units of every NTFS-compressed
                                   file of IMG (istat's cluster lists) into OUT
  compressed.py wof OUT ALG SIZE STREAM [ALG SIZE STREAM]...
                                   the chunks of each WofCompressedData STREAM
                                   of a file of SIZE bytes into OUT

OUT holds, for each unit that is decoded: codec (0 LZNT1, 1 XPRESS, 2 LZX),
stored length, decoded length (32-bit little-endian), the stored bytes."""
import os
import random
import re
import struct
import subprocess
import sys

WORDS = ('the of and to in is that for it as with was on be by this are from at or an '
         'volume record stream cluster index file attribute security digest report path '
         'windows system registry value key user data time name size link').split()


def gen(out, n, seed):
    rnd = random.Random(seed)
    os.makedirs(out, exist_ok=True)
    for i in range(n):
        size = rnd.randint(0, 256 * 1024)
        parts, have = [], 0
        while have < size:
            kind = rnd.random()
            if kind < 0.75:
                piece = ' '.join(rnd.choice(WORDS) for _ in range(rnd.randint(20, 400))).encode() + b'\n'
            elif kind < 0.9:
                piece = rnd.randbytes(rnd.randint(100, 8000))
            else:
                piece = bytes(rnd.randint(1000, 70000))
            parts.append(piece)
            have += len(piece)
        with open(os.path.join(out, 'f%05d.bin' % i), 'wb') as f:
            f.write(b''.join(parts)[:size])


def unit(codec, stored, length):
    return struct.pack('<III', codec, len(stored), length) + stored


def lznt1(img, out):
    cluster = int(re.search(r'Cluster Size: (\d+)',
                            subprocess.run(['fsstat', img], capture_output=True, text=True).stdout).group(1))
    listing = subprocess.run(['fls', '-r', '-u', img], capture_output=True, text=True).stdout
    records = sorted({int(m) for m in re.findall(r'^\+* *r/r (\d+)-128-', listing, re.M)})
    units = 0
    with open(img, 'rb') as vol, open(out, 'wb') as f:
        for record in records:
            text = subprocess.run(['istat', img, str(record)], capture_output=True, text=True).stdout
            m = re.search(r'Type: \$DATA \(128-\d+\)\s+Name: N/A\s+Non-Resident, Compressed\s+'
                          r'size: (\d+)[^\n]*\n((?:[0-9 ]+\n)+)', text)
            if m is None:
                continue
            clusters = [int(c) for c in m.group(2).split()]
            for at in range(0, len(clusters), 16):
                lcns = clusters[at:at + 16]
                stored = [c for c in lcns if c != 0]
                if len(lcns) < 16 or not stored or len(stored) == 16:
                    continue  # stored whole or all zeros: nothing to decode
                data = b''
                for c in stored:
                    vol.seek(c * cluster)
                    data += vol.read(cluster)
                # Decoded into a whole unit, as volscan does: the unit's
                # last bytes may be past the end of the file.
                f.write(unit(0, data, 16 * cluster))
                units += 1
    print('lznt1: %d units from %d files' % (units, len(records)))


def wof(out, args):
    chunks = 0
    with open(out, 'wb') as f:
        for alg, size, path in zip(args[0::3], args[1::3], args[2::3]):
            alg, size = int(alg), int(size)
            step = {0: 4096, 1: 32768, 2: 8192, 3: 16384}[alg]
            data = open(path, 'rb').read()
            count = (size + step - 1) // step
            table = 4 * (count - 1)
            ends = [struct.unpack_from('<I', data, 4 * i)[0] for i in range(count - 1)]
            start = 0
            for i, end in enumerate(ends + [len(data) - table]):
                length = min(step, size - i * step)
                if end - start < length:
                    f.write(unit(2 if alg == 1 else 1, data[table + start:table + end], length))
                    chunks += 1
                start = end
    print('wof: %d chunks' % chunks)


if sys.argv[1] == 'gen':
    gen(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
elif sys.argv[1] == 'lznt1':
    lznt1(sys.argv[2], sys.argv[3])
else:
    wof(sys.argv[2], sys.argv[3:])
