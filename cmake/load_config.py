"""Points the load-configuration entry of a linked program's header at its _load_config_used
structure, as newer linkers do themselves; the program is stripped, so the structure's address
comes from the linker's map.
    python3 load_config.py <program> <map-file>"""
import re
import struct
import sys

LOAD_CONFIG = 10  # the entry's index among the header's data directories


def main(program, map_file):
    data = bytearray(open(program, "rb").read())
    header = struct.unpack_from("<I", data, 0x3C)[0]
    if data[header:header + 4] != b"PE\0\0":
        sys.exit(f"{program}: not a PE image")
    sections, optional_size = struct.unpack_from("<HxxxxxxxxxxxxH", data, header + 6)
    optional = header + 24
    wide = struct.unpack_from("<H", data, optional)[0] == 0x20B
    image_base = struct.unpack_from("<Q", data, optional + 24)[0] if wide else struct.unpack_from("<I", data, optional + 28)[0]
    directories = optional + (112 if wide else 96)

    found = re.search(r"^\s+0x([0-9a-fA-F]+)\s+_?_load_config_used\s*$", open(map_file).read(), re.M)
    if not found:
        sys.exit(f"{map_file}: no _load_config_used")
    rva = int(found.group(1), 16) - image_base
    table = optional + optional_size
    for i in range(sections):
        size, address, _, raw = struct.unpack_from("<IIII", data, table + 40 * i + 8)
        if address <= rva < address + size:
            offset = raw + rva - address
            break
    else:
        sys.exit(f"{program}: _load_config_used lies in no section")
    struct.pack_into("<II", data, directories + 8 * LOAD_CONFIG, rva, struct.unpack_from("<I", data, offset)[0])
    open(program, "wb").write(data)


if __name__ == "__main__":
    main(*sys.argv[1:])
