"""Reading the parts of a Windows executable that the checks (check_pe.py) and the benchmark (bench/) look at:
its resources, its icon group, its imports and exports. pefile (Debian: python3-pefile) parses the file; this
module only walks what pefile found.
"""

import struct

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"

# One entry of an icon group (GRPICONDIRENTRY): width, height, colours, reserved, planes, bits per pixel,
# bytes of the image, id of its RT_ICON resource. A width or height of 0 means 256.
ICON_GROUP_ENTRY = "<BBBBHHIH"
ICON_GROUP_HEADER = "<HHH"  # reserved, kind (1 = icon), number of entries


def resources(pe, type_id, name_id):
    """[(language id, data)] of one resource; empty if it is missing."""
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return []
    for type_entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if type_entry.id != type_id:
            continue
        for name_entry in type_entry.directory.entries:
            if name_entry.id != name_id:
                continue
            found = []
            for lang_entry in name_entry.directory.entries:
                data = lang_entry.data.struct
                found.append((lang_entry.id, pe.get_data(data.OffsetToData, data.Size)))
            return found
    return []


def all_resources(pe):
    """(type id or name, name id, data) of every resource, in directory order."""
    for type_entry in getattr(getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None), "entries", []):
        kind = type_entry.id if type_entry.id is not None else str(type_entry.name)
        for name_entry in type_entry.directory.entries:
            for lang_entry in name_entry.directory.entries:
                data = lang_entry.data.struct
                yield kind, name_entry.id, pe.get_data(data.OffsetToData, data.Size)


def icon_group_header(group):
    """(reserved, kind, count) from the start of an RT_GROUP_ICON resource."""
    return struct.unpack_from(ICON_GROUP_HEADER, group, 0)


def icon_group_entries(group):
    """The ICON_GROUP_ENTRY tuples of an RT_GROUP_ICON resource whose length fits its count."""
    _, _, count = icon_group_header(group)
    return [struct.unpack_from(ICON_GROUP_ENTRY, group, 6 + 14 * i) for i in range(count)]


def imports(pe):
    """(DLL name, [function names, "#ordinal" for those imported by number], delay-loaded) of every import."""
    found = []
    for attribute, delayed in (("DIRECTORY_ENTRY_IMPORT", False), ("DIRECTORY_ENTRY_DELAY_IMPORT", True)):
        for entry in getattr(pe, attribute, []):
            names = [i.name.decode() if i.name else f"#{i.ordinal}" for i in entry.imports]
            found.append((entry.dll.decode(), names, delayed))
    return found


def export_names(pe):
    """The names the file exports (exports by ordinal only are left out)."""
    symbols = pe.DIRECTORY_ENTRY_EXPORT.symbols if hasattr(pe, "DIRECTORY_ENTRY_EXPORT") else []
    return [s.name.decode("ascii") for s in symbols if s.name]

