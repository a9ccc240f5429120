#!/usr/bin/python3
"""peer-wof.py IMAGE: what libfsntfs reads of the files of wof.img (make-compressed.sh):
for each, its record, the MD5 of its streams as Windows presents them (read() decompresses
the unnamed stream of a WOF file; WofCompressedData left out) or "-" under /Elsewhere, its path."""
import hashlib, sys, pyfsntfs
v = pyfsntfs.volume()
v.open(sys.argv[1])
rows = []
for d in ('Wof', 'Elsewhere'):
    for e in v.get_file_entry_by_path('\\' + d).sub_file_entries:
        n = e.file_reference & 0xFFFFFFFFFFFF
        if d == 'Wof':
            h = hashlib.md5(e.read())
            for s in e.alternate_data_streams:
                if s.name != 'WofCompressedData':
                    h.update(s.read())
            rows.append((n, h.hexdigest(), d + '/' + e.name))
        else:
            rows.append((n, '-', d + '/' + e.name))
for r in sorted(rows):
    print('%d\t%s\t%s' % r)
