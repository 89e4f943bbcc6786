"""Reads one resource out of a Windows PE file (type and name ids, first language)."""
import struct


def _section_offset(sections, rva):
    for virtual_address, virtual_size, raw_pointer in sections:
        if virtual_address <= rva < virtual_address + virtual_size:
            return raw_pointer + rva - virtual_address
    raise ValueError("address %#x is in no section" % rva)


def read_resource(path, type_id, name_id):
    data = open(path, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    sections_count = struct.unpack_from("<H", data, pe + 6)[0]
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (112 if magic == 0x20B else 96)
    resource_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]
    sections = []
    table = optional + optional_size
    for i in range(sections_count):
        at = table + 40 * i
        virtual_size, virtual_address, raw_size, raw_pointer = struct.unpack_from("<IIII", data, at + 8)
        sections.append((virtual_address, max(virtual_size, raw_size), raw_pointer))
    base = _section_offset(sections, resource_rva)

    def entries(offset):
        named, ids = struct.unpack_from("<HH", data, base + offset + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", data, base + offset + 16 + 8 * i)
            yield name, target

    def find(offset, wanted):
        for name, target in entries(offset):
            if not name & 0x80000000 and (wanted is None or name == wanted):
                return target
        return None

    level = find(0, type_id)
    if level is None or not level & 0x80000000:
        return None
    level = find(level & 0x7FFFFFFF, name_id)
    if level is None or not level & 0x80000000:
        return None
    leaf = find(level & 0x7FFFFFFF, None)
    if leaf is None or leaf & 0x80000000:
        return None
    rva, size = struct.unpack_from("<II", data, base + leaf)
    start = _section_offset(sections, rva)
    return data[start:start + size]
