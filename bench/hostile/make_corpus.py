#!/usr/bin/env python3
"""Writes a corpus of hostile .ipa packages into a folder.

    make_corpus.py OUTDIR CANARY

CANARY is a folder outside every work folder: the packages aim at it.
Each package holds a plausible application beside its hostile part.
"""
import os
import struct
import sys
import zlib

out, canary = sys.argv[1], os.path.abspath(sys.argv[2])
os.makedirs(out, exist_ok=True)

INFO = (b'<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict>'
        b'<key>CFBundleIdentifier</key><string>com.example.demo</string>'
        b'<key>CFBundleDisplayName</key><string>Demo</string></dict></plist>\n')
FILE, LINK, DIR = 0o100644, 0o120777, 0o040755


def deflate(data):
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush()


class Zip:
    """Entries exactly as given: names, modes, methods and declared sizes."""

    def __init__(self):
        self.body = bytearray()
        self.entries = []

    def add(self, name, data=b'', mode=FILE, method=0, declared=None, flags=0, packed=None, local_name=None):
        name = name.encode() if isinstance(name, str) else name
        packed = packed if packed is not None else (deflate(data) if method == 8 else data)
        size = len(data) if declared is None else declared
        crc = zlib.crc32(data)
        offset = len(self.body)
        lname = name if local_name is None else local_name
        self.body += struct.pack('<IHHHHHIIIHH', 0x04034b50, 20, flags, method, 0, 0x21, crc,
                                 len(packed), min(size, 0xFFFFFFFF), len(lname), 0) + lname + packed
        self.entries.append((name, mode, method, flags, crc, len(packed), size, offset))
        return offset

    def alias(self, name, offset, size, crc, packed_len, method=8):
        """A directory entry pointing at data another entry already uses."""
        self.entries.append((name.encode(), FILE, method, 0, crc, packed_len, size, offset))

    def app(self):
        self.add('Payload/Demo.app/Info.plist', INFO)
        self.add('Payload/Demo.app/Demo', b'\xcf\xfa\xed\xfe' + b'\0' * 4096, 0o100755, 8)
        return self

    def write(self, path):
        central = bytearray()
        for name, mode, method, flags, crc, packed, size, offset in self.entries:
            extra = b''
            if size >= 0xFFFFFFFF:
                extra = struct.pack('<HHQ', 1, 8, size)
            central += struct.pack('<IHHHHHHIIIHHHHHII', 0x02014b50, 0x031E, 45 if extra else 20, flags, method,
                                   0, 0x21, crc, packed, min(size, 0xFFFFFFFF), len(name), len(extra), 0, 0, 0,
                                   mode << 16, offset) + name + extra
        data = bytes(self.body) + bytes(central) + struct.pack(
            '<IHHHHIIH', 0x06054b50, 0, 0, len(self.entries), len(self.entries), len(central), len(self.body), 0)
        with open(os.path.join(out, path), 'wb') as f:
            f.write(data)


def chain_to(target_abs):
    """A link target that reads as staying inside but, through Payload/d -> ., reaches target_abs."""
    return 'd/' * 24 + '../' * 25 + target_abs.lstrip('/')


corpus = {}


def case(name):
    def register(build):
        corpus[name] = build
        return build
    return register


@case('dotdot-name')
def _(z): z.add('Payload/../../../escape-dotdot', b'x')
@case('dotdot-inside-name')
def _(z): z.add('Payload/Demo.app/../../../../escape', b'x')
@case('absolute-name')
def _(z): z.add(canary + '/escape-absolute', b'x')
@case('backslash-dotdot-name')
def _(z): z.add('Payload\\..\\..\\escape-backslash', b'x')
@case('nul-in-name')
def _(z): z.add(b'Payload/Demo.app/a\0/../../../escape', b'x')
@case('absolute-link-to-canary')
def _(z): z.add('Payload/Evil.app', canary.encode(), LINK)
@case('link-to-root')
def _(z): z.add('Payload/Demo.app/Frameworks', b'/', LINK)
@case('link-climbing-out')
def _(z): z.add('Payload/Demo.app/Frameworks', b'../../../../../../../../' + canary.lstrip('/').encode(), LINK)
@case('deflated-link-climbing-out')
def _(z): z.add('Payload/Demo.app/PlugIns', b'../../../../../../../..' + canary.encode(), LINK, 8)
@case('write-through-link')
def _(z):
    z.add('Payload/link', canary.encode(), LINK)
    z.add('Payload/link/escape-through-link', b'x')
@case('chain-app-outside')
def _(z):
    z.add('Payload/d', b'.', LINK)
    z.add('Payload/AAA.app', chain_to(canary + '/App.app').encode(), LINK)
@case('chain-link-to-root')
def _(z):
    z.add('Payload/d', b'.', LINK)
    z.add('Payload/Demo.app/Frameworks', ('../' + 'd/' * 24 + '../' * 25).encode(), LINK)
@case('chain-info-plist-outside')
def _(z):
    z.entries.clear(); z.body.clear()
    z.add('Payload/d', b'.', LINK)
    z.add('Payload/Demo.app/Info.plist', ('../' + chain_to(canary + '/Info.plist')).encode(), LINK)
    z.add('Payload/Demo.app/Demo', b'\xcf\xfa\xed\xfe' + b'\0' * 64, 0o100755)
@case('chain-dangling-signature-outside')
def _(z):
    z.add('Payload/d', b'.', LINK)
    z.add('Payload/Demo.app/_CodeSignature', ('../' + chain_to(canary + '/not-yet/sig')).encode(), LINK)
@case('chain-profile-outside')
def _(z):
    z.add('Payload/d', b'.', LINK)
    z.add('Payload/Demo.app/embedded.mobileprovision', ('../' + chain_to(canary + '/profile')).encode(), LINK)
@case('link-loop')
def _(z):
    z.add('Payload/Demo.app/a', b'b', LINK)
    z.add('Payload/Demo.app/b', b'a', LINK)
@case('declared-2GiB')
def _(z): z.add('Payload/Demo.app/Big', b'x', FILE, 0, declared=2 << 30)
@case('declared-1EiB-zip64')
def _(z): z.add('Payload/Demo.app/Big', b'x', FILE, 0, declared=1 << 60)
@case('lying-size-50MB')
def _(z): z.add('Payload/Demo.app/Lie', b'\0' * (50 << 20), FILE, 8, declared=10)
@case('zero-bomb-1.1GB')
def _(z):
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    chunk, total, packed, crc = b'\0' * (16 << 20), 0, bytearray(), 0
    while total < 1100 << 20:
        packed += c.compress(chunk)
        crc = zlib.crc32(chunk, crc)
        total += len(chunk)
    packed += c.flush()
    offset = len(z.body)
    z.body += struct.pack('<IHHHHHIIIHH', 0x04034b50, 20, 0, 8, 0, 0x21, crc, len(packed), total, 11, 0)
    z.body += b'Payload/big' + packed
    z.entries.append((b'Payload/big', FILE, 8, 0, crc, len(packed), total, offset))
@case('overlapping-entries')
def _(z):
    data = b'\0' * (4 << 20)
    packed = deflate(data)
    off = z.add('Payload/Demo.app/o0', data, FILE, 8)
    for i in range(1, 400):
        z.alias('Payload/Demo.app/o%d' % i, off, len(data), zlib.crc32(data), len(packed))
@case('local-name-differs')
def _(z): z.add('Payload/Demo.app/ok', b'x', local_name=b'../../escape-local')
@case('encrypted-entry')
def _(z): z.add('Payload/Demo.app/Secret', b'x' * 64, FILE, 0, flags=1)
@case('bzip2-entry')
def _(z): z.add('Payload/Demo.app/B', b'x', FILE, 12, packed=b'BZh9garbage')
@case('truncated-deflate')
def _(z): z.add('Payload/Demo.app/T', b'y' * 100000, FILE, 8, packed=deflate(b'y' * 100000)[:40])


for name, build in corpus.items():
    z = Zip().app()
    build(z)
    z.write(name + '.ipa')

with open(os.path.join(out, 'garbage.ipa'), 'wb') as f:
    f.write(os.urandom(4096))
with open(os.path.join(out, 'truncated-directory.ipa'), 'wb') as f:
    z = Zip().app()
    z.write('tmp-full.ipa')
    full = open(os.path.join(out, 'tmp-full.ipa'), 'rb').read()
    os.remove(os.path.join(out, 'tmp-full.ipa'))
    f.write(full[:-30] + full[-22:])  # the end record points into missing bytes
