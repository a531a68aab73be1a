"""What a release says about how it was made.
  release_info.py OUT_DIR MAP SOURCE_DIR BUILD_DIR VERSION PLATFORM PRESET SUM_FILE SOURCES
                  COMPILER TOOL...
writes the notices, BUILDINFO and the bill of materials from one reading, all
or none. SOURCES: what the package takes from SOURCE_DIR, comma-separated; none
of it may be untracked by git, since BUILDINFO would say the tree was clean.
"""

import hashlib
import json
import os
import pathlib
import platform
import re
import shutil
import subprocess
import sys
import time
import urllib.parse
import uuid
import zipfile

from debian import copyright as debian_copyright
import license_expression as spdx

SUPPLIER = {"name": "the zarvel-uri authors"}
# Debian's short licence names as SPDX ids (LicenseRef- where SPDX has none),
# and the exceptions of its "with <name> exception".
DEBIAN_NAMES = {"ZPL-2.1": "ZPL-2.1", "expat": "MIT", "ISC": "ISC", "BSD-3-clause": "BSD-3-Clause",
                "BSD-2-clause-NetBSD": "BSD-2-Clause", "BSD-3-clause-Lockless": "BSD-3-Clause",
                "GPL-2+": "GPL-2.0-or-later", "GPL-3+": "GPL-3.0-or-later",
                "LGPL-2.1+": "LGPL-2.1-or-later"} | {
    n: "LicenseRef-" + n for n in ("public-domain", "Lucent", "David-Gay", "Permissive-Sun",
                                   "Keith-Marshall")}
DEBIAN_EXCEPTIONS = {"Font": "Font-exception-2.0"}
# Where each linked package's licences come from. mingw-w64's copyright file
# is machine-readable: what it declares for the files that the runtime is
# built from (the CRT and winpthreads, not profiling or tests). GCC's is
# free-form: its words, checked below, and a member's own source's.
LICENCE_SOURCE = {f"mingw-w64-{a}-dev": "mingw-w64" for a in ("i686", "x86-64")} | {
    f"{c}-mingw-w64-{a}-posix": "gcc" for c in ("gcc", "g++") for a in ("i686", "x86-64")}
MINGW_RUNTIME = ("mingw-w64-crt/", "mingw-w64-libraries/winpthreads/")
MINGW_NOT_LINKED = ("mingw-w64-crt/profile/", "mingw-w64-crt/testcases/",
                    "mingw-w64-libraries/winpthreads/tests_pthread/")
GCC_RUNTIME = "GPL-3.0-or-later WITH GCC-exception-3.1"
GCC_RUNTIME_WORDS = ("The following runtime libraries are licensed under the terms of the GNU"
                     " General Public License (v3 or later) with version 3.1 of the GCC Runtime"
                     " Library Exception")
# Members whose sources state other terms. libstdc++'s demangler is libiberty's
# cp-demangle.c: its header grants the GPL, version 2 or later, and "unlimited
# permission to link the compiled version of this file into combinations with
# other programs" (GCC-exception-2.0). Debian's file speaks of libstdc++-v3 whole.
GCC_MEMBERS = {("libstdc++.a", "cp-demangle.o"): "GPL-2.0-or-later WITH GCC-exception-2.0"}

_KNOWN = {id(s): s for s in spdx.get_spdx_licensing().known_symbols.values()}
SPDX = spdx.Licensing(list(_KNOWN.values()) + [
    spdx.LicenseSymbol(n) for n in sorted(set(DEBIAN_NAMES.values())) if n[:11] == "LicenseRef-"])
DEBIAN = spdx.Licensing([spdx.LicenseSymbol(s, aliases=tuple(
    d for d, t in DEBIAN_NAMES.items() if t == s and d != s)) for s in set(DEBIAN_NAMES.values())] +
    [spdx.LicenseSymbol(s, aliases=(d,), is_exception=True) for d, s in DEBIAN_EXCEPTIONS.items()])


class Failure(Exception):
    pass


def run(*command, check=False, stdin=None):
    return subprocess.run(command, input=stdin, capture_output=True, text=True, check=check)


def linked_files(map_text, source, build):
    """{file: members} of the archives and whole objects outside this project in the image."""
    found, in_members = {}, False
    for line in map_text.splitlines():
        member = re.match(r"([^\s(][^(]*)\(([^)]+)\)", line)
        if line.startswith("Archive member included"):
            in_members = True
        elif re.match("Allocating common|Discarded input|Memory Configuration|Linker script", line):
            in_members = False
        elif in_members and member:
            found.setdefault(os.path.normpath(member.group(1)), set()).add(member.group(2))
        elif line.startswith("LOAD ") and line.endswith(".o"):
            found.setdefault(os.path.normpath(line[5:].strip()), set())
    ours = tuple(os.path.join(folder, "") for folder in (source, build))
    outside = {path: members for path, members in found.items()  # relative: this build's own
               if os.path.isabs(path) and not path.startswith(ours)}
    if not outside:
        raise Failure("the map names no libraries")
    return outside


def owner(path, answer=None):
    """The one package, as dpkg names it, that `dpkg -S` (its ANSWER) gives for a file."""
    if answer is None:
        for name in (path, os.path.realpath(path)):
            found = run("dpkg", "-S", name)
            if found.returncode == 0:
                return owner(name, found.stdout)
        raise Failure(f"no Debian package owns {path}")
    owners = [name for line in answer.splitlines() if not line.startswith("diversion by ")
              and line.endswith(": " + path) for name in line[:-len(path) - 2].split(", ")]
    if len(owners) != 1:
        raise Failure(f"not one Debian package owns {path}: {owners}")
    return owners[0]


def package(name, answer=None):
    """(name, architecture, version) of one package of one architecture, from dpkg-query."""
    if answer is None:
        answer = run("dpkg-query", "-W", "-f=${Package}\t${Architecture}\t${Version}\n", name,
                     check=True).stdout
    fields = answer.split("\t") if answer.count("\n") == 1 else []
    if len(fields) != 3 or not all(f.strip() for f in fields):
        raise Failure(f"dpkg-query names not one installed package {name}: {answer!r}")
    return tuple(f.strip() for f in fields)


def all_of(texts, licensing=SPDX):
    """The SPDX expression that all these hold, parsed, validated and written by the library."""
    text = " AND ".join(f"({t})" for t in sorted(set(texts)))
    try:
        return SPDX.parse(licensing.parse(text, validate=True, strict=True).render(),
                          validate=True, strict=True).simplify().render()
    except spdx.ExpressionError as error:
        raise Failure(f"no SPDX expression for {text}: {error}") from error


def mingw_licences(lines):
    """The licences declared for the runtime's files. Names of each Files pattern's
    shape stand for them; the library says which paragraph governs each."""
    try:
        copyright = debian_copyright.Copyright(lines)
        names = set()
        for pattern in (p for para in copyright.all_files_paragraphs() for p in para.files):
            name = re.sub(r"[*?]", "x", pattern)
            names |= {name} | ({f + name for f in MINGW_RUNTIME} if pattern[0] in "*?" else set())
        governing = {copyright.find_files_paragraph(name).license.synopsis for name in names
                     if name.startswith(MINGW_RUNTIME) and not name.startswith(MINGW_NOT_LINKED)}
    except (debian_copyright.Error, AttributeError) as error:
        raise Failure(f"not a machine-readable copyright file: {error}") from error
    if not governing:
        raise Failure("no licence found for the runtime's files")
    exception = r"\bwith\s+(\S+)\s+exception\b"
    return all_of((re.sub(exception, r"WITH \1", s, flags=re.I) for s in governing), DEBIAN)


def gcc_licences(copyright_text, linked):
    parts = {GCC_MEMBERS.get((os.path.basename(f), m), GCC_RUNTIME)
             for f, members in linked.items() for m in (members or {None})}
    if GCC_RUNTIME in parts and GCC_RUNTIME_WORDS not in " ".join(copyright_text.split()):
        raise Failure(f"the copyright file no longer says: {GCC_RUNTIME_WORDS}")
    return all_of(parts)


def licence_of(name, linked):
    """(acknowledgement, expression) of what the link takes from a package. In CycloneDX,
    declared is the package's statement as it stands, concluded what analysis found."""
    if name not in LICENCE_SOURCE:
        raise Failure(f"no licence table entry for {name}")
    text = pathlib.Path(f"/usr/share/doc/{name}/copyright").read_text(encoding="utf-8")
    if LICENCE_SOURCE[name] == "mingw-w64":
        return "declared", mingw_licences(text.splitlines(keepends=True))
    return "concluded", gcc_licences(text, linked)


def purl(name, version, arch):
    def quoted(text):  # all but letters, digits and ._~- percent-encoded, so + is %2B
        return urllib.parse.quote(text, safe="")
    return f"pkg:deb/debian/{quoted(name)}@{quoted(version)}?arch={quoted(arch)}&distro=debian-12"


def serial_number(content):
    """A name-based UUID of the bill's content: the same bill, the same number."""
    return f"urn:uuid:{uuid.uuid5(uuid.NAMESPACE_URL, hashlib.sha256(content).hexdigest())}"


def libraries(linked):
    return " ".join(sorted({os.path.basename(f) for f in linked}))


def notices(packages):
    text = ("Third-party notices for zarvel-uri.exe\n\n"
            "zarvel-uri.exe is linked statically. Besides its own code it holds parts of\n"
            "the libraries below, taken from these Debian packages. Each package's\n"
            "copyright file follows, as Debian ships it; it names the licences that apply.\n\n")
    text += "".join(f"{p['name']} {p['version']}: {libraries(p['linked'])}\n" for p in packages)
    given = {}  # packages built from one source often share one copyright file
    for p in packages:
        text += (f"\n{'=' * 79}\nPackage: {p['name']}\nVersion: {p['version']}\n"
                 f"Libraries: {libraries(p['linked'])}\n\n")
        copyright = os.path.realpath(f"/usr/share/doc/{p['name']}/copyright")
        if copyright in given:
            text += f"Its copyright file is the one given above for {given[copyright]}.\n"
        else:
            given[copyright], text = p["name"], text + pathlib.Path(copyright).read_text()
    return text


def bill(packages, build):
    tool = {"type": "application", "name": "zarvel-uri release_info.py",
            "version": build["version"], "supplier": SUPPLIER}
    image = {"type": "application", "bom-ref": "zarvel-uri", "supplier": SUPPLIER,
             "name": "zarvel-uri", "version": build["version"], "hashes": [
                 {"alg": "SHA-256", "content": build["image_sha256"]}],
             "description": f"zarvel-uri.exe for {build['platform']}, as built, before any signing",
             "licenses": [{"license": {"id": "MIT", "acknowledgement": "declared"}}]}
    metadata = ({"timestamp": build["timestamp"]} if build["timestamp"] else {}) | {
        "lifecycles": [{"phase": "build"}], "tools": {"components": [tool]}, "component": image}
    components = [{
        "type": "library", "bom-ref": p["purl"], "publisher": "Debian", "name": p["name"],
        "version": p["version"], "description": "Linked into the image: " + libraries(p["linked"]),
        "licenses": [{"expression": p["licence"][1], "acknowledgement": p["licence"][0]}],
        "purl": p["purl"]} for p in packages]
    rest = {"version": 1, "metadata": metadata, "components": components,
            "dependencies": [{"ref": "zarvel-uri", "dependsOn": [p["purl"] for p in packages]}]}
    if build["commit"] != "unknown":
        # The commit goes where CycloneDX records how a component was made, its
        # formulation: a build workflow with the commit among its inputs and the
        # image as output. pedigree.commits traces how one departs from an ancestor.
        inputs = [{"name": n, "value": build[n]} for n in ("commit", "preset", "changes")]
        rest["formulation"] = [{"bom-ref": "formula", "workflows": [{
            "bom-ref": "build", "uid": "build", "taskTypes": ["build"],
            "name": f"cmake --build --preset {build['preset']} --target package",
            "inputs": [{"parameters": inputs}],
            "outputs": [{"type": "artifact", "resource": {"ref": "zarvel-uri"}}]}]}]
    head = {"$schema": "http://cyclonedx.org/schema/bom-1.6.schema.json",
            "bomFormat": "CycloneDX", "specVersion": "1.6"}
    serial = serial_number(json.dumps(head | rest, indent=2).encode())
    return json.dumps(head | {"serialNumber": serial} | rest, indent=2) + "\n"


def buildinfo(build, installed):
    lines = ["Name: zarvel-uri", f"Version: {build['version']}", f"Platform: {build['platform']}",
             f"Preset: {build['preset'] or 'none'}", f"Commit: {build['commit']}",
             f"Uncommitted-Changes: {build['changes']}", f"Debian-Release: {build['debian']}"]
    lines += [f"Package: {name} {installed[name][2]}" for name in sorted(installed)]
    return "\n".join(lines + [f"Image-SHA256: {build['image_sha256']}", ""])


def source_state(source):
    """commit, uncommitted changes and time stamp of the tree ("unknown" without git)."""
    git = ("git", "-C", source)
    head = run(*git, "rev-parse", "--verify", "HEAD")
    commit, changes, epoch = "unknown", "unknown", os.environ.get("SOURCE_DATE_EPOCH")
    if head.returncode == 0:
        commit = head.stdout.strip()
        changes = "yes" if run(*git, "status", "--porcelain", "-uno").stdout.strip() else "no"
        epoch = epoch or run(*git, "log", "-1", "--format=%ct", commit).stdout
    return {"commit": commit, "changes": changes,
            "timestamp": epoch and time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(int(epoch)))}


def untracked(source, paths):
    """Files below PATHS that git does not track, ignored ones included."""
    listed = run("git", "-C", source, "ls-files", "--others", "-z", "--", *paths)
    return sorted(name for name in listed.stdout.split("\0") if name)


def build_programs(compiler, tools):
    """The programs that built the image, the compiler's own and <windows.h>."""
    own = [run(compiler, f"-print-prog-name={p}", check=True).stdout.strip()
           for p in ("cc1plus", "ld")]
    header = run(compiler, "-E", "-H", "-x", "c++", "-", stdin="#include <windows.h>\n")
    found = [line.split()[1] for line in header.stderr.splitlines() if line.startswith(". ")]
    if not found:
        raise Failure(f"{compiler} reads no <windows.h>")
    return [shutil.which(p) or p for p in (compiler, *tools)] + [*own, found[0]]


# What writes the release's files besides the compiler: this program with its
# libraries, and the zip writer. Their versions shape the bytes too.
WRITERS = (zipfile, debian_copyright, spdx)


def linked_packages(map_file, source, build):
    """{package as dpkg names it: {file: members}} of what the image holds."""
    by_package = {}
    for path, members in sorted(linked_files(pathlib.Path(map_file).read_text(), source,
                                             build).items()):
        by_package.setdefault(owner(path), {})[path] = members
    return by_package


def write(out_dir, map_file, source, build_dir, version, target, preset, sum_file, sources,
          *programs):
    state = source_state(source)
    if state["commit"] != "unknown":
        stray = untracked(source, sources.split(","))
        if stray:
            raise Failure(f"{stray[0]} is not tracked by git, and BUILDINFO would say the tree"
                          " had no uncommitted changes: add it to git or remove it")
    by_package = linked_packages(map_file, source, build_dir)
    programs = build_programs(programs[0], programs[1:]) + [m.__file__ for m in WRITERS]
    names = {owner(p) for p in programs} | set(by_package)
    installed = {name: package(name) for name in names}  # once each: the files agree
    packages = []
    for name, linked in sorted(by_package.items()):
        bare, arch, package_version = installed[name]
        packages.append({"name": bare, "version": package_version, "linked": linked,
                         "purl": purl(bare, package_version, arch),
                         "licence": licence_of(bare, linked)})
    debian = (f"{pathlib.Path('/etc/debian_version').read_text().strip()}"
              f" ({platform.freedesktop_os_release()['VERSION_CODENAME']})")
    build = {"version": version, "platform": target, "preset": preset, "debian": debian,
             "image_sha256": pathlib.Path(sum_file).read_text().split()[0]} | state
    outputs = {"THIRD-PARTY-NOTICES.txt": notices(packages),
               "BUILDINFO": buildinfo(build, installed),
               "zarvel-uri.cdx.json": bill(packages, build)}
    for name, text in outputs.items():
        pathlib.Path(out_dir, name + ".partial").write_text(text, encoding="utf-8")
    for name in outputs:
        os.replace(os.path.join(out_dir, name + ".partial"), os.path.join(out_dir, name))


def main(argv):
    if len(argv) < 11:
        print(__doc__, file=sys.stderr)
        return 2
    try:
        write(*argv[1:])
    except (Failure, OSError, subprocess.CalledProcessError) as failure:
        print(f"release_info: {failure}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
