"""A small reader of PE files, for the release test: the machine, the version record, whether the
file carries a signature (its certificate table), and the PE files embedded in a program (the
installer helpers of the embedded file table), cut out whole, signature included.

Written from the PE and version-resource formats; it reads only what the test needs and raises
PeError on anything it cannot follow.
"""

import struct

MACHINES = {0x14C: "i686", 0x8664: "x86_64"}
RT_VERSION = 16
CERTIFICATE_TABLE = 4
RESOURCE_TABLE = 2
FIXED_SIGNATURE = 0xFEEF04BD


class PeError(Exception):
    pass


class Image:
    def __init__(self, data, start=0):
        """The PE file that starts at `start` in data."""
        self.data = data
        self.start = start
        if data[start:start + 2] != b"MZ" or len(data) < start + 0x40:
            raise PeError("no MZ header")
        (pe,) = struct.unpack_from("<I", data, start + 0x3C)
        self.pe = start + pe
        if pe < 0x40 or pe > 0x1000 or data[self.pe:self.pe + 4] != b"PE\0\0":
            raise PeError("no PE header")
        machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data,
                                                                           self.pe + 4)
        if machine not in MACHINES:
            raise PeError(f"machine 0x{machine:X}")
        self.machine = MACHINES[machine]
        optional = self.pe + 24
        (magic,) = struct.unpack_from("<H", data, optional)
        if magic not in (0x10B, 0x20B):
            raise PeError(f"optional header magic 0x{magic:X}")
        directories = optional + (96 if magic == 0x10B else 112)
        (count,) = struct.unpack_from("<I", data, directories - 4)
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i)
                            for i in range(min(count, 16))]
        self.sections = []  # (virtual address, virtual size, raw offset, raw size)
        table = optional + optional_size
        for i in range(sections):
            vsize, vaddr, rsize, roffset = struct.unpack_from("<IIII", data, table + 40 * i + 8)
            self.sections.append((vaddr, vsize, roffset, rsize))

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def size(self):
        """The file's length: its last section's raw data or its certificate table, whichever
        ends later (the certificate table is the last thing in a signed file)."""
        end = max(roffset + rsize for _, _, roffset, rsize in self.sections)
        offset, size = self.directory(CERTIFICATE_TABLE)
        if size:
            end = max(end, offset + size)  # a file offset, not an address
        return end

    def bytes(self):
        return self.data[self.start:self.start + self.size()]

    def signed(self):
        return self.directory(CERTIFICATE_TABLE)[1] != 0

    def offset_of(self, rva):
        for vaddr, vsize, roffset, rsize in self.sections:
            if vaddr <= rva < vaddr + max(vsize, rsize):
                return self.start + roffset + rva - vaddr
        raise PeError(f"address 0x{rva:X} is in no section")

    def version(self):
        """(file version, product version, {string name: text}) of the version record."""
        rva, size = self.directory(RESOURCE_TABLE)
        if not size:
            raise PeError("no resources")
        base = self.offset_of(rva)

        def entries(at):
            named, numbered = struct.unpack_from("<HH", self.data, at + 12)
            for i in range(named + numbered):
                yield struct.unpack_from("<II", self.data, at + 16 + 8 * i)

        def first_below(at):
            for _, target in entries(at):
                return target
            raise PeError("an empty resource directory")

        for ident, target in entries(base):
            if ident == RT_VERSION and target & 0x80000000:
                name = first_below(base + (target & 0x7FFFFFFF))
                language = first_below(base + (name & 0x7FFFFFFF))
                data_rva, data_size = struct.unpack_from("<II", self.data,
                                                         base + (language & 0x7FFFFFFF))
                at = self.offset_of(data_rva)
                return read_version(self.data[at:at + data_size])
        raise PeError("no version record")


def read_node(data, at):
    """One node of a version record: (key, value bytes, text?, children, end)."""
    length, value_length, kind = struct.unpack_from("<HHH", data, at)
    if length < 6 or at + length > len(data):
        raise PeError("a version record node runs past its record")
    end = at + length
    key_end = at + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[at + 6:key_end].decode("utf-16-le")
    value_at = (key_end + 2 + 3) & ~3
    value_size = value_length * 2 if kind == 1 else value_length
    value = data[value_at:value_at + value_size]
    children = []
    child = (value_at + value_size + 3) & ~3
    while child < end:
        node = read_node(data, child)
        children.append(node)
        child = (node[4] + 3) & ~3
    return key, value, kind == 1, children, end


def read_version(data):
    key, value, _, children, _ = read_node(data, 0)
    if key != "VS_VERSION_INFO" or len(value) < 52:
        raise PeError("not a version record")
    fields = struct.unpack_from("<13I", value)
    if fields[0] != FIXED_SIGNATURE:
        raise PeError("no fixed version record")

    def parts(high, low):
        return (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF)

    strings = {}
    for child_key, _, _, tables, _ in children:
        if child_key == "StringFileInfo":
            for _, _, _, values, _ in tables:
                for name, text, _, _, _ in values:
                    strings[name] = text.decode("utf-16-le").rstrip("\0")
    return parts(fields[2], fields[3]), parts(fields[4], fields[5]), strings


def embedded_images(data):
    """The PE files found inside data after its own headers, each cut out whole."""
    found, at = [], 1
    while True:
        at = data.find(b"MZ", at)
        if at < 0:
            return found
        try:
            image = Image(data, at)
            if image.start + image.size() <= len(data):
                found.append(image)
                at = image.start + image.size()
                continue
        except (PeError, struct.error):
            pass
        at += 2
