#!/usr/bin/env python3
"""Repairs a widl 7 type library in place.

When a library holds both a dispinterface and a dual interface, widl adds the
IDispatch import twice; the second attempt gets the offset -1 for its GUID,
stores that in the import entry and writes a byte over the end of the
library's own GUID. This puts the library GUID back and points the broken
import entry at IDispatch. Usage: fix_tlb.py <file.tlb> <libid>
"""
import struct
import sys
import uuid

IID_IDISPATCH = uuid.UUID("00020400-0000-0000-C000-000000000046").bytes_le
SEG_IMPORTINFO, SEG_GUID = 1, 5


def main(path, libid):
    data = bytearray(open(path, "rb").read())
    header = struct.unpack_from("<21i", data, 0)
    if header[0] != 0x5446534D:
        sys.exit(f"{path}: not a type library")
    posguid, varflags, ntypeinfos = header[2], header[5], header[8]
    segdir = 0x54 + (4 if varflags & 0x100 else 0) + 4 * ntypeinfos
    seg = [struct.unpack_from("<4i", data, segdir + 16 * i)[:2] for i in range(15)]
    guid_off, guid_len = seg[SEG_GUID]
    imp_off, imp_len = seg[SEG_IMPORTINFO]

    want = uuid.UUID(libid).bytes_le
    data[guid_off + posguid:guid_off + posguid + 16] = want

    dispatch = -1
    for entry in range(0, guid_len, 24):
        if bytes(data[guid_off + entry:guid_off + entry + 16]) == IID_IDISPATCH:
            dispatch = entry
            break
    for entry in range(imp_off, imp_off + imp_len, 12):
        flags, impfile, oguid = struct.unpack_from("<3i", data, entry)
        if oguid == -1:
            if dispatch < 0:
                sys.exit(f"{path}: broken import entry and no IDispatch GUID")
            struct.pack_into("<i", data, entry + 8, dispatch)
    open(path, "wb").write(bytes(data))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
