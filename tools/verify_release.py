"""Checks a downloaded release zip: is it, byte for byte, the zip of a signed release?
  /usr/bin/python3 -I tools/verify_release.py ZIP      (or: tools/verify-release.sh ZIP)
A release is the commit that a tag v<version> names, signed by a key that the
allowed_signers file of this clone's main branch lists. The verifier rebuilds
it where nothing else can reach the build, writes the release zip from the
rebuilt files itself (with the download's image signature copied onto the
rebuilt image, where it has one) and compares bytes. Prints exactly one line on
standard output and exits with its status:
  reproduced: ...    0  the download is that zip, byte for byte, and its
                        image's signature, where it has one, verifies
  differs: ...       1  it is not, or its image's signature does not verify
  cannot check: ...  2  anything else, and why
What it reads from the download only chooses what to build or copy; nothing of
it is written to disk or printed unescaped.
"""

import base64
import grp
import io
import json
import os
import pwd
import re
import secrets
import signal
import stat
import subprocess
import sys
import threading
import time
import typing
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True
import authenticode
import release_zip

PATH = "/usr/bin:/bin:/usr/sbin:/sbin"
SANDBOX = os.path.join(HERE, "sandbox.py")
# The release presets, and the platform each one's package names.
RELEASE_PRESETS = {"win32": "win32", "win64": "win64"}
# A release zip is about a megabyte; these bound what is read of a download.
MAX_DOWNLOAD_BYTES = 8 << 20
MAX_BUILDINFO_BYTES = 16 << 10
MAX_IMAGE_BYTES = 16 << 20
MAX_SIGNERS_BYTES = 64 << 10
MAX_BUNDLE_BYTES = 256 << 20
MAX_ANSWER_BYTES = 96 << 20
SHOWN_CHARACTERS = 80
# Root rebuilds as one of these user ids, reserved here for the builder: no
# Debian tool or systemd allocates them, and one that an account, a group, a
# subordinate range or a process has is not taken.
BUILDER_IDS = range(0x7A000000, 0x7A010000)
REBUILD_SECONDS = 30 * 60
CA_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"
# Every signal that ends a process by default and can be caught.
ENDING_SIGNALS = (signal.SIGHUP, signal.SIGINT, signal.SIGQUIT, signal.SIGTERM, signal.SIGUSR1,
                  signal.SIGUSR2, signal.SIGALRM, signal.SIGVTALRM, signal.SIGPROF,
                  signal.SIGXCPU, signal.SIGXFSZ, signal.SIGIO, signal.SIGPWR)
# (SIGPIPE stays ignored, as Python leaves it: a write to a child that ended
# fails instead.)


class Verdict(Exception):
    def __init__(self, word, text):
        super().__init__(f"{word}: {text}")
        self.word, self.text = word, text


class Stopped(Exception):
    pass


def differs(text):
    raise Verdict("differs", text)


def cannot_check(text):
    raise Verdict("cannot check", text)


def shown(text, limit=SHOWN_CHARACTERS):
    """Text from elsewhere as it may reach a terminal: printable ASCII, every
    other character escaped, cut to a sane length."""
    if isinstance(text, bytes):
        text = text.decode("utf-8", "backslashreplace")
    out = []
    for c in text:
        if c == "\\":
            out.append("\\\\")
        elif " " <= c <= "~":
            out.append(c)
        else:
            code = ord(c)
            out.append(f"\\x{code:02x}" if code < 0x100 else
                       f"\\u{code:04x}" if code < 0x10000 else f"\\U{code:08x}")
    out = "".join(out)
    return out if len(out) <= limit else out[:limit] + "..."


# Child processes, each in a process group of its own, which a signal or a
# failure ends.
CHILDREN = set()


def kill_group(group):
    try:
        os.killpg(group, signal.SIGKILL)
        return True
    except ProcessLookupError:
        return False


def end(child):
    """Kills a child's process group, reaps the child and waits, a few seconds
    at most, until none of the group is left (init reaps the rest)."""
    kill_group(child.pid)
    child.wait()
    for _ in range(200):
        if not kill_group(child.pid):
            return
        time.sleep(0.05)


def run(command, env, stdin=b"", limit=1 << 20, seconds=None):
    """Runs a command in a process group of its own; returns (exit status, at
    most LIMIT bytes of its standard output). Its standard error is dropped."""
    try:
        child = subprocess.Popen(command, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL, cwd="/", process_group=0)
    except OSError as error:
        cannot_check(f"{command[0]} could not be started: {error.strerror}")
    CHILDREN.add(child)
    timer = threading.Timer(seconds, kill_group, (child.pid,)) if seconds else None
    try:
        if timer:
            timer.start()
        try:
            child.stdin.write(stdin)
            child.stdin.close()
        except BrokenPipeError:
            pass
        output = child.stdout.read(limit + 1)
        while child.stdout.read(1 << 16):  # the rest, unread, so that it ends
            pass
        status = child.wait()
    finally:
        if timer:
            timer.cancel()
        end(child)  # and whatever it left running
        CHILDREN.discard(child)
    if seconds and status == -signal.SIGKILL:
        cannot_check(f"{command[0]} took longer than {seconds // 60} minutes")
    if len(output) > limit:
        cannot_check(f"{command[0]} answered more than {limit} bytes")
    return status, output


# Choose: what the download says it is (BUILDINFO's fields, under small
# caps), which signed release that names, and whether this machine can
# rebuild it at all. Nothing read here decides "reproduced".

def read_download(path):
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except OSError as error:
        cannot_check(f"{shown(path)} cannot be opened: {error.strerror}")
    with os.fdopen(fd, "rb") as file:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            cannot_check(f"{shown(path)} is not a regular file")
        data = file.read(MAX_DOWNLOAD_BYTES + 1)
    if len(data) > MAX_DOWNLOAD_BYTES:
        cannot_check(f"{shown(path)} has more than {MAX_DOWNLOAD_BYTES} bytes, far more than a"
                     " release")
    return data


def member(download, suffix, limit):
    """The bytes of the download's one entry whose name ends in SUFFIX, as
    Python's zipfile reads it, or None."""
    try:
        with zipfile.ZipFile(io.BytesIO(download)) as archive:
            found = [i for i in archive.infolist() if i.filename.endswith(suffix)]
            if len(found) != 1 or found[0].file_size > limit:
                return None
            with archive.open(found[0]) as entry:
                data = entry.read(limit + 1)
    except Exception:  # zipfile's failures are many kinds; any of them chooses nothing
        return None
    return data if len(data) <= limit else None


def buildinfo(download):
    """BUILDINFO's fields: {key: value}, the packages as {name: version}."""
    text = member(download, "/BUILDINFO", MAX_BUILDINFO_BYTES)
    if text is None:
        cannot_check("the download is no zip with one BUILDINFO of a release's size")
    fields, packages = {}, {}
    for line in text.decode("ascii", "replace").splitlines():
        key, _, value = line.partition(": ")
        if key == "Package":
            name, _, version = value.partition(" ")
            packages[name] = version
        else:
            fields.setdefault(key, value)
    fields["packages"] = packages
    return fields


class Release(typing.NamedTuple):
    """What is rebuilt, and from what."""
    version: str
    preset: str
    commit: str
    tag: str
    epoch: int  # the commit's time, every time stamp of the zip
    signers: bytes  # main's allowed_signers

    @property
    def platform(self):
        return RELEASE_PRESETS[self.preset]

    @property
    def folder(self):
        return f"zarvel-uri-{self.version}-{self.platform}"


def git_env():
    return {"PATH": PATH, "HOME": "/nonexistent", "LC_ALL": "C", "GIT_CONFIG_NOSYSTEM": "1",
            "GIT_CONFIG_GLOBAL": "/dev/null"}


def git(repository, *arguments, limit=1 << 20):
    # This clone is the one the verifier itself runs from, so its owner is
    # trusted already: git may read it whoever owns it.
    return run(["git", "-c", f"safe.directory={repository}", "-C", repository, *arguments],
               git_env(), limit=limit)


def release_of(repository, info):
    """The signed release that BUILDINFO's fields name, as far as this clone
    tells before a rebuild; the tag's signature is checked in the rebuild."""
    version, preset, commit = (info.get(k, "") for k in ("Version", "Preset", "Commit"))
    if info.get("Name") != "zarvel-uri" or not re.fullmatch(r"[0-9]+\.[0-9]+\.[0-9]+", version):
        cannot_check(f"its BUILDINFO names {shown(info.get('Name', ''))} {shown(version)},"
                     " no release of zarvel-uri")
    if preset not in RELEASE_PRESETS:
        cannot_check(f"its BUILDINFO names preset {shown(preset)}, and only"
                     f" {' and '.join(RELEASE_PRESETS)} make releases")
    tag = f"v{version}"
    status, found = git(repository, "for-each-ref", "--format=%(objecttype)%00%(tag)%00"
                        "%(*objecttype)%00%(*objectname)", f"refs/tags/{tag}")
    fields = found.rstrip(b"\n").split(b"\0")
    if status or not found:
        cannot_check(f"this clone has no tag {tag}: fetch the project's tags, or there is no"
                     f" release {version}")
    if fields[0] != b"tag":
        cannot_check(f"the tag {tag} is a lightweight tag, not a signed release tag")
    if fields[1] != tag.encode() or fields[2] != b"commit":
        cannot_check(f"the tag {tag} holds a tag object for {shown(fields[1])}, not for {tag}")
    tagged = fields[3].decode()
    if commit != tagged:
        differs(f"its BUILDINFO names commit {shown(commit)}, and release {tag} is commit"
                f" {tagged}")
    if info.get("Uncommitted-Changes") != "no":
        differs("its BUILDINFO says that it was built with uncommitted changes, and release"
                f" {tag} was not")
    status, signers = git(repository, "cat-file", "blob", "refs/heads/main:allowed_signers",
                          limit=MAX_SIGNERS_BYTES)
    if status:
        cannot_check("this clone's main branch holds no allowed_signers, which says whose"
                     " signatures make a release")
    if not any(line.strip() and not line.lstrip().startswith(b"#")
               for line in signers.splitlines()):
        cannot_check("the allowed_signers of this clone's main branch lists no key, so no release"
                     " can be verified")
    _, epoch = git(repository, "log", "-1", "--format=%ct", tagged)
    return Release(version, preset, tagged, tag, int(epoch), signers)


def check_toolchain(info):
    """A rebuild gives the same bytes only with the same toolchain: BUILDINFO's
    Debian release and package versions must be this machine's."""
    with open("/etc/debian_version", encoding="ascii") as file:
        here = file.read().strip()
    codename = re.search(r"^VERSION_CODENAME=(.*)$", read_os_release(), re.M)
    here = f"{here} ({codename.group(1) if codename else 'unknown'})"
    if info.get("Debian-Release") != here:
        cannot_check(f"the release was built on Debian {shown(info.get('Debian-Release', ''))},"
                     f" this machine is Debian {here}: a rebuild here cannot give the same bytes")
    packages = info["packages"]
    if not packages or not all(re.fullmatch(r"[a-z0-9][a-z0-9+.-]*(:[a-z0-9-]+)?", name)
                               for name in packages):
        cannot_check("its BUILDINFO names no packages, or names that are no Debian package's")
    _, found = run(["dpkg-query", "-W", "-f=${binary:Package} ${Version}\\n", "--",
                    *sorted(packages)], {"PATH": PATH, "LC_ALL": "C"})
    installed = dict(line.split(" ", 1) for line in found.decode().splitlines() if " " in line)
    for name in sorted(packages):
        here = installed.get(name)
        if here != packages[name]:
            cannot_check(f"the release was built with {name} {shown(packages[name])}, this machine"
                         f" has {f'{name} {here}' if here else 'no such package'}: a rebuild"
                         " here cannot give the same bytes")


def read_os_release():
    for path in ("/etc/os-release", "/usr/lib/os-release"):
        try:
            with open(path, encoding="utf-8") as file:
                return file.read()
        except OSError:
            pass
    return ""


# Rebuild: in namespaces of its own, on a tmpfs of its own, as a user that
# nothing else is (tools/sandbox.py); the commit comes in as a git bundle, and
# the tag's signature is checked there before anything of it runs.

class Builder(typing.NamedTuple):
    uid: int
    gid: int
    nested: bool  # in a user namespace of its own
    described: str


def builder():
    """As root, a user id that no account, group or process has; otherwise the
    caller, in a user namespace."""
    if os.geteuid() != 0:
        return Builder(os.getuid(), os.getgid(), True,
                       f"as this user (uid {os.getuid()}) in a user namespace of its own")
    taken = subordinate_ids() | process_ids()
    for _ in range(32):
        uid = BUILDER_IDS.start + secrets.randbelow(len(BUILDER_IDS))
        if uid not in taken and not has_account(uid):
            return Builder(uid, uid, False, f"as uid {uid}, which nothing else on this machine has")
    cannot_check("every user id reserved for the builder is taken")


def has_account(uid):
    try:
        pwd.getpwuid(uid)
    except KeyError:
        try:
            grp.getgrgid(uid)
        except KeyError:
            return False
    return True


def subordinate_ids():
    taken = set()
    for path in ("/etc/subuid", "/etc/subgid"):
        try:
            with open(path, encoding="utf-8") as file:
                for line in file:
                    _, start, count = (line.strip().split(":") + ["", "", ""])[:3]
                    if start.isdigit() and count.isdigit():
                        span = range(int(start), int(start) + int(count))
                        taken |= {i for i in BUILDER_IDS if i in span}
        except OSError:
            pass
    return taken


def process_ids():
    taken = set()
    for pid in os.listdir("/proc"):
        try:
            with open(f"/proc/{pid}/status", encoding="utf-8") as file:
                for line in file:
                    if line.startswith(("Uid:", "Gid:")):
                        taken |= {int(i) for i in line.split()[1:]}
        except (OSError, ValueError):
            pass
    return taken


def sandboxed(who, inputs, steps, collect):
    """Runs STEPS in tools/sandbox.py; returns its answer."""
    command = ["setpriv", "--pdeathsig", "KILL", "--", "unshare"]
    command += ["--user", "--map-root-user"] if who.nested else []
    command += ["--mount", "--propagation", "private", "--pid", "--fork", "--kill-child", "--net",
                "--ipc", "--uts", "--", "/usr/bin/python3", "-I", SANDBOX, "setup"]
    request = {"builder": [who.uid, who.gid], "nested": who.nested, "steps": steps,
               "collect": collect,
               "inputs": {name: base64.b64encode(data).decode() for name, data in inputs.items()},
               "environment": {"PATH": PATH, "HOME": "/tmp/home", "LC_ALL": "C",
                               "TMPDIR": "/tmp", "GIT_CONFIG_NOSYSTEM": "1"}}
    status, answer = run(command, {"PATH": PATH, "LC_ALL": "C"}, json.dumps(request).encode(),
                         MAX_ANSWER_BYTES, REBUILD_SECONDS)
    try:
        answer = json.loads(answer)
    except ValueError:
        cannot_check(f"the rebuild's namespaces could not be made (exit {status}): rebuilding"
                     " needs root, or user namespaces for an ordinary user")
    if "setup" in answer:
        cannot_check(f"the rebuild's root could not be made: {shown(answer['setup'])}")
    return answer


def rebuild(repository, release, who):
    """The release's files as the tagged commit's own release step makes them:
    {name: bytes}, names below the zip's folder."""
    status, bundle = git(repository, "bundle", "create", "-", f"refs/tags/{release.tag}",
                         limit=MAX_BUNDLE_BYTES)
    if status:
        cannot_check(f"git could not bundle the tag {release.tag} (exit {status})")
    tag = f"refs/tags/{release.tag}"
    build = f"source/build/{release.preset}"
    steps = [
        ("git could not take the tag from this clone",
         ["git", "init", "--quiet", "source"]),
        ("git could not take the tag from this clone",
         ["git", "-C", "source", "fetch", "--quiet", "--no-tags", "/in/release.bundle",
          f"{tag}:{tag}"]),
        (f"the tag {release.tag} is signed by no key that the allowed_signers of this clone's"
         " main branch lists",
         ["git", "-C", "source", "-c", "gpg.format=ssh", "-c",
          "gpg.ssh.allowedSignersFile=/in/allowed_signers", "-c", "gpg.ssh.program=ssh-keygen",
          "verify-tag", release.tag]),
        ("git could not check the commit out",
         ["git", "-C", "source", "-c", "advice.detachedHead=false", "checkout", "--quiet",
          "--detach", release.commit]),
        (f"commit {release.commit} did not configure with preset {release.preset}",
         ["cmake", "-S", "source", "--preset", release.preset, "-DBUILD_TESTING=OFF"]),
        (f"commit {release.commit} did not build its package with preset {release.preset}",
         ["cmake", "--build", build, "--target", "package", "--parallel",
          str(min(os.cpu_count() or 1, 4))]),
    ]
    answer = sandboxed(who, {"release.bundle": bundle, "allowed_signers": release.signers},
                       [step for _, step in steps], f"{build}/package-files")
    if "failed" in answer:
        cannot_check(f"{steps[answer['failed']][0]} (exit {answer['status']})")
    if "unreadable" in answer:
        cannot_check(f"the rebuild's package files cannot be read: {shown(answer['unreadable'])}")
    files = {name: base64.b64decode(data) for name, data in answer["files"].items()}
    if not files or any(not name.startswith(release.folder + "/") for name in files):
        cannot_check(f"the rebuild's package files do not lie in one folder {release.folder}")
    return files


# Assemble, compare and check the signature: the download must be the zip
# that the verifier writes itself from the rebuilt files, with the download's
# image signature, where it has one, copied onto the rebuilt image.

def judge(download, release, files, who):
    """The verdict's text on DOWNLOAD (raising Verdict where it is not
    "reproduced"), given the rebuilt FILES of RELEASE."""
    image = f"{release.folder}/zarvel-uri.exe"
    if image not in files:
        cannot_check(f"the rebuild made no {image}")
    signature = authenticode.signature_of(member(download, "/zarvel-uri.exe", MAX_IMAGE_BYTES)
                                          or b"")
    if signature is not None:
        files = files | {image: authenticode.with_signature(files[image], signature)}
    ours = release_zip.canonical_zip(files, release.epoch)
    if download != ours:
        differs(f"it is not byte for byte the zip of release {release.version} for"
                f" {release.platform}: {first_difference(download, ours)}")
    if signature is None:
        return ""
    signed = check_signature(files[image], who)
    return (f"; its image carries a {signed.algorithm.upper()} Authenticode signature (digest"
            f" {signed.digest}) that this verifier and osslsigncode both accept, under the"
            f" certificate of {shown(signed.subject)}, whose trust was not checked"
            + ("; its time stamp was not checked" if signed.time_stamped else ""))


def first_difference(download, ours):
    """Where the download parts from the verifier's zip, named from the
    verifier's own zip, whose layout it made itself."""
    common = min(len(download), len(ours))
    offset = next((i for i in range(0, common, 4096) if download[i:i + 4096] != ours[i:i + 4096]),
                  common)
    offset = next((i for i in range(offset, min(offset + 4096, common))
                   if download[i] != ours[i]), offset)
    if offset == common:
        return (f"it has {len(download)} bytes, the release's zip {len(ours)}, and the same bytes"
                " up to there")
    with zipfile.ZipFile(io.BytesIO(ours)) as archive:
        for info in archive.infolist():
            end = info.header_offset + 30 + len(info.orig_filename) + info.compress_size
            if offset < end:
                return f"the first difference, at byte {offset}, is in {info.filename}"
    return f"the first difference, at byte {offset}, is in the zip's directory"


def check_signature(image, who):
    """The two readers of the image's signature, which must both accept it."""
    try:
        signed = authenticode.check(image)
    except authenticode.Broken as reason:
        differs(f"zarvel-uri.exe's signature is refused: {shown(str(reason), 160)}")
    anchors = b"".join(certificate_pem(c) for c in signed.certificates)
    try:
        with open(CA_BUNDLE, "rb") as file:
            anchors += file.read(16 << 20)
    except OSError:
        pass
    answer = sandboxed(who, {"zarvel-uri.exe": image, "anchors.pem": anchors},
                       [["osslsigncode", "verify", "-in", "/in/zarvel-uri.exe", "-CAfile",
                         "/in/anchors.pem"]], "")
    if "failed" in answer:
        differs(f"zarvel-uri.exe's signature is refused by osslsigncode verify (exit"
                f" {answer['status']})")
    return signed


def certificate_pem(der):
    text = base64.encodebytes(der).decode().replace("\n", "")
    lines = [text[i:i + 64] for i in range(0, len(text), 64)]
    return ("-----BEGIN CERTIFICATE-----\n" + "\n".join(lines) +
            "\n-----END CERTIFICATE-----\n").encode()


def verify(arguments):
    if len(arguments) != 1:
        cannot_check("usage: tools/verify-release.sh ZIP")
    path = arguments[0]
    repository = os.path.dirname(HERE)
    download = read_download(path)
    info = buildinfo(download)
    release = release_of(repository, info)
    check_toolchain(info)
    who = builder()
    files = rebuild(repository, release, who)
    signature = judge(download, release, files, who)
    return (f"{shown(os.path.basename(path))} is byte for byte the zip of release"
            f" {release.version} for {release.platform}, as this verifier rebuilt it from the"
            f" signed tag {release.tag} (commit {release.commit}) with preset {release.preset},"
            f" {who.described}{signature}")


def on_signal(number, _frame):
    for s in ENDING_SIGNALS:
        signal.signal(s, signal.SIG_IGN)
    raise Stopped(signal.Signals(number).name)


def main(arguments):
    line, status = "cannot check: it stopped unexpectedly", 2
    try:
        for number in ENDING_SIGNALS:
            signal.signal(number, on_signal)
        line, status = "reproduced: " + verify(arguments), 0
    except Verdict as verdict:
        line, status = f"{verdict.word}: {verdict.text}", 1 if verdict.word == "differs" else 2
    except Stopped as stop:
        line = f"cannot check: stopped by {stop}"
    except BaseException as error:  # every failure is a verdict, never a traceback
        line = f"cannot check: unexpected failure ({type(error).__name__}: {shown(str(error))})"
    finally:
        for number in ENDING_SIGNALS:
            signal.signal(number, signal.SIG_IGN)
        for child in list(CHILDREN):
            end(child)
    # What came from elsewhere is escaped already; this keeps any other
    # control character, from an error's text, off the terminal. Written to
    # the descriptor itself, which may be closed or full.
    data = ("".join(c if " " <= c <= "~" else "?" for c in line) + "\n").encode()
    try:
        while data:
            data = data[os.write(1, data):]
    except OSError:
        pass
    return status


if __name__ == "__main__":
    os._exit(main(sys.argv[1:]))
