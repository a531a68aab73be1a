"""The test command's last word: for each preset, how many of its tests passed,
failed and were skipped, read from CTest's JUnit file; for the Windows builds,
how their images ran; and what each of the style check's readers found.
Exits 1 when a test failed or did not run, when one was skipped and
ZARVEL_ALLOW_SKIPS=1 does not say that is enough, or when the style check
found something or did not run.

  test_summary.py BUILD_ROOT PRESET...   (BUILD_ROOT/PRESET/test-results*.xml,
                                          BUILD_ROOT/style-check.json)
"""

import glob
import json
import os
import sys
import xml.etree.ElementTree as ElementTree

# Run isolated (python3 -I), which leaves the script's own folder off the
# path; nothing is cached in the source tree.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True
import i386_emulation

HOW_IMAGES_RUN = {
    "win32": lambda: "its 32-bit images ran " + i386_emulation.describe(),
    "win64": lambda: "its x86-64 images ran natively",
}


def counts(results_file):
    """(passed, failed, skipped names) of one CTest run."""
    passed, failed, skipped = 0, 0, []
    for case in ElementTree.parse(results_file).getroot().iter("testcase"):
        if case.find("skipped") is not None:
            skipped.append(case.get("name"))
        elif case.get("status") == "run":
            passed += 1
        else:
            failed += 1
    return passed, failed, skipped


def style_verdict(verdict_file):
    """(passed, a line per reader) of tools/style_check.py's run."""
    if not os.path.exists(verdict_file):
        return False, ["FAILED: the style check did not run"]
    with open(verdict_file, encoding="utf-8") as verdict:
        found = json.load(verdict)
    readers = found["readers"]
    passed = found["passed"] is True and all(reader["passed"] is True for reader in readers)
    return passed, [f"{reader['reader']}: {reader['words']}" for reader in readers]


def main(argv):
    build_root, presets = argv[1], argv[2:]
    allow_skips = os.environ.get("ZARVEL_ALLOW_SKIPS") == "1"
    good = True
    print("== Summary")
    for preset in presets:
        # One file per CTest run: the test command may run a build's tests in parts.
        results_files = sorted(glob.glob(os.path.join(build_root, preset, "test-results*.xml")))
        if not results_files:
            print(f"{preset}: FAILED: no test results")
            good = False
            continue
        passed, failed, skipped = 0, 0, []
        for results_file in results_files:
            run_passed, run_failed, run_skipped = counts(results_file)
            passed, failed = passed + run_passed, failed + run_failed
            skipped += run_skipped
        words = [f"{passed} passed", f"{failed} failed" if failed else "none failed"]
        if skipped:
            words.append(f"{len(skipped)} skipped ({', '.join(skipped)})")
            good = good and allow_skips
        else:
            words.append("none skipped")
        if preset in HOW_IMAGES_RUN:
            words.append(HOW_IMAGES_RUN[preset]())
        good = good and failed == 0 and passed > 0
        print(f"{preset}: " + ", ".join(words))
    passed, lines = style_verdict(os.path.join(build_root, "style-check.json"))
    good = good and passed
    for line in lines:
        print("style: " + line)
    if not good:
        print("FAILED" + ("" if allow_skips else ": a skipped test counts as a failure;"
                          " ZARVEL_ALLOW_SKIPS=1 lets skipped tests pass"))
    return 0 if good else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
