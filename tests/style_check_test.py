"""The style check's readers each report a finding planted in a file of their
own language, pass its corrected twin, and fail the verdict with it.

  style_check_test.py
"""

import json
import os
import pathlib
import sys
import tempfile
import unittest

# Run isolated (python3 -I), which leaves the tools' folder off the path;
# nothing is cached in the source tree.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
sys.dont_write_bytecode = True
import style_check

# (file name, planted text, corrected text, what the finding names) per reader.
PLANTED = {
    "clang-format": ("layout.cpp", "int main()  { return 0; }\n", "int main() { return 0; }\n",
                     "clang-format-violations"),
    "clang-tidy": ("tidy.cpp", "int main() {\n  int* p = 0;\n  return p == nullptr;\n}\n",
                   "int main() {\n  int* p = nullptr;\n  return p == nullptr;\n}\n",
                   "modernize-use-nullptr"),
    "shellcheck": ("script.sh", "#!/bin/sh\necho $1\n", '#!/bin/sh\necho "$1"\n', "SC2086"),
    "pyflakes": ("module.py", "import os\n", "import os\n\nprint(os.sep)\n",
                 "'os' imported but unused"),
}


class ReadersTest(unittest.TestCase):
    def setUp(self):
        self.folder = pathlib.Path(tempfile.mkdtemp())
        self.addCleanup(lambda: [path.unlink() for path in self.folder.iterdir()]
                        and self.folder.rmdir())

    def write(self, name, text):
        path = self.folder / name
        path.write_text(text, encoding="utf-8")
        return path

    def findings(self, reader, path):
        if reader == "clang-format":
            return style_check.format_findings([path])
        if reader == "shellcheck":
            return style_check.shellcheck_findings([path])
        if reader == "pyflakes":
            return style_check.pyflakes_findings([path])
        database = [{"directory": str(self.folder), "file": path.name,
                     "arguments": ["c++", "-std=c++17", "-c", path.name]}]
        self.write("compile_commands.json", json.dumps(database))
        findings, _ = style_check.tidy_findings(self.folder, path)
        return findings

    def test_each_reader_reports_what_was_planted_and_passes_its_twin(self):
        for reader, (name, planted, corrected, named) in PLANTED.items():
            with self.subTest(reader):
                findings = self.findings(reader, self.write(name, planted))
                self.assertEqual(len(findings), 1, findings)
                self.assertIn(name, findings[0])
                self.assertIn(named, findings[0])
                self.assertEqual(self.findings(reader, self.write(name, corrected)), [])

    def test_a_finding_of_any_reader_fails_the_verdict(self):
        clean = [(reader, "one file", []) for reader in PLANTED]
        self.assertTrue(style_check.verdict(clean)["passed"])
        for reader in PLANTED:
            with self.subTest(reader):
                readers = [(name, "one file", ["1 finding"] if name == reader else [])
                           for name in PLANTED]
                record = style_check.verdict(readers)
                self.assertFalse(record["passed"])
                failed = [entry["reader"] for entry in record["readers"] if not entry["passed"]]
                self.assertEqual(failed, [reader])

    def test_shell_scripts_are_known_by_suffix_or_first_line(self):
        cases = {
            "run": ("#!/usr/bin/env bash\nset -e\n", True),
            "plain": ("#!/bin/sh\n", True),
            "env_with_option": ("#!/usr/bin/env -S bash -e\n", True),
            "tool.sh": ("echo no first line\n", True),
            "script": ("#!/usr/bin/python3\n", False),
            "notes": ("sh is a shell\n", False),
        }
        for name, (text, expected) in cases.items():
            with self.subTest(name):
                self.assertEqual(style_check.is_shell_script(self.write(name, text)), expected)


if __name__ == "__main__":
    unittest.main()
