"""Checks what the 32-bit Windows image carries: machine, subsystem and the
Windows version it claims, hardening, imports function by function, its
single export, no debug sections, and the embedded manifest and version
resource. Read with pefile; prints a line per check, exits 1 on a failure.

  check_image.py zarvel-uri.exe zarvel-uri.manifest VERSION
"""

import sys

import pefile

EXPORTED = "_Z17checkUriQualifierNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE"

# The imports, function by function. Windows forwards some exports of its own
# DLLs to DLLs outside the KnownDLLs, which are looked for in the program's
# folder first (advapi32's SystemFunction036 goes to cryptbase.dll), and Wine
# cannot show it: every import that comes or goes is named, to be reviewed.
IMPORTS = {
    # The seven registry functions and nothing else: no random number or
    # crypto function, which Windows' advapi32 forwards.
    "ADVAPI32.dll": """RegCloseKey RegCreateKeyExA RegDeleteTreeA RegOpenKeyExA RegOpenKeyExW
        RegQueryValueExW RegSetValueExA""",
    # The runtime's, which a new toolchain may change.
    "KERNEL32.dll": """AddVectoredExceptionHandler CloseHandle CreateEventA CreateSemaphoreA
        DeleteCriticalSection DuplicateHandle EnterCriticalSection FreeLibrary GetCurrentProcess
        GetCurrentProcessId GetCurrentThread GetCurrentThreadId GetHandleInformation GetLastError
        GetModuleHandleA GetModuleHandleW GetProcAddress GetProcessAffinityMask GetStartupInfoA
        GetSystemTimeAsFileTime GetThreadContext GetThreadPriority GetTickCount64
        InitializeCriticalSection IsDBCSLeadByteEx IsDebuggerPresent IsProcessorFeaturePresent
        LeaveCriticalSection LoadLibraryA LoadLibraryW MultiByteToWideChar OpenProcess
        OutputDebugStringA QueryPerformanceCounter RaiseException ReleaseSemaphore
        RemoveVectoredExceptionHandler ResetEvent ResumeThread SetDllDirectoryW SetEvent
        SetLastError SetProcessAffinityMask SetThreadContext SetThreadPriority
        SetUnhandledExceptionFilter Sleep SuspendThread TerminateProcess TlsAlloc TlsGetValue
        TlsSetValue TryEnterCriticalSection VirtualProtect VirtualQuery WaitForMultipleObjects
        WaitForSingleObject WideCharToMultiByte""",
    "msvcrt.dll": """__getmainargs __initenv __mb_cur_max __p__acmdln __p__commode __p__fmode
        __set_app_type __setusermatherr _amsg_exit _beginthreadex _cexit _endthreadex _errno
        _initterm _iob _lock _onexit _setjmp3 _ultoa _unlock abort atoi calloc exit fprintf
        fputc fputs free fwrite localeconv malloc memchr memcmp memcpy memmove memset printf
        realloc setlocale signal strchr strcmp strerror strlen strncmp vfprintf wcslen longjmp
        _strdup _read _close""",
}

VERSION_STRINGS = {"InternalName": "zarvel-uri", "OriginalFilename": "zarvel-uri.exe",
                   "ProductName": "zarvel-uri"}


def section_names(pe, data):
    """Each section's name; a long one (/N) from the COFF string table, as objdump shows it."""
    table = pe.FILE_HEADER.PointerToSymbolTable + 18 * pe.FILE_HEADER.NumberOfSymbols
    names = []
    for section in pe.sections:
        name = section.Name.rstrip(b"\0")
        if name[:1] == b"/" and name[1:].isdigit() and pe.FILE_HEADER.PointerToSymbolTable:
            start = table + int(name[1:])
            name = data[start:data.find(b"\0", start)]
        names.append(name.decode(errors="replace"))
    return names


def resources(pe, type_id):
    """{id: data} of the resources of TYPE_ID, every language's."""
    found = {}
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for kind in root.entries if root else []:
        if kind.id != type_id:
            continue
        for entry in kind.directory.entries:
            for language in entry.directory.entries:
                data = language.data.struct
                found[entry.id] = pe.get_data(data.OffsetToData, data.Size)
    return found


def version_strings(pe):
    strings = {}
    for info in pe.FileInfo[0] if getattr(pe, "FileInfo", None) else []:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                strings.update({key.decode(): value.decode() for key, value in
                                table.entries.items()})
    return strings


def version_numbers(high, low):
    """The four numbers of a version resource's two 32-bit halves."""
    return (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF)


def checks(image, manifest, version):
    """(description, expected, actual) for each property checked."""
    with open(image, "rb") as file:
        data = file.read()
    with open(manifest, "rb") as file:
        manifest_bytes = file.read()
    pe = pefile.PE(data=data)
    optional = pe.OPTIONAL_HEADER
    flags = optional.DllCharacteristics
    found = [
        ("32-bit x86 image", "0x14c", hex(pe.FILE_HEADER.Machine)),
        ("PE32 optional header", "0x10b", hex(optional.Magic)),
        ("console subsystem", 3, optional.Subsystem),
        ("relocatable (dynamic base)", True, bool(flags & 0x40)),
        ("NX compatible", True, bool(flags & 0x100)),
        ("terminal-server aware", True, bool(flags & 0x8000)),
        ("OS version 6.0 (Vista)", (6, 0),
         (optional.MajorOperatingSystemVersion, optional.MinorOperatingSystemVersion)),
        ("subsystem version 6.0", (6, 0),
         (optional.MajorSubsystemVersion, optional.MinorSubsystemVersion)),
        ("no link time stamped", 0, pe.FILE_HEADER.TimeDateStamp),
        ("base relocations present", True, bool(getattr(pe, "DIRECTORY_ENTRY_BASERELOC", []))),
    ]

    imports = {entry.dll.decode(): sorted((item.name or b"?").decode() for item in entry.imports)
               for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    found.append(("imports only Windows' own libraries", sorted(IMPORTS, key=str.lower),
                  sorted(imports, key=str.lower)))
    for dll, pinned in IMPORTS.items():
        pinned, actual = set(pinned.split()), set(imports.get(dll, []))
        found.append((f"imports from {dll}, function by function", {"new": [], "gone": []},
                      {"new": sorted(actual - pinned), "gone": sorted(pinned - actual)}))

    exports = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    found += [
        ("one export table entry", 1, exports.struct.NumberOfFunctions if exports else 0),
        ("ordinal base", 1, exports.struct.Base if exports else None),
        ("exported name", [(1, EXPORTED)],
         [(symbol.ordinal, (symbol.name or b"").decode()) for symbol in exports.symbols]
         if exports else []),
    ]

    names = section_names(pe, data)
    found.append(("no debug sections", [], [name for name in names if name.startswith(".debug")]))
    # Code, or executable, and writable.
    writable_code = [name for name, section in zip(names, pe.sections)
                     if section.Characteristics & 0x20000020
                     and section.Characteristics & 0x80000000]
    found.append(("no section both writable and executable", [], writable_code))
    debuglink = [section.get_data() for name, section in zip(names, pe.sections)
                 if name == ".gnu_debuglink"]
    found.append(("debug link to zarvel-uri.exe.debug", "zarvel-uri.exe.debug",
                  debuglink[0].split(b"\0")[0].decode(errors="replace") if debuglink else None))

    manifests = resources(pe, 24)
    embedded = manifests.get(1, b"")
    found += [
        ("manifest resource type 24 (RT_MANIFEST), id 1", [1], sorted(manifests)),
        ("manifest embedded verbatim", True, embedded == manifest_bytes),
        ("manifest lists Vista, 7, 8, 8.1 and 10/11", 5, embedded.count(b"<supportedOS Id=")),
    ]

    numbers = [int(part) for part in version.split(".")] + [0]
    fixed = getattr(pe, "VS_FIXEDFILEINFO", [None])[0]
    found.append((f"file and product version {version}", (tuple(numbers), tuple(numbers)),
                  (version_numbers(fixed.FileVersionMS, fixed.FileVersionLS),
                   version_numbers(fixed.ProductVersionMS, fixed.ProductVersionLS))
                  if fixed else None))
    strings = version_strings(pe)
    for name, value in {"FileVersion": version, "ProductVersion": version,
                        **VERSION_STRINGS}.items():
        found.append((f"version string {name}", value, strings.get(name)))
    found.append(("version string FileDescription present", True,
                  bool(strings.get("FileDescription"))))
    return found


def main(argv):
    failures = 0
    for description, expected, actual in checks(*argv[1:4]):
        if expected == actual:
            print(f"ok: {description}")
        else:
            print(f"FAILED: {description}\n  expected: {expected}\n  actual:   {actual}")
            failures += 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
