#!/usr/bin/python3
"""Checks a built BlackScreenFix.exe: headers, hardening flags, imports, exports and
the embedded resources (manifest, version record, icon).

    /usr/bin/python3 tests/pe/check_pe.py --arch x86|x64 PATH/TO/BlackScreenFix.exe

Needs pefile (Debian: python3-pefile). Exits non-zero if any check fails.
"""

import argparse
import os
import re
import struct
import sys
import unittest
import xml.etree.ElementTree as ET

import pefile

sys.dont_write_bytecode = True  # nothing written into the source tree
from pe_reader import PNG_SIGNATURE, icon_group_entries, icon_group_header, resources  # noqa: E402

# Set by main() before the tests run.
ARCH = None
PE = None

ARCHES = {
    "x86": {"machine": "IMAGE_FILE_MACHINE_I386", "magic": pefile.OPTIONAL_HEADER_MAGIC_PE},
    "x64": {"machine": "IMAGE_FILE_MACHINE_AMD64", "magic": pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS},
}

# Operating-system DLLs the program may import; anything else (the MinGW C++ runtime,
# libgcc, winpthread) would have to ship next to the .exe.
ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "ole32.dll", "msvcrt.dll"}
ALLOWED_DLL_PATTERN = re.compile(r"api-ms-win-[a-z0-9-]+\.dll")

# Every function the program imports, by DLL. Its own calls are the advapi32, user32 and ole32 ones, one for
# each Windows service it uses; kernel32 and msvcrt serve the compiler's start-up and exit code (C runtime set-up,
# thread-local storage, relocation of constants, at-exit functions), which differs between the two targets, and
# msvcrt the program's silent end when memory runs out (_exit).
PROGRAM_IMPORTS = {
    "advapi32.dll": {"RegCloseKey", "RegCreateKeyExW", "RegOpenKeyW", "RegQueryValueExW", "RegSetValueExW"},
    "user32.dll": {"MessageBoxW"},
    "ole32.dll": {"CoInitialize"},
}
_RUNTIME_COMMON = {
    "kernel32.dll": {"DeleteCriticalSection", "EnterCriticalSection", "GetLastError", "GetStartupInfoW",
                     "InitializeCriticalSection", "LeaveCriticalSection", "SetUnhandledExceptionFilter", "Sleep",
                     "TlsGetValue", "VirtualProtect", "VirtualQuery"},
    "msvcrt.dll": {"__set_app_type", "__setusermatherr", "__wgetmainargs", "__winitenv", "_amsg_exit", "_cexit",
                   "_exit", "_initterm", "_onexit", "abort", "calloc", "exit", "fprintf", "free", "fwrite", "malloc",
                   "memcpy", "signal", "strlen", "strncmp", "vfprintf"},
}
RUNTIME_IMPORTS = {
    "x86": {
        "kernel32.dll": _RUNTIME_COMMON["kernel32.dll"] | {"FreeLibrary", "GetModuleHandleA", "GetProcAddress",
                                                          "LoadLibraryA"},
        "msvcrt.dll": _RUNTIME_COMMON["msvcrt.dll"] | {"__p__commode", "__p__fmode", "__p__wcmdln", "_iob"},
    },
    "x64": {
        "kernel32.dll": _RUNTIME_COMMON["kernel32.dll"] | {"__C_specific_handler"},
        "msvcrt.dll": _RUNTIME_COMMON["msvcrt.dll"] | {"__iob_func", "_commode", "_fmode", "_wcmdln"},
    },
}

REQUIRED_DLL_CHARACTERISTICS = [
    "IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE",
    "IMAGE_DLLCHARACTERISTICS_NX_COMPAT",
    "IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE",
]

RT_ICON = pefile.RESOURCE_TYPE["RT_ICON"]
RT_GROUP_ICON = pefile.RESOURCE_TYPE["RT_GROUP_ICON"]
RT_VERSION = pefile.RESOURCE_TYPE["RT_VERSION"]
RT_MANIFEST = pefile.RESOURCE_TYPE["RT_MANIFEST"]
LANG_EN_US = 1033

UTF8_BOM = b"\xef\xbb\xbf"

ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
ASM_V3 = "urn:schemas-microsoft-com:asm.v3"
WINDOWS_SETTINGS = "http://schemas.microsoft.com/SMI/2005/WindowsSettings"
COMPATIBILITY = "urn:schemas-microsoft-com:compatibility.v1"

SUPPORTED_OS_IDS = [
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Vista
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10
]


def el(ns, tag, attrib=None, children=(), text=None):
    """One expected manifest element: (qualified tag, attributes, text, children)."""
    return (f"{{{ns}}}{tag}", attrib or {}, text, list(children))


def common_controls(type_, arch):
    identity = {
        "type": type_,
        "name": "Microsoft.Windows.Common-Controls",
        "version": "6.0.0.0",
        "processorArchitecture": arch,
        "publicKeyToken": "6595b64144ccf1df",
        "language": "*",
    }
    identity_el = el(ASM_V1, "assemblyIdentity", identity)
    return el(ASM_V1, "dependency", children=[el(ASM_V1, "dependentAssembly", children=[identity_el])])


EXPECTED_MANIFEST = el(
    ASM_V1,
    "assembly",
    {"manifestVersion": "1.0"},
    [
        common_controls("Win32", "*"),
        common_controls("win32", "x86"),
        el(ASM_V3, "trustInfo", children=[
            el(ASM_V3, "security", children=[
                el(ASM_V3, "requestedPrivileges", children=[
                    el(ASM_V3, "requestedExecutionLevel", {"level": "asInvoker", "uiAccess": "false"}),
                ]),
            ]),
        ]),
        el(ASM_V3, "application", children=[
            el(ASM_V3, "windowsSettings", children=[el(WINDOWS_SETTINGS, "dpiAware", text="true")]),
        ]),
        el(COMPATIBILITY, "compatibility", children=[
            el(COMPATIBILITY, "application", children=[
                el(COMPATIBILITY, "supportedOS", {"Id": os_id}) for os_id in SUPPORTED_OS_IDS
            ]),
        ]),
    ],
)

EXPECTED_VERSION = (1, 0, 0, 0)
EXPECTED_STRING_TABLE = "000004b0"
EXPECTED_STRINGS = {
    "CompanyName": "Drovenal",
    "FileDescription": "Lumarest",
    "FileVersion": "1.0.0.0",
    "InternalName": "Lumarest",
    "Official Build": "1",
    "OriginalFilename": "Lumarest",
    "ProductName": "Lumarest",
    "ProductVersion": "1.0.0.0",
}
EXPECTED_TRANSLATION = [0x0000, 0x04B0]

ICON_GROUP_ID = 128
EXPECTED_ICON_SIZES = [256, 48, 32, 16]


NS_PREFIXES = {ASM_V1: "v1", ASM_V3: "v3", WINDOWS_SETTINGS: "ws", COMPATIBILITY: "compat"}


def short_tag(tag):
    """'{urn:...asm.v3}trustInfo' -> 'v3:trustInfo'; unknown namespaces stay spelled out."""
    ns, _, local = tag[1:].partition("}") if tag.startswith("{") else ("", "", tag)
    return f"{NS_PREFIXES[ns]}:{local}" if ns in NS_PREFIXES else tag


def flatten(tree, path=""):
    """(path, attributes, text) for every element, in document order."""
    tag, attrib, text, children = tree
    here = f"{path}/{short_tag(tag)}"
    rows = [(here, dict(attrib), (text or "").strip())]
    for child in children:
        rows += flatten(child, here)
    return rows


def as_tree(element):
    return (element.tag, element.attrib, element.text, [as_tree(child) for child in element])


def resource_data(test, type_id, name_id, label):
    found = resources(PE, type_id, name_id)
    test.assertEqual(len(found), 1, f"{label}: resource type {type_id} id {name_id} found {len(found)} times")
    return found[0]


class Headers(unittest.TestCase):
    def test_machine_and_format(self):
        expected = ARCHES[ARCH]
        machine = pefile.MACHINE_TYPE.get(PE.FILE_HEADER.Machine, hex(PE.FILE_HEADER.Machine))
        self.assertEqual(machine, expected["machine"], "machine type")
        self.assertEqual(hex(PE.OPTIONAL_HEADER.Magic), hex(expected["magic"]), "optional header magic")

    def test_gui_subsystem(self):
        self.assertEqual(PE.OPTIONAL_HEADER.Subsystem, pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"])

    def test_versions(self):
        oh = PE.OPTIONAL_HEADER
        subsystem = (oh.MajorSubsystemVersion, oh.MinorSubsystemVersion)
        os_version = (oh.MajorOperatingSystemVersion, oh.MinorOperatingSystemVersion)
        self.assertEqual(subsystem, (6, 0), "subsystem version")
        self.assertGreaterEqual(os_version, (6, 0), "operating system version")


class Hardening(unittest.TestCase):
    def test_dll_characteristics(self):
        for flag in REQUIRED_DLL_CHARACTERISTICS:
            with self.subTest(flag=flag):
                bit = pefile.DLL_CHARACTERISTICS[flag]
                self.assertTrue(PE.OPTIONAL_HEADER.DllCharacteristics & bit, f"{flag} not set")

    def test_relocations_kept(self):
        self.assertFalse(
            PE.FILE_HEADER.Characteristics & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_RELOCS_STRIPPED"],
            "IMAGE_FILE_RELOCS_STRIPPED is set: the loader cannot move the image",
        )
        index = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]
        directory = PE.OPTIONAL_HEADER.DATA_DIRECTORY[index]
        self.assertGreater(directory.Size, 0, "base relocation directory is empty")
        # Padding entries (IMAGE_REL_BASED_ABSOLUTE) move nothing; there must be real ones.
        real = [
            reloc
            for block in getattr(PE, "DIRECTORY_ENTRY_BASERELOC", [])
            for reloc in block.entries
            if reloc.type != pefile.RELOCATION_TYPE["IMAGE_REL_BASED_ABSOLUTE"]
        ]
        self.assertTrue(real, "base relocation table holds no relocations")


class Imports(unittest.TestCase):
    def test_exactly_the_expected_functions(self):
        imported = {}
        for entry in getattr(PE, "DIRECTORY_ENTRY_IMPORT", []):
            names = imported.setdefault(entry.dll.decode("ascii").lower(), set())
            names.update(i.name.decode("ascii") if i.name else f"ordinal {i.ordinal}" for i in entry.imports)
        expected = dict(PROGRAM_IMPORTS, **RUNTIME_IMPORTS[ARCH])
        for dll in sorted(set(imported) | set(expected)):
            with self.subTest(dll=dll):
                got, want = imported.get(dll, set()), expected.get(dll, set())
                self.assertEqual((sorted(got - want), sorted(want - got)), ([], []),
                                 f"{dll}: (imported but not expected, expected but not imported)")

    def test_only_system_dlls(self):
        names = [entry.dll.decode("ascii").lower() for entry in getattr(PE, "DIRECTORY_ENTRY_IMPORT", [])]
        self.assertTrue(names, "no imports at all: not a usable Windows program")
        unexpected = [n for n in names if n not in ALLOWED_DLLS and not ALLOWED_DLL_PATTERN.fullmatch(n)]
        self.assertEqual(unexpected, [], f"imports DLLs that are not part of Windows (all: {names})")


class Exports(unittest.TestCase):
    def test_get_handle_verifier(self):
        symbols = PE.DIRECTORY_ENTRY_EXPORT.symbols if hasattr(PE, "DIRECTORY_ENTRY_EXPORT") else []
        names = [s.name.decode("ascii") for s in symbols if s.name]
        self.assertIn("GetHandleVerifier", names, f"exported names: {names}")


class Manifest(unittest.TestCase):
    def setUp(self):
        self.lang, self.data = resource_data(self, RT_MANIFEST, 1, "manifest")

    def test_language(self):
        self.assertEqual(self.lang, LANG_EN_US, "manifest language")

    def test_starts_with_bom(self):
        self.assertEqual(self.data[:3], UTF8_BOM, "manifest does not start with the UTF-8 byte-order mark")

    def test_content(self):
        actual = flatten(as_tree(ET.fromstring(self.data)))
        expected = flatten(EXPECTED_MANIFEST)
        for number, (got, want) in enumerate(zip(actual, expected), start=1):
            self.assertEqual(got, want, f"manifest element {number} ({want[0]})")
        got_paths = [row[0] for row in actual]
        self.assertEqual(len(actual), len(expected), f"number of manifest elements; got {got_paths}")


class Version(unittest.TestCase):
    def setUp(self):
        resource_data(self, RT_VERSION, 1, "version record")
        self.assertTrue(hasattr(PE, "VS_FIXEDFILEINFO"), "pefile found no VS_FIXEDFILEINFO")
        self.assertTrue(getattr(PE, "FileInfo", None), "pefile found no StringFileInfo/VarFileInfo")
        self.file_info = PE.FileInfo[0]

    def test_fixed_versions(self):
        fixed = PE.VS_FIXEDFILEINFO[0]
        for label, ms, ls in [
            ("file", fixed.FileVersionMS, fixed.FileVersionLS),
            ("product", fixed.ProductVersionMS, fixed.ProductVersionLS),
        ]:
            with self.subTest(version=label):
                self.assertEqual((ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF), EXPECTED_VERSION)

    def test_string_table(self):
        tables = [t for info in self.file_info if info.Key == b"StringFileInfo" for t in info.StringTable]
        self.assertEqual([t.LangID.decode() for t in tables], [EXPECTED_STRING_TABLE], "string tables")
        strings = {k.decode(): v.decode() for k, v in tables[0].entries.items()}
        self.assertEqual(strings, EXPECTED_STRINGS)

    def test_translation(self):
        variables = [v for info in self.file_info if info.Key == b"VarFileInfo" for v in info.Var]
        self.assertEqual([list(v.entry) for v in variables], [[b"Translation"]], "VarFileInfo entries")
        var = variables[0]
        # pefile shows only the first pair of words: read the whole value from the file.
        start = var.get_file_offset()
        raw = PE.__data__[start : start + var.Length]
        words = list(struct.unpack(f"<{var.ValueLength // 2}H", raw[var.Length - var.ValueLength :]))
        self.assertEqual([hex(w) for w in words], [hex(w) for w in EXPECTED_TRANSLATION])


class Icon(unittest.TestCase):
    def setUp(self):
        _, group = resource_data(self, RT_GROUP_ICON, ICON_GROUP_ID, "icon group")
        reserved, kind, count = icon_group_header(group)
        self.assertEqual((reserved, kind), (0, 1), "icon group header")
        self.assertEqual(len(group), 6 + 14 * count, "icon group length")
        self.entries = icon_group_entries(group)

    def test_sizes(self):
        sizes = [(w or 256, h or 256) for w, h, *_ in self.entries]
        self.assertEqual(sizes, [(s, s) for s in EXPECTED_ICON_SIZES])

    def test_images(self):
        for width, _, _, _, _, bit_count, size, icon_id in self.entries:
            width = width or 256
            with self.subTest(size=width):
                self.assertEqual(bit_count, 32, "bits per pixel in the group entry")
                _, image = resource_data(self, RT_ICON, icon_id, f"{width}px image")
                self.assertEqual(len(image), size, "image size differs from the group entry")
                if width == 256:
                    self.assertTrue(image.startswith(PNG_SIGNATURE), "256px image is not PNG")
                    continue
                header_size, dib_width, dib_height, _, dib_bits = struct.unpack_from("<IiiHH", image, 0)
                self.assertGreaterEqual(header_size, 40, "not a DIB (BITMAPINFOHEADER)")
                # An icon DIB is twice as tall as the icon: colour rows, then the mask.
                self.assertEqual((dib_width, dib_height), (width, 2 * width), "DIB dimensions")
                self.assertEqual(dib_bits, 32, "DIB bits per pixel")


def main():
    global ARCH, PE
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", choices=sorted(ARCHES), required=True)
    parser.add_argument("exe")
    args, rest = parser.parse_known_args()
    ARCH = args.arch
    try:
        PE = pefile.PE(args.exe)
    except (OSError, pefile.PEFormatError) as error:
        sys.exit(f"check_pe: cannot read {args.exe}: {error}")
    print(f"{args.exe}: {os.path.getsize(args.exe)} bytes")
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
