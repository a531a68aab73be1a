"""How this machine runs 32-bit x86 Linux programs, such as Wine's 32-bit loader.

Some kernels refuse 32-bit x86 code. There qemu-user runs it, handed the
programs by a binfmt_misc registration, which the kernel consults before its
own ELF loader; so the same registration also takes the emulated path on a
machine that could run them itself.

  i386_emulation.py check        exit 0 when a 32-bit program runs here and its
                                 mmap honours MAP_FIXED_NOREPLACE
  i386_emulation.py describe     "natively", "emulated by <qemu's version>" or
                                 "not at all"
  i386_emulation.py register     (root) register Debian's qemu for i386 ELF files,
                                 replacing every other i386 registration
  i386_emulation.py unregister   (root) remove that registration again
"""

import os
import pathlib
import struct
import subprocess
import sys
import tempfile

BINFMT = pathlib.Path("/proc/sys/fs/binfmt_misc")
# The registration that Debian's qemu-user ships for i386 on other hosts: the
# emulator opens the binary (O), keeps argv[0] (P) and is opened once, now (F).
DEBIAN_REGISTRATION = pathlib.Path("/usr/share/qemu/binfmt.d/qemu-i386.conf")
ENTRY_NAME = "qemu-i386"

# A static i386 program: it maps a page at a fixed address, maps it again with
# MAP_FIXED_NOREPLACE and exits 0 when the second mmap2 fails with EEXIST.
# Debian's Wine 8 has no preloader, so its 32-bit ntdll reserves the address
# space with that flag; an emulator that takes it for a hint (qemu before 8.1)
# turns each reservation into thousands of failed mappings, a minute a process.
_BASE = 0x08048000
_CODE = bytes.fromhex(
    "b8c0000000"  # mov eax, 192 (mmap2)
    "bb00000020"  # mov ebx, 0x20000000
    "b900100000"  # mov ecx, 4096
    "ba01000000"  # mov edx, PROT_READ
    "be32000000"  # mov esi, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED
    "bfffffffff"  # mov edi, -1
    "31ed"  # xor ebp, ebp
    "cd80"  # int 0x80
    "b8c0000000"  # mov eax, 192
    "be22001000"  # mov esi, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE
    "cd80"  # int 0x80
    "31db"  # xor ebx, ebx
    "83f8ef"  # cmp eax, -EEXIST
    "0f95c3"  # setne bl
    "b801000000"  # mov eax, 1 (exit)
    "cd80"  # int 0x80
)
_HEADERS = 52 + 32


def probe_program():
    size = _HEADERS + len(_CODE)
    elf = b"\x7fELF\x01\x01\x01" + bytes(9)
    elf += struct.pack("<HHIIIIIHHHHHH", 2, 3, 1, _BASE + _HEADERS, 52, 0, 0, 52, 32, 1, 0, 0, 0)
    elf += struct.pack("<8I", 1, 0, _BASE, _BASE, size, size, 5, 0x1000)
    return elf + _CODE


def run_probe():
    """0 when the probe honoured the flag, 1 when it did not, None when it did not run."""
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "i386-probe")
        with open(path, "wb") as file:
            file.write(probe_program())
        os.chmod(path, 0o755)
        try:
            return subprocess.run([path], check=False, timeout=60).returncode
        except OSError:  # Exec format error: nothing here runs 32-bit code
            return None


def entries():
    """The enabled binfmt_misc registrations, each a dict of its fields."""
    if not (BINFMT / "status").exists() or (BINFMT / "status").read_text().strip() != "enabled":
        return []
    found = []
    for path in sorted(BINFMT.iterdir()):
        if path.name in ("register", "status"):
            continue
        lines = path.read_text().splitlines()
        if not lines or lines[0] != "enabled":
            continue
        fields = {"name": path.name}
        for line in lines[1:]:
            key, _, value = line.partition(" ")
            fields[key.rstrip(":")] = value
        found.append(fields)
    return found


def matches_i386(entry):
    if "magic" not in entry:  # registered by file name extension
        return False
    header = probe_program()
    offset = int(entry.get("offset", "0"))
    magic = bytes.fromhex(entry["magic"])
    mask = bytes.fromhex(entry.get("mask", "ff" * len(magic)))
    window = header[offset:offset + len(magic)]
    return len(window) == len(magic) and all(
        h & m == g & m for h, g, m in zip(window, magic, mask))


def emulator_version(interpreter):
    # Debian's *-binfmt-P names are links to qemu that take argv[0] from their
    # caller; the program itself answers --version.
    program = os.path.realpath(interpreter)
    try:
        result = subprocess.run([program, "--version"], capture_output=True, text=True,
                                check=False, timeout=30)
    except OSError:
        return f"{program} (which does not start)"
    first = result.stdout.splitlines()[0] if result.stdout else program
    return first


def describe():
    emulators = [e for e in entries() if matches_i386(e)]
    if run_probe() is None:
        return "not at all"
    if emulators:
        return "emulated by " + emulator_version(emulators[0]["interpreter"])
    return "natively"


def register():
    if not (BINFMT / "register").exists():
        BINFMT.mkdir(parents=True, exist_ok=True)
        subprocess.run(["mount", "-t", "binfmt_misc", "binfmt_misc", str(BINFMT)], check=True)
    for entry in entries():
        if matches_i386(entry):
            print(f"i386: removing the registration {entry['name']} ({entry['interpreter']})")
            (BINFMT / entry["name"]).write_text("-1")
    (BINFMT / "register").write_text(DEBIAN_REGISTRATION.read_text().strip())


def unregister():
    entry = BINFMT / ENTRY_NAME
    if entry.exists():
        entry.write_text("-1")
        print(f"i386: removed the registration {ENTRY_NAME}")


def main(argv):
    command = argv[1] if len(argv) == 2 else ""
    if command == "check":
        status = run_probe()
        if status is None:
            print("i386: this machine does not execute 32-bit x86 programs")
        elif status != 0:
            print("i386: 32-bit x86 programs run here, but mmap ignores MAP_FIXED_NOREPLACE")
        return 0 if status == 0 else 1
    if command == "describe":
        print(describe())
        return 0
    if command == "register":
        register()
        return 0
    if command == "unregister":
        unregister()
        return 0
    print("usage: i386_emulation.py check|describe|register|unregister", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
