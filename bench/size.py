"""The size of the release executable, and what it is made of."""

import os

from pe_reader import PNG_SIGNATURE, all_resources, export_names, icon_group_entries, imports
from report import header, row

SIZE_GOAL = 64 * 1024
RESOURCE_KINDS = {3: "icon images", 14: "icon group", 24: "manifest", 16: "version record"}


def kib(n):
    return f"{n / 1024:.1f} KiB"


def size_report(path, floor_path):
    import pefile  # Debian's python3-pefile, for /usr/bin/python3

    with open(path, "rb") as f:
        data = f.read()
    pe = pefile.PE(data=data)
    total = len(data)
    within = total <= SIZE_GOAL
    lines = ["## Size of the release executable (windows-x86)", "",
             f"`build/windows-x86/repair/BlackScreenFix.exe`: **{total} bytes ({kib(total)})**, goal 64 KiB "
             f"({SIZE_GOAL} bytes): {'within' if within else 'over'}, {abs(SIZE_GOAL - total)} bytes "
             f"{'to spare' if within else 'too many'}."]
    if os.path.exists(floor_path):
        lines.append(f"For comparison, the floor program (`bench_floor.exe`, same toolchain and flags, no "
                     f"resources): {os.path.getsize(floor_path)} bytes.")
    lines += ["", *header(["part of the file", "bytes in the file", "in memory", "share"])]
    parts = [("headers", pe.OPTIONAL_HEADER.SizeOfHeaders, "")]
    end = pe.OPTIONAL_HEADER.SizeOfHeaders
    for s in pe.sections:
        name = s.Name.rstrip(b"\0").decode(errors="replace")
        # Section names have 8 bytes; the long ones live in the symbol string table, which stripping removes.
        label = "`.eh_frame` (unwind tables)" if name == ".eh_fram" else f"`{name}`"
        parts.append((label, s.SizeOfRawData, str(s.Misc_VirtualSize)))
        end = max(end, s.PointerToRawData + s.SizeOfRawData)
    if total > end:
        parts.append(("after the last section", total - end, ""))
    lines += [row([name, str(n), virtual, f"{100 * n / total:.1f} %"]) for name, n, virtual in parts]
    lines.append(f"| **whole file** | **{total}** | | |")
    lines += ["", *resource_lines(pe), "", *import_lines(pe)]
    return lines


def resource_lines(pe):
    """Resources by kind; the rest of .rsrc is its directory tables and padding."""
    groups = {}
    for kind, name_id, blob in all_resources(pe):
        groups.setdefault(RESOURCE_KINDS.get(kind, str(kind)), []).append((name_id, blob))
    icon_info = {}
    for _, group in groups.get("icon group", []):
        for w, h, _, _, _, bpp, _, icon_id in icon_group_entries(group):
            icon_info[icon_id] = f"{w or 256}×{h or 256} {bpp} bpp"
    lines = header(["resource", "bytes", "what"], "lrl")
    used = 0
    order = list(RESOURCE_KINDS.values())
    for kind in order + sorted(set(groups) - set(order)):
        entries = groups.get(kind)
        if not entries:
            continue
        size = sum(len(blob) for _, blob in entries)
        used += size
        if kind == "icon images":
            what = ", ".join(f"{icon_info.get(i, f'#{i}')} {'PNG' if blob.startswith(PNG_SIGNATURE) else 'bitmap'} "
                             f"({len(blob)})" for i, blob in entries)
        else:
            what = f"{len(entries)} entr{'y' if len(entries) == 1 else 'ies'}"
        lines.append(row([kind, str(size), what]))
    rsrc = next((s for s in pe.sections if s.Name.rstrip(b"\0") == b".rsrc"), None)
    if rsrc is not None:
        lines.append(row(["directory tables and padding", str(rsrc.SizeOfRawData - used), "rest of `.rsrc`"]))
        lines.append(f"| **`.rsrc` in the file** | **{rsrc.SizeOfRawData}** | |")
    return lines


def import_lines(pe):
    lines = header(["imports from", "functions"], "ll")
    for dll, names, delayed in imports(pe):
        lines.append(row([f"{dll}{', delay-loaded' if delayed else ''} ({len(names)})", ", ".join(names)]))
    exports = export_names(pe)
    if exports:
        lines.append(row(["*(exports)*", ", ".join(exports)]))
    return lines
