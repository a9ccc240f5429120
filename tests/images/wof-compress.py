#!/usr/bin/python3
"""wof-compress.py ALGORITHM IN OUT [IN OUT]...: the WofCompressedData stream
of each IN's bytes as Windows lays it out (a table of the chunks' end offsets, 4-byte
entries, then the chunks, each stored as it is when wimlib's compressor makes
it no shorter), made with wimlib's own compressors.  ALGORITHM: 0 XPRESS4K,
1 LZX, 2 XPRESS8K, 3 XPRESS16K.  Prints the reparse data for setfattr, once
for each pair."""
import ctypes
import struct
import sys

alg = int(sys.argv[1])
chunk = {0: 4096, 1: 32768, 2: 8192, 3: 16384}[alg]
ctype = 2 if alg == 1 else 1  # WIMLIB_COMPRESSION_TYPE_LZX, _XPRESS
wim = ctypes.CDLL('libwim.so.15')
wim.wimlib_compress.restype = ctypes.c_size_t
wim.wimlib_compress.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p,
                                ctypes.c_size_t, ctypes.c_void_p]
comp = ctypes.c_void_p()
assert wim.wimlib_create_compressor(ctype, ctypes.c_size_t(chunk), 0, ctypes.byref(comp)) == 0
for src, dst in zip(sys.argv[2::2], sys.argv[3::2]):
    data = open(src, 'rb').read()
    chunks = []
    for at in range(0, len(data), chunk):
        piece = data[at:at + chunk]
        out = ctypes.create_string_buffer(len(piece))
        n = wim.wimlib_compress(piece, len(piece), out, len(piece) - 1, comp)
        chunks.append(out.raw[:n] if n else piece)
    ends, total = [], 0
    for c in chunks[:-1]:
        total += len(c)
        ends.append(total)
    with open(dst, 'wb') as f:
        f.write(b''.join(struct.pack('<I', e) for e in ends) + b''.join(chunks))
    print('0x' + struct.pack('<IHHIIII', 0x80000017, 16, 0, 1, 2, 1, alg).hex())
