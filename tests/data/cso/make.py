#!/usr/bin/env python3
"""Writes the damaged CSO corpus of this folder and its MANIFEST.

    python3 tests/data/cso/make.py path/to/vellicor

The base file is what the converter writes for a small mixed image; every other file is
that file cut at a structural boundary or a hand-made hostile variant. MANIFEST gives,
for each file and decoder, the exit status, the bytes the output must hold and the
engine's exact last line (before the time line).
"""
import os
import random
import struct
import subprocess
import sys
import tempfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
PLAIN, OFFSET = 0x80000000, 0x7FFFFFFF


def image():
    """Seven blocks: text, random (stored plain), zeros, text, random, text, zeros."""
    rnd = random.Random(6)
    text = lambda i: (b'record %d of the sample tree\n' % i) * 80
    blocks = [text(1), bytes(rnd.randrange(256) for _ in range(2048)), bytes(2048), text(4),
              bytes(rnd.randrange(256) for _ in range(2048)), text(6), bytes(2048)]
    return b''.join(b[:2048].ljust(2048, b'.') for b in blocks)


def header(total, bs=2048, align=0, magic=b'CISO', header_size=0):
    return magic + struct.pack('<IQIBB2s', header_size, total, bs, 1, align, b'\0\0')


def raw(data):
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush()


def cut_verdict(cso, size):
    """Status, output bytes and last line for the base file cut to `size` bytes."""
    n = struct.unpack_from('<I', cso, 8)[0] // 2048
    index = struct.unpack_from('<%dI' % (n + 1), cso, 24)
    if size < 24 + 4 * (n + 1):
        return 1, 0, 'file read error'
    for b in range(n):
        start = index[b] & OFFSET
        end = start + 2048 if index[b] & PLAIN else index[b + 1] & OFFSET
        if end > size:
            return 1, b * 2048, 'block=%d : read error' % b
    return 0, n * 2048, 'ciso decompress completed'


def main(exe):
    img = image()
    with tempfile.TemporaryDirectory() as tmp:
        open(os.path.join(tmp, 'in.iso'), 'wb').write(img)
        subprocess.run([exe, '-com', os.path.join(tmp, 'in.iso'), os.path.join(tmp, 'o.cso')],
                       check=True, stdout=subprocess.DEVNULL)
        base = open(os.path.join(tmp, 'o.cso'), 'rb').read()
    n = 7
    index = struct.unpack_from('<8I', base, 24)
    files, manifest = {}, []

    def both(name, data, status, out, line, opt=None):
        files[name] = data
        manifest.append((name, 'dec', status, out, line))
        manifest.append((name, 'dec-opt') + (opt or (status, out, line)))

    both('valid.cso', base, 0, n * 2048, 'ciso decompress completed')
    cuts = {'cut-header-0': 0, 'cut-header-1': 1, 'cut-header-23': 23, 'cut-index-0': 24,
            'cut-index-mid': 40, 'cut-index-last-byte': 24 + 4 * (n + 1) - 1}
    for b in range(n):
        start, end = index[b] & OFFSET, index[b + 1] & OFFSET
        cuts['cut-payload-%d-start' % b] = start
        cuts['cut-payload-%d-mid' % b] = (start + end) // 2
        cuts['cut-payload-%d-last-byte' % b] = end - 1
    for name, size in cuts.items():
        both(name + '.cso', base[:size], *cut_verdict(base, size))

    blk = img[:2048]
    p = raw(blk)
    both('bad-magic.cso', b'CISX' + base[4:], 1, 0, 'ciso file format error')
    both('block-size-0.cso', base[:16] + b'\0\0\0\0' + base[20:], 1, 0, 'ciso file format error')
    # Low half of the size 0, high half 1: a 4 GiB image, whose index is not in the file.
    both('total-0.cso', base[:8] + b'\0' * 4 + b'\x01\0\0\0' + base[16:], 1, 0, 'file read error')
    both('block-size-over-1mib.cso', header(4 << 20, bs=(1 << 20) + 1) + struct.pack('<5I', *[44] * 5),
         1, 0, 'ciso file format error')
    both('index-align-31.cso', base[:21] + b'\x1f' + base[22:], 1, 0, 'ciso file format error')
    both('header-size-24.cso', base[:4] + b'\x18\0\0\0' + base[8:], 0, n * 2048, 'ciso decompress completed')
    both('version-9.cso', base[:20] + b'\x09' + base[21:], 1, 0, 'Unsupported CSO version: 9')
    both('claims-2gb-image.cso', header(2000000000) + struct.pack('<I', 28), 1, 0, 'file read error')
    both('decreasing-entries.cso', header(4096) + struct.pack('<3I', 36, 20, 60) + b'\0' * 40,
         1, 0, 'block=0 : read error')
    both('stored-length-over-buffer.cso', header(2048) + struct.pack('<2I', 32, 32 + 5000) + b'\0' * 5000,
         1, 0, 'block=0 : read error')
    both('plain-block-past-end.cso', header(2048) + struct.pack('<2I', PLAIN | 32, 32 + 2048) + blk[:100],
         1, 0, 'block=0 : read error')
    both('garbage-payload.cso', header(2048) + struct.pack('<2I', 32, 48) + b'\xff' * 16,
         1, 0, 'block 0:inflate : invalid block type[-3]')
    short = raw(blk[:2040])
    both('stream-ends-early.cso', header(2048) + struct.pack('<2I', 32, 32 + len(short)) + short,
         1, 0, 'block 0 : block size error 2040 != 2048')
    # Readable by the seeking decoder only: a gap before the payload, an index alignment,
    # a block size other than 2048.
    both('payload-after-gap.cso', header(2048) + struct.pack('<2I', 40, 40 + len(p)) + b'\0' * 8 + p,
         0, 2048, 'ciso decompress completed', (1, 0, 'block=0 : read error'))
    body = p + b'\0' * (-len(p) % 4)
    both('index-align-2.cso', header(2048, align=2) + struct.pack('<2I', 8, (32 + len(body)) >> 2) + body,
         0, 2048, 'ciso decompress completed', (1, 0, 'ciso file format error'))
    p4 = raw(img[:4096])
    both('block-size-4096.cso', header(4096, bs=4096) + struct.pack('<2I', 32, 32 + len(p4)) + p4,
         0, 4096, 'ciso decompress completed', (1, 0, 'ciso file format error'))

    for name, data in files.items():
        open(os.path.join(HERE, name), 'wb').write(data)
    with open(os.path.join(HERE, 'MANIFEST'), 'w') as m:
        m.write('# file|decoder|status|output bytes|last line before the time line\n')
        m.write('# written by make.py; dec = -dec, dec-opt = -dec -opt\n')
        for row in manifest:
            m.write('|'.join(str(x) for x in row) + '\n')


if __name__ == '__main__':
    main(sys.argv[1])
