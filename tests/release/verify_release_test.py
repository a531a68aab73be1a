"""Unit tests of the verifier's reading of a zip and of DER, with Debian's Python:
what another unzipper could read differently is refused before anything is taken."""

import io
import os
import stat
import struct
import sys
import unittest
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
import verify_release  # noqa: E402

TOP = "zarvel-uri-1.3.0-win32"
FILES = {f"{TOP}/BUILDINFO": b"Name: zarvel-uri\n", f"{TOP}/docs/release.md": b"# Releases\n",
         f"{TOP}/zarvel-uri.exe": b"MZ" + bytes(300)}


def make_zip(files=FILES, extra=b"", mode=stat.S_IFREG | 0o644, comment=b"", before=b""):
    buffer = io.BytesIO()
    buffer.write(before)  # the offsets count it, as in a self-extracting zip
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, content in files.items():
            info = zipfile.ZipInfo(name, (2024, 1, 1, 0, 0, 0))
            info.external_attr = mode << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            info.extra = extra
            archive.writestr(info, content)
        archive.comment = comment
    return buffer.getvalue()


def patched(data, offset, value):
    return data[:offset] + value + data[offset + len(value):]


def central(data):
    return data.index(b"PK\1\2")


def without_directory_entry(data, index):
    """The zip with its entry still in place but missing from its directory, as a
    streaming unzipper, which reads entry headers in turn, would still find it."""
    end = len(data) - 22
    count, size, offset = struct.unpack_from("<HII", data, end + 10)
    entries, position = [], offset
    for _ in range(count):
        lengths = struct.unpack_from("<HHH", data, position + 28)
        entries.append(data[position:position + 46 + sum(lengths)])
        position += 46 + sum(lengths)
    del entries[index]
    directory = b"".join(entries)
    return (data[:offset] + directory + data[end:end + 8] +
            struct.pack("<HHII", count - 1, count - 1, len(directory), offset) + data[-2:])


GENUINE = make_zip()
UNICODE_PATH = struct.pack("<HHBI", 0x7075, 5 + 8, 1, 0) + b"x/a.exe!"


class ZipTest(unittest.TestCase):
    def test_a_release_shaped_zip_is_read_whole(self):
        files, folders = verify_release.read_zip(GENUINE)
        self.assertEqual(files, FILES)
        self.assertEqual(folders, set())

    def test_refused(self):
        first_header_flags = 6
        cases = [  # what, zip bytes, the refusal's words
            ("bytes before the first entry", make_zip(before=b"MZ stub"), "not where"),
            ("bytes before the first entry, offsets not counting them", b"MZ" + GENUINE,
             "does not end where"),
            ("a first entry the directory lacks", without_directory_entry(GENUINE, 0),
             "not where the entry before it ends"),
            ("a middle entry the directory lacks", without_directory_entry(GENUINE, 1),
             "not where the entry before it ends"),
            ("a last entry the directory lacks", without_directory_entry(GENUINE, 2),
             "bytes between"),
            ("a damaged entry header", GENUINE.replace(b"PK\3\4", b"PK\3\5", 1),
             "entry header unlike"),
            ("a header naming another file", GENUINE.replace(
                f"{TOP}/BUILDINFO".encode(), f"{TOP}/BUILDINFX".encode(), 1),
             "entry header unlike"),
            ("bytes between the last entry and the directory",
             GENUINE[:central(GENUINE)] + b"\0" + GENUINE[central(GENUINE):], "does not end"),
            ("a comment", make_zip(comment=b"\x1b[2K"), "not a zip ending"),
            ("encryption", patched(GENUINE, first_header_flags, b"\1\0"), "entry header unlike"),
            ("an Info-ZIP Unicode path", make_zip(extra=UNICODE_PATH), "extra field 0x7075"),
            ("NTFS times", make_zip(extra=struct.pack("<HH", 0x000A, 4) + bytes(4)),
             "extra field 0x000a"),
            ("an unneeded Zip64 field", make_zip(extra=struct.pack("<HHQ", 1, 8, 5)),
             "Zip64 field"),
            ("a repeated time stamp", make_zip(extra=2 * struct.pack("<HHB", 0x5455, 1, 0)),
             "repeated extra field"),
            ("a link", make_zip(mode=stat.S_IFLNK | 0o777), "a link"),
            ("set-user-ID", make_zip(mode=stat.S_IFREG | 0o4755), "set-user-ID"),
            ("case", make_zip(FILES | {f"{TOP}/ZARVEL-URI.exe": b"x"}), "are one name"),
            ("a trailing dot", make_zip(FILES | {f"{TOP}/zarvel-uri.exe.": b"x"}),
             "are one name"),
            ("a trailing space", make_zip(FILES | {f"{TOP}/docs /release.md": b"x"}),
             "are one name"),
            ("normalisation", make_zip({f"{TOP}/caf\u00e9": b"1", f"{TOP}/cafe\u0301": b"2"}),
             "are one name"),
            ("a name outside the folder", make_zip({f"{TOP}/../x": b"1"}), "no name"),
            ("a control character", make_zip({f"{TOP}/a\x1b[2Kb": b"1"}), r"a\\x1b\[2Kb"),
            ("depth", make_zip({f"{TOP}/a/b/c": b"1"}), "deeper"),
            ("a large BUILDINFO", make_zip({f"{TOP}/BUILDINFO": bytes(17 << 10)}),
             "more than a release file has"),
            ("an empty folder", make_zip(FILES | {f"{TOP}/empty/": b""},
                                         mode=stat.S_IFDIR | 0o755), "link|folder"),
            ("a damaged checksum", GENUINE.replace(
                struct.pack("<I", zipfile.crc32(b"# Releases\n")), bytes(4)), "unlike|checksum"),
            ("too many entries", make_zip({f"{TOP}/f{i}": b"" for i in range(65)}),
             "entries or more"),
            ("no zip", b"MZ" * 100, "not a zip"),
            ("nothing", b"", "not a zip"),
        ]
        for what, data, words in cases:
            with self.subTest(what), self.assertRaisesRegex(verify_release.Verdict, words) as cm:
                verify_release.read_zip(data)
            self.assertEqual(cm.exception.word, "cannot check")

    def test_every_truncation_is_refused(self):
        for length in range(0, len(GENUINE), 7):
            with self.subTest(length=length), self.assertRaises(verify_release.Verdict):
                verify_release.read_zip(GENUINE[:length])


class ShownTest(unittest.TestCase):
    def test_control_characters_are_escaped_and_text_cut(self):
        self.assertEqual(verify_release.shown("a\x1b[2K\r\n\x07\\b\u202e\x9b"),
                         "a\\x1b[2K\\x0d\\x0a\\x07\\\\b\\u202e\\x9b")
        self.assertEqual(verify_release.shown(b"\xff\x1b"), "\\\\xff\\x1b")
        self.assertEqual(verify_release.shown("x" * 100), "x" * 80 + "...")


class DerTest(unittest.TestCase):
    def test_lengths(self):
        self.assertEqual(verify_release.der(b"\x30\x03\x02\x01\x05", 0), (0x30, 2, 5))
        self.assertEqual(verify_release.der(b"\x04\x81\x80" + bytes(128), 0), (4, 3, 131))
        for what, data in [("truncated", b"\x30\x05\x02\x01"), ("no length", b"\x30"),
                           ("long form of a short length", b"\x04\x81\x05" + bytes(5)),
                           ("leading zero", b"\x04\x82\x00\x80" + bytes(128)),
                           ("indefinite", b"\x30\x80\x00\x00"), ("high tag", b"\x1f\x01\x00"),
                           ("beyond the data", b"\x04\x84\x7f\xff\xff\xff")]:
            with self.subTest(what), self.assertRaises(verify_release.Unreadable):
                verify_release.der(data, 0)

    def test_object_identifiers(self):
        self.assertEqual(verify_release.oid(b"\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01",
                                            (6, 2, 11, 0)), "2.16.840.1.101.3.4.2.1")


if __name__ == "__main__":
    unittest.main()
