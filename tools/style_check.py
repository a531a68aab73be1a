"""The C++ sources' second readers: clang-format and clang-tidy.

  style_check.py BUILD_ROOT

clang-format (.clang-format) reads every tracked C++ file and must have
nothing to change. clang-tidy (.clang-tidy) reads each tracked source file as
the native and the two Windows builds compile it, from their compile databases
(BUILD_ROOT/<build>/compile_commands.json), with the project's own headers
that it includes; the fuzz build adds its target, which no other build
compiles. Each finding is shown once, with the builds that found it. Exits 1
on a finding, and writes the verdict to BUILD_ROOT/style-check.json for the
test summary.
"""

import concurrent.futures
import json
import os
import pathlib
import re
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILDS = ("native", "win32", "win64")
# Built with the native sources again, which the native build has checked.
FUZZ_BUILD = "fuzz"
CXX_SUFFIXES = (".cpp", ".h")
# The project's own headers; the system's and GoogleTest's are not read.
SOURCE_DIRS = ("app", "bench", "registry", "scheme", "tests")
# A finding's first line: "path:line:column: warning: text [check]".
FINDING = re.compile(r"^\S.*:\d+:\d+: (warning|error): ")


def tracked_cxx_files():
    listed = subprocess.run(["git", "-C", str(ROOT), "ls-files", "-z"], check=True,
                            capture_output=True).stdout.decode()
    return sorted(name for name in listed.split("\0") if name.endswith(CXX_SUFFIXES))


def search_dirs(compiler, language):
    """The include directories that COMPILER searches for LANGUAGE, in order."""
    run = subprocess.run([compiler, "-x", language, "-E", "-v", "-"], stdin=subprocess.DEVNULL,
                         capture_output=True, text=True, check=True)
    lines = run.stderr.splitlines()
    start = lines.index("#include <...> search starts here:") + 1
    end = lines.index("End of search list.")
    return [os.path.normpath(line.strip()) for line in lines[start:end]]


def cross_arguments(compiler):
    """What clang-tidy needs to read code as COMPILER, a mingw-w64 g++, builds it.

    Left to itself, clang for a mingw-w64 target takes the host's C++ library
    and /usr/include. It is given the target and exactly the compiler's own
    library and Windows headers instead, with clang's builtin headers in the
    place of gcc's.
    """
    target = subprocess.run([compiler, "-dumpmachine"], capture_output=True, text=True,
                            check=True).stdout.strip()
    if not target.endswith("-w64-mingw32"):
        return []
    gcc_own = {
        os.path.normpath(
            subprocess.run([compiler, f"-print-file-name={name}"], capture_output=True,
                           text=True, check=True).stdout.strip())
        for name in ("include", "include-fixed")
    }
    c_dirs = search_dirs(compiler, "c")
    cxx_dirs = [d for d in search_dirs(compiler, "c++") if d not in c_dirs]
    arguments = [f"--target={target}", "-nostdinc++", "-nostdlibinc"]
    arguments += [f"-isystem{d}" for d in cxx_dirs]
    arguments += [f"-idirafter{d}" for d in c_dirs if d not in gcc_own]
    return arguments


def compile_database(build_dir):
    with open(build_dir / "compile_commands.json", encoding="utf-8") as database:
        return json.load(database)


def compiler_of(entry):
    if "arguments" in entry:
        return entry["arguments"][0]
    return entry["command"].split()[0]


def tidy_jobs(build_root, tracked):
    """(build, source, extra arguments) for each file that clang-tidy reads."""
    jobs, seen = [], set()
    for build in BUILDS + (FUZZ_BUILD,):
        if not (build_root / build / "compile_commands.json").exists():
            raise SystemExit(f"style_check: no compile database in {build_root / build};"
                             f" configure the {build} preset first")
        extra_by_compiler = {}
        for entry in compile_database(build_root / build):
            source = os.path.relpath(os.path.join(entry["directory"], entry["file"]), ROOT)
            if source not in tracked or (build == FUZZ_BUILD and source in seen):
                continue
            compiler = compiler_of(entry)
            if compiler not in extra_by_compiler:
                extra_by_compiler[compiler] = cross_arguments(compiler)
            jobs.append((build, source, extra_by_compiler[compiler]))
            seen.add(source)
    return jobs, seen


def run_tidy(build_root, build, source, extra):
    header_filter = "^" + re.escape(str(ROOT)) + "/(" + "|".join(SOURCE_DIRS) + ")/"
    command = ["clang-tidy", "--quiet", "-p", str(build_root / build),
               f"--header-filter={header_filter}"]
    command += [f"--extra-arg={argument}" for argument in extra]
    command.append(str(ROOT / source))
    run = subprocess.run(command, cwd=ROOT, capture_output=True, text=True)
    return build, source, run


def findings_of(output):
    """The findings of one clang-tidy run, each with the lines that show it."""
    findings, current = [], None
    for line in output.splitlines():
        if FINDING.match(line):
            current = [line]
            findings.append(current)
        elif current is not None:
            current.append(line)
    return ["\n".join(lines) for lines in findings]


def check_format(tracked):
    """(whether clang-format leaves every file as it is, what it would change)."""
    run = subprocess.run(["clang-format", "--dry-run", "--Werror"] + tracked, cwd=ROOT,
                         capture_output=True, text=True)
    return run.returncode == 0, run.stderr


def main(argv):
    build_root = pathlib.Path(argv[1]).resolve()
    verdict_file = build_root / "style-check.json"
    verdict_file.unlink(missing_ok=True)
    problems = []

    tracked = tracked_cxx_files()
    formatted, format_output = check_format(tracked)
    if not formatted:
        print(format_output, end="")
        problems.append("clang-format would change the layout")

    tracked_set = set(tracked)
    jobs, seen = tidy_jobs(build_root, tracked_set)
    unread = [name for name in tracked if name.endswith(".cpp") and name not in seen]
    if unread:
        print("No build compiles " + ", ".join(unread) + "; clang-tidy cannot read it.")
        problems.append("sources that no build compiles")

    files = len({source for _, source, _ in jobs})
    print(f"style: clang-tidy reads {files} sources in {len(jobs)} compilations"
          f" ({', '.join(BUILDS + (FUZZ_BUILD,))})", flush=True)
    found = {}  # finding -> builds
    failed_runs = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
        runs = [pool.submit(run_tidy, build_root, *job) for job in jobs]
        for done in runs:
            build, source, run = done.result()
            findings = findings_of(run.stdout)
            for finding in findings:
                found.setdefault(finding, []).append(build)
            if run.returncode != 0 and not findings:
                failed_runs.append(f"clang-tidy on {source} ({build}) exited {run.returncode}:\n"
                                   + run.stdout + run.stderr)
    for finding, builds in found.items():
        names = sorted(set(builds))
        print(finding)
        print(f"  (found in the {' and '.join(names)} build{'s' if len(names) > 1 else ''})\n")
    for failure in failed_runs:
        print(failure)
    if found:
        problems.append(f"{len(found)} clang-tidy findings")
    if failed_runs:
        problems.append(f"{len(failed_runs)} clang-tidy runs failed")

    if problems:
        words = "FAILED: " + "; ".join(problems)
    else:
        words = (f"clang-format and clang-tidy found nothing in {len(tracked)} files"
                 f" ({files} sources read in {len(jobs)} compilations)")
    verdict_file.write_text(json.dumps({"passed": not problems, "words": words}) + "\n",
                            encoding="utf-8")
    print("style: " + words)
    return 0 if not problems else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
