"""The second readers of every tracked source: clang-format and clang-tidy for
the C++, shellcheck for the shell scripts, pyflakes for the Python.

  style_check.py BUILD_ROOT

clang-format (.clang-format) reads every tracked C++ file and must have
nothing to change. clang-tidy (.clang-tidy) reads each tracked source file as
the native and the two Windows builds compile it, from their compile databases
(BUILD_ROOT/<build>/compile_commands.json), with the project's own headers
that it includes; the fuzz build adds its target, which no other build
compiles. shellcheck reads every tracked file that ends in .sh or starts with
a sh or bash #! line; pyflakes every tracked .py file. Each finding is shown
once (a clang-tidy finding with the builds that found it). Exits 1 on a
finding, and writes each reader's verdict to BUILD_ROOT/style-check.json for
the test summary.

A compilation that clang-tidy read without a finding is not read again while
nothing it read has changed: the command, the configuration, this script, the
tracked files' names and the content of every file that the build's own
dependency file lists for it (BUILD_ROOT/style-clean.json keeps their digests).
"""

import concurrent.futures
import hashlib
import json
import os
import pathlib
import re
import shlex
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILDS = ("native", "win32", "win64")
# Built with the native sources again, which the native build has checked.
FUZZ_BUILD = "fuzz"
CXX_SUFFIXES = (".cpp", ".h")
# The project's own headers; the system's and GoogleTest's are not read.
SOURCE_DIRS = ("app", "bench", "registry", "scheme", "tests")
SHELLS = ("sh", "bash")
# A finding's first line, from clang-tidy, shellcheck (--format=gcc) and
# pyflakes alike: "path:line:column: text", clang-tidy's and shellcheck's
# text starting with "warning:", "error:" or "note:".
FINDING = re.compile(r"^\S.*:\d+:\d+: ")
TIDY_FINDING = re.compile(r"^\S.*:\d+:\d+: (warning|error): ")


def tracked_files():
    listed = subprocess.run(["git", "-C", str(ROOT), "ls-files", "-z"], check=True,
                            capture_output=True).stdout.decode()
    # A file deleted but not yet removed from git is no longer there to read.
    return sorted(name for name in listed.split("\0") if name and (ROOT / name).is_file())


def is_shell_script(path):
    """Whether PATH ends in .sh or its #! line names sh or bash, directly or through env."""
    if path.name.endswith(".sh"):
        return True
    with open(path, "rb") as script:
        first = script.readline(256)
    if not first.startswith(b"#!"):
        return False
    words = first[2:].decode(errors="replace").split()
    if words and os.path.basename(words[0]) == "env":
        words = [word for word in words[1:] if not word.startswith("-")]
    return bool(words) and os.path.basename(words[0]) in SHELLS


def findings_of(output, pattern=FINDING):
    """The findings in a reader's output, each with the lines that show it."""
    findings, current = [], None
    for line in output.splitlines():
        if pattern.match(line):
            current = [line]
            findings.append(current)
        elif current is not None:
            current.append(line)
    return ["\n".join(lines) for lines in findings]


# ---- the readers: each takes paths and gives its findings ----

def format_findings(paths):
    """What clang-format would change, a finding per place."""
    if not paths:
        return []
    run = subprocess.run(["clang-format", f"--style=file:{ROOT / '.clang-format'}", "--dry-run",
                          "--Werror"] + [str(path) for path in paths],
                         capture_output=True, text=True)
    findings = findings_of(run.stderr)
    if run.returncode != 0 and not findings:
        findings = [f"clang-format exited {run.returncode}: {run.stderr}"]
    return findings


def shellcheck_findings(paths):
    if not paths:
        return []
    run = subprocess.run(["shellcheck", "--format=gcc"] + [str(path) for path in paths],
                         capture_output=True, text=True)
    findings = findings_of(run.stdout)
    if run.returncode != 0 and not findings:
        findings = [f"shellcheck exited {run.returncode}: {run.stdout}{run.stderr}"]
    return findings


def pyflakes_findings(paths):
    if not paths:
        return []
    run = subprocess.run(["/usr/bin/python3", "-I", "-m", "pyflakes"]
                         + [str(path) for path in paths], capture_output=True, text=True)
    findings = findings_of(run.stdout + run.stderr)
    if run.returncode != 0 and not findings:
        findings = [f"pyflakes exited {run.returncode}: {run.stdout}{run.stderr}"]
    return findings


def tidy_command(database_dir, path, extra):
    header_filter = "^" + re.escape(str(ROOT)) + "/(" + "|".join(SOURCE_DIRS) + ")/"
    command = ["clang-tidy", "--quiet", f"--config-file={ROOT / '.clang-tidy'}",
               "-p", str(database_dir), f"--header-filter={header_filter}"]
    command += [f"--extra-arg={argument}" for argument in extra]
    return command + [str(path)]


def tidy_findings(database_dir, path, extra=()):
    """(findings, the run) of clang-tidy over PATH as DATABASE_DIR's build compiles it."""
    run = subprocess.run(tidy_command(database_dir, path, extra), cwd=ROOT, capture_output=True,
                         text=True)
    return findings_of(run.stdout, TIDY_FINDING), run


# ---- clang-tidy over the builds ----

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


def arguments_of(entry):
    return entry["arguments"] if "arguments" in entry else shlex.split(entry["command"])


def tidy_jobs(build_root, tracked):
    """(build, source, extra arguments, database entry) for each file that clang-tidy reads."""
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
            compiler = arguments_of(entry)[0]
            if compiler not in extra_by_compiler:
                extra_by_compiler[compiler] = cross_arguments(compiler)
            jobs.append((build, source, extra_by_compiler[compiler], entry))
            seen.add(source)
    return jobs, seen


def dependencies(entry):
    """The files the build's compiler read for ENTRY, from its dependency file; None without one."""
    arguments = arguments_of(entry)
    if "-o" not in arguments:
        return None
    depfile = pathlib.Path(entry["directory"], arguments[arguments.index("-o") + 1] + ".d")
    try:
        text = depfile.read_text(encoding="utf-8")
    except OSError:
        return None
    # Make's syntax: "target: file file \" lines, a space in a name escaped.
    words = re.split(r"(?<!\\)\s+", text.replace("\\\n", " "))
    files = [word.replace("\\ ", " ") for word in words[1:] if word and word != "\\"]
    # Response files (@file) are read as part of the command.
    files += [argument[1:] for argument in arguments if argument.startswith("@")]
    return [os.path.join(entry["directory"], name) for name in files]


def clean_key(context, command, entry, digests):
    """A digest of everything a clang-tidy run depends on; None where that is not known."""
    files = dependencies(entry)
    if files is None:
        return None
    key = hashlib.sha256(context)
    key.update(json.dumps([command, arguments_of(entry)]).encode())
    for name in sorted(set(files)):
        if name not in digests:
            try:
                digests[name] = hashlib.sha256(pathlib.Path(name).read_bytes()).hexdigest()
            except OSError:
                return None
        key.update(f"{name}\0{digests[name]}\0".encode())
    return key.hexdigest()


def read_clean_keys(path):
    try:
        return set(json.loads(path.read_text(encoding="utf-8")))
    except (OSError, ValueError):
        return set()


def run_tidy(build_root, jobs, tracked):
    """(findings with the builds that found each, failed runs, compilations read again)."""
    clean_file = build_root / "style-clean.json"
    known_clean, clean = read_clean_keys(clean_file), set()
    version = subprocess.run(["clang-tidy", "--version"], capture_output=True, check=True).stdout
    context = b"\0".join([version, (ROOT / ".clang-tidy").read_bytes(),
                          pathlib.Path(__file__).read_bytes(), "\0".join(tracked).encode()])
    digests = {}
    to_read = []
    for build, source, extra, entry in jobs:
        key = clean_key(context, tidy_command(build_root / build, ROOT / source, extra), entry,
                        digests)
        if key in known_clean:
            clean.add(key)
        else:
            to_read.append((build, source, extra, key))
    found, failed = {}, []

    def read(job):
        build, source, extra, key = job
        return job, tidy_findings(build_root / build, ROOT / source, extra)

    # The largest first, so that the last to finish is a short one.
    to_read.sort(key=lambda job: -(ROOT / job[1]).stat().st_size)
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
        for (build, source, _, key), (findings, run) in pool.map(read, to_read):
            for finding in findings:
                found.setdefault(finding, []).append(build)
            if run.returncode != 0 and not findings:
                failed.append(f"clang-tidy on {source} ({build}) exited {run.returncode}:\n"
                              + run.stdout + run.stderr)
            elif run.returncode == 0 and not findings and key is not None:
                clean.add(key)
    clean_file.write_text(json.dumps(sorted(clean)) + "\n", encoding="utf-8")
    return found, failed, len(to_read)


# ---- the verdict ----

def verdict(readers):
    """The record for the test summary: each reader's words, passed when none found anything.

    READERS: (name, what it read, its problems) for each reader.
    """
    words = []
    for name, read, problems in readers:
        words.append({"reader": name, "passed": not problems,
                      "words": (f"FAILED: {'; '.join(problems)}" if problems
                                else f"nothing found in {read}")})
    return {"passed": all(word["passed"] for word in words), "readers": words}


def counted(number, thing):
    return f"{number} {thing}{'' if number == 1 else 's'}"


def main(argv):
    build_root = pathlib.Path(argv[1]).resolve()
    verdict_file = build_root / "style-check.json"
    verdict_file.unlink(missing_ok=True)

    tracked = tracked_files()
    cxx = [name for name in tracked if name.endswith(CXX_SUFFIXES)]
    shell = [name for name in tracked if is_shell_script(ROOT / name)]
    python = [name for name in tracked if name.endswith(".py")]
    readers = []

    def report(name, read, findings, problems=()):
        for finding in findings:
            print(finding)
        problems = list(problems)
        if findings:
            problems.insert(0, counted(len(findings), "finding"))
        readers.append((name, read, problems))

    os.chdir(ROOT)  # findings name the files as git does
    report("clang-format", counted(len(cxx), "C++ file"), format_findings(cxx))
    report("shellcheck", counted(len(shell), "shell script"), shellcheck_findings(shell))
    report("pyflakes", counted(len(python), "Python file"), pyflakes_findings(python))

    jobs, seen = tidy_jobs(build_root, set(tracked))
    files = len({source for _, source, _, _ in jobs})
    print(f"style: clang-tidy reads {files} sources in {len(jobs)} compilations"
          f" ({', '.join(BUILDS + (FUZZ_BUILD,))})", flush=True)
    found, failed, read_again = run_tidy(build_root, jobs, tracked)
    problems = []
    unread = [name for name in cxx if name.endswith(".cpp") and name not in seen]
    if unread:
        problems.append("no build compiles " + ", ".join(unread))
    if failed:
        problems.append(counted(len(failed), "failed run"))
    for failure in failed:
        print(failure)
    shown = []
    for finding, builds in found.items():
        names = sorted(set(builds))
        shown.append(f"{finding}\n  (found in the {' and '.join(names)}"
                     f" build{'s' if len(names) > 1 else ''})\n")
    unchanged = len(jobs) - read_again
    report("clang-tidy", f"{files} sources in {len(jobs)} compilations"
           + (f" ({unchanged} unchanged since they read clean)" if unchanged else ""),
           shown, problems)

    record = verdict(readers)
    verdict_file.write_text(json.dumps(record) + "\n", encoding="utf-8")
    for reader in record["readers"]:
        print(f"style: {reader['reader']}: {reader['words']}")
    return 0 if record["passed"] else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
