"""The image checks over patched copies of the real image: each copy breaks
one property, and exactly that property's check fails.

  check_image_test.py zarvel-uri.exe zarvel-uri.manifest VERSION zarvel-uri.exe.debug
"""

import os
import sys
import tempfile
import unittest

import pefile

# Run isolated (python3 -I), which leaves the script's own folder off the
# path; nothing is cached in the source tree.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True
import check_image

IMAGE, MANIFEST, VERSION, DEBUG_FILE = sys.argv[1:5]
del sys.argv[1:5]


def with_headers(change):
    """A patch that changes the parsed headers and writes the image again."""
    def patch(data):
        pe = pefile.PE(data=data)
        change(pe)
        return bytes(pe.write())
    return patch


def replaced(old, new):
    """A patch that replaces the one occurrence of OLD by NEW, of the same length."""
    def patch(data):
        assert data.count(old) == 1 and len(old) == len(new), old
        return data.replace(old, new)
    return patch


def setter(structure, field, value):
    return lambda pe: setattr(getattr(pe, structure), field, value)


PATCHES = [
    ("x86-64 machine", with_headers(setter("FILE_HEADER", "Machine", 0x8664)),
     "32-bit x86 image"),
    ("time stamped", with_headers(setter("FILE_HEADER", "TimeDateStamp", 1)),
     "no link time stamped"),
    ("GUI subsystem", with_headers(setter("OPTIONAL_HEADER", "Subsystem", 2)),
     "console subsystem"),
    ("not NX compatible",
     with_headers(lambda pe: setattr(pe.OPTIONAL_HEADER, "DllCharacteristics",
                                     pe.OPTIONAL_HEADER.DllCharacteristics & ~0x100)),
     "NX compatible"),
    ("for Windows XP", with_headers(setter("OPTIONAL_HEADER", "MajorOperatingSystemVersion", 5)),
     "OS version 6.0 (Vista)"),
    ("writable code",
     with_headers(lambda pe: setattr(pe.sections[0], "Characteristics",
                                     pe.sections[0].Characteristics | 0x80000000)),
     "no section both writable and executable"),
    ("another registry function imported", replaced(b"RegOpenKeyExW\0", b"RegOpenKeyExX\0"),
     "imports from ADVAPI32.dll, function by function"),
    ("export renamed", replaced(check_image.EXPORTED.encode() + b"\0",
                                check_image.EXPORTED[:-1].encode() + b"F\0"),
     "exported name"),
    ("manifest altered", replaced(b'level="asInvoker"', b'level="asInvokeR"'),
     "manifest embedded verbatim"),
    ("original file name altered",
     replaced("zarvel-uri.exe\0".encode("utf-16-le"), "zarvel-uri.EXE\0".encode("utf-16-le")),
     "version string OriginalFilename"),
]


def failed_checks(path):
    return [description for description, expected, actual
            in check_image.checks(path, MANIFEST, VERSION) if expected != actual]


class ImageCheckTest(unittest.TestCase):
    def test_the_image_passes(self):
        self.assertEqual(failed_checks(IMAGE), [])

    def test_each_broken_property_fails_its_check_alone(self):
        with open(IMAGE, "rb") as file:
            data = file.read()
        for name, patch, check in PATCHES:
            with self.subTest(name), tempfile.NamedTemporaryFile(suffix=".exe") as copy:
                copy.write(patch(data))
                copy.flush()
                self.assertEqual(failed_checks(copy.name), [check])

    def test_the_debug_file_has_debug_sections(self):
        self.assertIn("no debug sections", failed_checks(DEBUG_FILE))


if __name__ == "__main__":
    unittest.main()
