"""The release metadata program's readings: link maps, copyright files and
dpkg's answers, and its fixed formats. No cross toolchain needed."""

import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
sys.dont_write_bytecode = True  # nothing cached in the source tree
import release_info

GCC = "/usr/lib/gcc/i686-w64-mingw32/12-posix"
MAP = f"""Archive member included to satisfy reference by file (symbol)

libzarvel_app.a(command_line.cpp.obj)
                              CMakeFiles/zarvel-uri.dir/objects.a(main.cpp.obj) (main)
{GCC}/libstdc++.a(cp-demangle.o)
                              {GCC}/libstdc++.a(vterminate.o) (__cxa_demangle)
{GCC}/../../../../i686-w64-mingw32/lib/../lib/libmingwex.a(gdtoa.o)  {GCC}/x.o (__gdtoa)
/work/build/libown.a(own.o)   main.o (own)

Discarded input sections

LOAD {GCC}/../../../../i686-w64-mingw32/lib/../lib/crt2.o
LOAD {GCC}/crtbegin.o
LOAD CMakeFiles/zarvel-uri.dir/objects.a
LOAD {GCC}/libgcc.a
LOAD /work/source/app/windows/zarvel-uri.def
"""

HEADER = "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"


def stanza(files, licence, fields="Files: {files}\nCopyright: someone\nLicense: {licence}\n"):
    return "\n" + fields.format(files=files, licence=licence) + " text\n"


class LinkMapTest(unittest.TestCase):
    def test_archives_members_and_start_up_objects_outside_the_project(self):
        self.assertEqual(release_info.linked_files(MAP, "/work/source", "/work/build"), {
            f"{GCC}/libstdc++.a": {"cp-demangle.o"},
            "/usr/i686-w64-mingw32/lib/libmingwex.a": {"gdtoa.o"},
            "/usr/i686-w64-mingw32/lib/crt2.o": set(),
            f"{GCC}/crtbegin.o": set()})

    def test_a_map_without_libraries_fails(self):
        with self.assertRaisesRegex(release_info.Failure, "names no libraries"):
            release_info.linked_files("LOAD main.o\n", "/work/source", "/work/build")

    def test_a_file_no_package_owns_fails(self):
        with self.assertRaisesRegex(release_info.Failure, "no Debian package owns"):
            release_info.owner("/usr/lib/gcc/no-such-target/libnothing.a")


class DpkgAnswerTest(unittest.TestCase):
    def test_owner(self):
        cases = [  # dpkg -S's answer for the path, the owner
            ("mingw-w64-i686-dev: /usr/lib/x.a\n", "mingw-w64-i686-dev"),
            ("diversion by dash from: /usr/lib/x.a\ndiversion by dash to: /usr/lib/x.a.distrib\n"
             "coreutils: /usr/lib/x.a\n", "coreutils"),
            ("libfoo:amd64: /usr/lib/x.a\n", "libfoo:amd64"),
            ("a: /usr/lib/x.a.old\nb: /usr/lib/x.a\n", "b"),
        ]
        for answer, expected in cases:
            with self.subTest(answer=answer):
                self.assertEqual(release_info.owner("/usr/lib/x.a", answer), expected)

    def test_not_one_owner_fails(self):
        for answer in ("libfoo:amd64, libfoo:i386: /usr/lib/x.a\n",
                       "diversion by dash from: /usr/lib/x.a\n"):
            with self.subTest(answer=answer), self.assertRaises(release_info.Failure):
                release_info.owner("/usr/lib/x.a", answer)

    def test_package(self):
        self.assertEqual(release_info.package("libfoo:i386", "libfoo\ti386\t1:2.0-1\n"),
                         ("libfoo", "i386", "1:2.0-1"))
        # Both architectures of a Multi-Arch: same package, asked without one.
        for answer in ("libfoo\tamd64\t2.0-1\nlibfoo\ti386\t2.0-1\n", "libfoo\tamd64\t\n", ""):
            with self.subTest(answer=answer), self.assertRaises(release_info.Failure):
                release_info.package("libfoo", answer)


class CopyrightTest(unittest.TestCase):
    def licences(self, text):
        return release_info.mingw_licences(text.splitlines(keepends=True))

    def test_licences_of_the_runtime_files(self):
        cases = [  # copyright file, expression
            (HEADER + stanza("*", "ZPL-2.1") + stanza("mingw-w64-crt/gdtoa/*", "Lucent") +
             stanza("mingw-w64-crt/profile/* mingw-w64-headers/*", "GPL-3+"),
             "LicenseRef-Lucent AND ZPL-2.1"),
            # Field names in any case, Format not the header's first field.
            ("Upstream-Name: x\nformat: " + HEADER.split(": ")[1] +
             stanza("*", "expat", "files: {files}\ncopyright: someone\nlicense: {licence}\n"),
             "MIT"),
            # A later paragraph governs the files it names.
            (HEADER + stanza("mingw-w64-crt/*", "ISC") + stanza("*", "ZPL-2.1"), "ZPL-2.1"),
            (HEADER + stanza("*", "expat or ISC"), "ISC OR MIT"),
            (HEADER + stanza("*", "GPL-2+ with Font exception"),
             "GPL-2.0-or-later WITH Font-exception-2.0"),
            (HEADER + stanza("*.c", "BSD-2-clause-NetBSD and ISC"), "BSD-2-Clause AND ISC"),
        ]
        for text, expected in cases:
            with self.subTest(text=text):
                self.assertEqual(self.licences(text), expected)

    def test_unreadable_or_unknown_licences_fail(self):
        cases = [  # copyright file, what the failure says
            (HEADER + stanza("*", "", "Files: {files}\nCopyright: someone\n"), "machine-readable"),
            ("This is free-form.\n", "machine-readable"),
            (HEADER + stanza("*", "Artistic"), "no SPDX expression"),
            (HEADER + stanza("mingw-w64-headers/*", "ISC"), "no licence found"),
        ]
        for text, message in cases:
            with self.subTest(text=text), self.assertRaisesRegex(release_info.Failure, message):
                self.licences(text)

    def test_gcc_runtime_and_the_demangler(self):
        words = "x " + release_info.GCC_RUNTIME_WORDS.replace(" ", "\n  ") + " (included)"
        linked = {f"{GCC}/libgcc.a": {"_udivdi3.o"}, f"{GCC}/crtend.o": set()}
        self.assertEqual(release_info.gcc_licences(words, linked), release_info.GCC_RUNTIME)
        linked[f"{GCC}/libstdc++.a"] = {"cp-demangle.o", "eh_throw.o"}
        self.assertEqual(release_info.gcc_licences(words, linked),
                         "GPL-2.0-or-later WITH GCC-exception-2.0 AND " + release_info.GCC_RUNTIME)
        with self.assertRaisesRegex(release_info.Failure, "no longer says"):
            release_info.gcc_licences("free-form words", linked)


class FormatTest(unittest.TestCase):
    def test_purl(self):
        self.assertEqual(
            release_info.purl("g++-mingw-w64-i686-posix", "12.2.0-14+deb12u1+25.2+b1", "amd64"),
            "pkg:deb/debian/g%2B%2B-mingw-w64-i686-posix@12.2.0-14%2Bdeb12u1%2B25.2%2Bb1"
            "?arch=amd64&distro=debian-12")
        self.assertEqual(release_info.purl("a", "1:2.0~rc1", "all"),
                         "pkg:deb/debian/a@1%3A2.0~rc1?arch=all&distro=debian-12")

    def test_serial_number(self):
        # A version 5 UUID in the URL namespace of the content's SHA-256, as
        # release 1.2.0 computed it with sha1sum.
        self.assertEqual(release_info.serial_number(b'{"bom": 1}'),
                         "urn:uuid:3e848b4d-558c-571e-81e2-7a078778ab71")


if __name__ == "__main__":
    unittest.main()
