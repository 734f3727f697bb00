#!/usr/bin/python3
"""Static check of a Windows executable of the updater.

    pe_check.py [--arch x86|amd64] [--https] [--list-imports] <exe>

Checks, for the 32-bit product (the default, --arch x86):
  * PE32 image (optional-header magic 0x10b, not PE32+), machine Intel 386;
    for --arch amd64: PE32+, machine AMD64;
  * an executable image, not a DLL;
  * subsystem Windows GUI (2);
  * an RT_MANIFEST resource with id 1 that is well-formed XML, whose own
    identity and whose dependency on Microsoft.Windows.Common-Controls
    6.0.0.0 both name the expected processorArchitecture, and which asks
    for the execution level asInvoker;
  * imports (normal and delay-load) only from the allowed system DLLs, and
    the C library from MSVCRT.dll; in particular no DLL of libzip, zlib,
    libsodium or libzstd (they are linked in statically); WINHTTP.dll only for a build
    with release URLs (--https), which must import it, as an FTP build has
    no use for it.
Prints one line per finding and exits 1 when anything fails.
"""

import struct
import sys
import xml.etree.ElementTree as ET

ALLOWED_DLLS = {
    "KERNEL32.DLL", "USER32.DLL", "WSOCK32.DLL", "WS2_32.DLL", "COMCTL32.DLL",
    "OLE32.DLL", "SHELL32.DLL", "WINMM.DLL", "MSVCRT.DLL", "ADVAPI32.DLL",
}
HTTPS_DLLS = {"WINHTTP.DLL"}

MACHINES = {"x86": (0x14C, 0x10B, "PE32", "Intel 386"),
            "amd64": (0x8664, 0x20B, "PE32+", "AMD64")}

RT_MANIFEST = 24
COMMON_CONTROLS = "Microsoft.Windows.Common-Controls"
ASM_NS = "urn:schemas-microsoft-com:asm.v1"


class PeError(Exception):
    pass


class PeImage:
    def __init__(self, data):
        self.data = data
        if len(data) < 0x40 or data[:2] != b"MZ":
            raise PeError("no MZ header")
        (pe_offset,) = struct.unpack_from("<I", data, 0x3C)
        if data[pe_offset:pe_offset + 4] != b"PE\0\0":
            raise PeError("no PE signature")
        coff = pe_offset + 4
        (self.machine, nsections, _, _, _, opt_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, coff)
        opt = coff + 20
        (self.magic,) = struct.unpack_from("<H", data, opt)
        if self.magic == 0x10B:
            dirs_at, count_at = opt + 96, opt + 92
        elif self.magic == 0x20B:
            dirs_at, count_at = opt + 112, opt + 108
        else:
            raise PeError("unknown optional header magic 0x%x" % self.magic)
        (self.subsystem,) = struct.unpack_from("<H", data, opt + 68)
        (ndirs,) = struct.unpack_from("<I", data, count_at)
        self.directories = [struct.unpack_from("<II", data, dirs_at + 8 * i)
                            for i in range(min(ndirs, 16))]
        self.sections = []
        sec = opt + opt_size
        for i in range(nsections):
            name, vsize, vaddr, rsize, raddr = struct.unpack_from("<8sIIII", data, sec + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode("latin-1"), vaddr,
                                  max(vsize, rsize), raddr, rsize))

    def offset(self, rva):
        for _, vaddr, size, raddr, rsize in self.sections:
            if vaddr <= rva < vaddr + size:
                if rva - vaddr >= rsize:
                    raise PeError("RVA 0x%x lies in uninitialised data" % rva)
                return raddr + rva - vaddr
        raise PeError("RVA 0x%x outside every section" % rva)

    def cstring(self, rva):
        start = self.offset(rva)
        end = self.data.index(b"\0", start)
        return self.data[start:end].decode("latin-1")

    def directory(self, index):
        if index < len(self.directories):
            return self.directories[index]
        return (0, 0)

    def imported_dlls(self):
        """Names of the DLLs of the import table (1) and delay-import table (13)."""
        names = []
        rva, size = self.directory(1)
        if rva:
            pos = self.offset(rva)
            while True:
                oft, _, _, name_rva, ft = struct.unpack_from("<IIIII", self.data, pos)
                if oft == 0 and name_rva == 0 and ft == 0:
                    break
                names.append(self.cstring(name_rva))
                pos += 20
        rva, size = self.directory(13)
        if rva:
            pos = self.offset(rva)
            while True:
                attrs, name_rva = struct.unpack_from("<II", self.data, pos)
                if name_rva == 0:
                    break
                names.append(self.cstring(name_rva))
                pos += 32
        return names

    def resources(self, type_id):
        """(name id, bytes) of every resource of the given numeric type."""
        base_rva, _ = self.directory(2)
        if not base_rva:
            return []
        base = self.offset(base_rva)

        def entries(dir_off):
            _, _, _, _, named, ids = struct.unpack_from("<IIHHHH", self.data, dir_off)
            for i in range(named + ids):
                ident, target = struct.unpack_from("<II", self.data, dir_off + 16 + 8 * i)
                yield ident, target

        found = []
        for ident, target in entries(base):
            if ident & 0x80000000 or ident != type_id or not target & 0x80000000:
                continue
            for name_id, name_target in entries(base + (target & 0x7FFFFFFF)):
                if not name_target & 0x80000000:
                    continue
                for _, lang_target in entries(base + (name_target & 0x7FFFFFFF)):
                    if lang_target & 0x80000000:
                        continue
                    data_rva, data_size, _, _ = struct.unpack_from(
                        "<IIII", self.data, base + lang_target)
                    start = self.offset(data_rva)
                    key = name_id if not name_id & 0x80000000 else None
                    found.append((key, self.data[start:start + data_size]))
        return found


def check(path, arch, list_imports=False, https=False):
    failures = []
    ok = []

    def expect(cond, good, bad):
        (ok if cond else failures).append(good if cond else bad)

    with open(path, "rb") as f:
        image = PeImage(f.read())

    machine, magic, kind, machine_name = MACHINES[arch]
    expect(image.magic == magic, "format %s" % kind,
           "format is %s, expected %s" % ("PE32+" if image.magic == 0x20B else "PE32", kind))
    expect(image.machine == machine, "machine %s" % machine_name,
           "machine is 0x%04x, expected 0x%04x (%s)" % (image.machine, machine, machine_name))
    expect(image.characteristics & 0x0002 and not image.characteristics & 0x2000,
           "executable image", "not an executable image (characteristics 0x%04x)"
           % image.characteristics)
    expect(image.subsystem == 2, "subsystem Windows GUI (2)",
           "subsystem is %d, expected 2 (Windows GUI)" % image.subsystem)

    manifests = image.resources(RT_MANIFEST)
    by_id = {key: blob for key, blob in manifests}
    if 1 not in by_id:
        failures.append("no RT_MANIFEST resource with id 1 (found ids: %s)"
                        % [key for key, _ in manifests])
    else:
        text = by_id[1]
        try:
            root = ET.fromstring(text)
        except ET.ParseError as e:
            root = None
            failures.append("manifest is not well-formed XML: %s" % e)
        if root is not None:
            ns = {"a": ASM_NS}
            ident = root.find("a:assemblyIdentity", ns)
            expect(ident is not None and ident.get("processorArchitecture") == arch,
                   "manifest identity processorArchitecture=%s" % arch,
                   "manifest identity processorArchitecture is %r, expected %r"
                   % (None if ident is None else ident.get("processorArchitecture"), arch))
            deps = [d for d in root.findall(
                "a:dependency/a:dependentAssembly/a:assemblyIdentity", ns)
                if d.get("name") == COMMON_CONTROLS]
            if not deps:
                failures.append("manifest has no dependency on %s" % COMMON_CONTROLS)
            for d in deps:
                expect(d.get("version") == "6.0.0.0",
                       "manifest asks for %s 6.0.0.0" % COMMON_CONTROLS,
                       "manifest asks for %s version %r, expected 6.0.0.0"
                       % (COMMON_CONTROLS, d.get("version")))
                expect(d.get("processorArchitecture") == arch,
                       "Common-Controls processorArchitecture=%s" % arch,
                       "Common-Controls processorArchitecture is %r, expected %r"
                       % (d.get("processorArchitecture"), arch))
                expect(d.get("publicKeyToken", "").lower() == "6595b64144ccf1df",
                       "Common-Controls publicKeyToken 6595b64144ccf1df",
                       "Common-Controls publicKeyToken is %r" % d.get("publicKeyToken"))
                expect(d.get("type") == "win32", "Common-Controls type win32",
                       "Common-Controls type is %r, expected win32" % d.get("type"))
            levels = [e.get("level") for e in root.iter()
                      if e.tag.endswith("}requestedExecutionLevel")]
            expect(levels == ["asInvoker"], "manifest requestedExecutionLevel asInvoker",
                   "manifest requestedExecutionLevel is %r, expected asInvoker (else Windows "
                   "may take the updater for an installer and ask for elevation)" % levels)

    dlls = image.imported_dlls()
    if list_imports:
        for name in dlls:
            print(name)
        return 0
    upper = sorted({d.upper() for d in dlls})
    allowed = ALLOWED_DLLS | (HTTPS_DLLS if https else set())
    foreign = [d for d in upper if d not in allowed]
    expect(not foreign, "imports only system DLLs: %s" % ", ".join(upper),
           "imports from DLLs that are not allowed: %s (all: %s)"
           % (", ".join(foreign), ", ".join(upper)))
    linked_in = [d for d in upper if any(lib in d for lib in ("ZIP", "ZLIB", "SODIUM", "ZSTD"))]
    expect(not linked_in, "libzip, zlib, libsodium and libzstd linked in (no DLL of theirs imported)",
           "imports a DLL of a library that must be linked in: %s" % ", ".join(linked_in))
    expect("MSVCRT.DLL" in upper, "C library MSVCRT.dll",
           "MSVCRT.dll is not imported (C library: %s)"
           % ", ".join(d for d in upper if "CRT" in d or d.startswith("API-MS")))
    expect("KERNEL32.DLL" in upper, "imports KERNEL32.dll", "KERNEL32.dll is not imported")
    if https:
        expect("WINHTTP.DLL" in upper, "imports WINHTTP.dll (releases over HTTPS)",
               "WINHTTP.dll is not imported by a build with release URLs")

    for line in ok:
        print("  ok    %s" % line)
    for line in failures:
        print("  FAIL  %s" % line)
    return 1 if failures else 0


def main(argv):
    arch = "x86"
    list_imports = False
    https = False
    args = []
    it = iter(argv)
    for a in it:
        if a == "--arch":
            arch = next(it, "")
        elif a == "--list-imports":
            list_imports = True
        elif a == "--https":
            https = True
        else:
            args.append(a)
    if arch not in MACHINES or len(args) != 1:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    try:
        return check(args[0], arch, list_imports, https)
    except (OSError, PeError, struct.error, ValueError) as e:
        print("  FAIL  %s: cannot read as a PE image: %s" % (args[0], e))
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
