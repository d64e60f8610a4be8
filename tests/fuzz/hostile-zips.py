#!/usr/bin/env python3
"""Writes hostile zip archives into the folder named by the first argument:
the kinds the zip tests build (names that climb out, absolute and drive names,
links and entries through them, entries into the link the fuzzer plants,
damaged data, methods the reader lacks) as seeds for the zip fuzzer."""
import os
import struct
import sys
import zipfile

out = sys.argv[1]
os.makedirs(out, exist_ok=True)


def link(name, target):
    info = zipfile.ZipInfo(name)
    info.create_system = 3
    info.external_attr = 0o120777 << 16
    return info, target


def write(name, entries, method=zipfile.ZIP_DEFLATED):
    path = os.path.join(out, name)
    with zipfile.ZipFile(path, 'w', compression=method) as zf:
        for entry in entries:
            zf.writestr(*entry)
    return path


write('hostile-names.zip', [
    ('../evil1.txt', 'e1'), ('a/../../evil2.txt', 'e2'), ('/abs/evil3.txt', 'e3'),
    ('..\\..\\evil4.txt', 'e4'), ('C:\\x\\y.txt', 'e5'), ('./dot/./name.txt', 'e6'),
    ('good.txt', 'good')])
write('hostile-links.zip', [
    link('link', '..'), ('link/outside.txt', 'through a link'),
    link('abslink', '/tmp'), ('abslink/evil.txt', 'e'), ('good.txt', 'good')])
write('into-planted.zip', [
    ('planted/new.txt', 'through the planted link'), ('planted/', ''),
    ('planted/deeper/new.txt', 'deeper')], zipfile.ZIP_STORED)
write('file-then-folder.zip', [('same', 'a file'), ('same/', ''), ('same/inner.txt', 'x'),
                               ('dir/', ''), ('dir', 'a file where a folder is')])
write('duplicates.zip', [('twice.txt', 'first'), ('twice.txt', 'second'), ('TWICE.txt', 'third')])

# Stored data whose CRC is wrong, and a deflated entry whose stream is damaged.
path = write('bad-crc.zip', [('payload.bin', bytes(range(256)) * 8)], zipfile.ZIP_STORED)
raw = bytearray(open(path, 'rb').read())
raw[60] ^= 0xFF
open(path, 'wb').write(bytes(raw))
path = write('bad-deflate.zip', [('text.txt', 'deflate me ' * 200)])
raw = bytearray(open(path, 'rb').read())
raw[45] ^= 0x55
open(path, 'wb').write(bytes(raw))

for method, name in ((zipfile.ZIP_BZIP2, 'bzip2.zip'), (zipfile.ZIP_LZMA, 'lzma.zip')):
    write(name, [('packed.txt', 'compressed otherwise ' * 50)], method)

# A central directory that claims more data than the archive holds.
path = write('sizes-lie.zip', [('short.txt', 'short')], zipfile.ZIP_STORED)
raw = bytearray(open(path, 'rb').read())
central = raw.rfind(b'PK\x01\x02')
struct.pack_into('<II', raw, central + 20, 0x7FFFFFF0, 0x7FFFFFF0)
open(path, 'wb').write(bytes(raw))
