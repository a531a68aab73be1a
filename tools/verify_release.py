"""Checks a downloaded release zip against the sources of this clone.
  /usr/bin/python3 -I tools/verify_release.py ZIP      (or: tools/verify-release.sh ZIP)
Rebuilds, as an unprivileged user, the release package of the commit that the
zip's BUILDINFO names, where that commit is a release of this clone, and
compares every file of the zip with it. Prints exactly one line on standard
output and exits with its status:
  reproduced: ...    0  every file is what that release commit builds
  differs: ...       1  a file is not, or the image's signature is broken
  cannot check: ...  2  anything else, and why
Nothing from the zip is written to disk, and nothing from it is printed
unescaped.
"""

import hashlib
import itertools
import os
import pwd
import re
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import time
import unicodedata
import zlib

# Every run's folder is made here, with a name of this program's choosing.
TEMP_ROOT = "/var/tmp"
# The release presets, and the platform each one's package names.
RELEASE_PRESETS = {"win32": "win32", "win64": "win64"}
PATH = "/usr/bin:/bin:/usr/sbin:/sbin"

# A release is a dozen small files; far larger or deeper is no release.
MAX_ZIP_BYTES = 48 << 20
MAX_TOTAL_BYTES = 48 << 20
MAX_FILE_BYTES = 16 << 20
MAX_ENTRIES = 64
MAX_DEPTH = 3  # zarvel-uri-<version>-<platform>/docs/<name>
MAX_NAME_BYTES = 160
MAX_FIELD_BYTES = {"BUILDINFO": 16 << 10, "zarvel-uri.cdx.json": 256 << 10}
# Extra fields that change nothing about what a file is called or holds:
# Zip64 sizes, the extended time stamp and Info-ZIP's Unix owner (which
# CPack writes). Any other (such as the Unicode path, 0x7075, which some
# unzippers honour and others ignore) is refused.
ZIP64, TIMESTAMP, UNIX_OWNER = 0x0001, 0x5455, 0x7875
NAME_SEGMENT = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]*")
SHOWN_CHARACTERS = 80

OID_SIGNED_DATA = "1.2.840.113549.1.7.2"
OID_SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
OID_SPC_PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
OID_CONTENT_TYPE = "1.2.840.113549.1.9.3"
OID_MESSAGE_DIGEST = "1.2.840.113549.1.9.4"
OID_NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"
OID_TIMESTAMPS = {"1.3.6.1.4.1.311.3.3.1", "1.2.840.113549.1.9.6"}
DIGESTS = {"2.16.840.1.101.3.4.2.1": "sha256", "2.16.840.1.101.3.4.2.2": "sha384",
           "2.16.840.1.101.3.4.2.3": "sha512"}
WEAK_DIGESTS = {"1.3.14.3.2.26": "SHA-1", "1.2.840.113549.2.5": "MD5"}
# Signature algorithms of a signer: the key's kind and, where it names one, the digest.
SIGNATURES = {"1.2.840.113549.1.1.1": ("rsa", None),
              "1.2.840.113549.1.1.11": ("rsa", "sha256"),
              "1.2.840.113549.1.1.12": ("rsa", "sha384"),
              "1.2.840.113549.1.1.13": ("rsa", "sha512"),
              "1.2.840.10045.2.1": ("ecdsa", None),
              "1.2.840.10045.4.3.2": ("ecdsa", "sha256"),
              "1.2.840.10045.4.3.3": ("ecdsa", "sha384"),
              "1.2.840.10045.4.3.4": ("ecdsa", "sha512")}
WEAK_SIGNATURES = {"1.2.840.113549.1.1.5": "SHA-1", "1.2.840.113549.1.1.4": "MD5",
                   "1.2.840.10045.4.1": "SHA-1"}


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


# Child processes: each in a process group of its own, all of which a signal
# or a failure stops.
CHILDREN = set()
TEMP_FOLDERS = []


def on_signal(number, _frame):
    for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, signal.SIG_IGN)
    raise Stopped(signal.Signals(number).name)


def end_group(group):
    """Kills a child's process group and waits, a few seconds at most, until
    none of it is left (its orphans are reaped by init)."""
    for _ in range(200):
        try:
            os.killpg(group, signal.SIGKILL)
        except ProcessLookupError:
            return
        time.sleep(0.05)


def stop_children():
    for child in list(CHILDREN):
        end_group(child.pid)
        child.wait()
        CHILDREN.discard(child)


def run(command, env, output=None, what=None):
    """Runs a command with stdin closed; returns (exit status, its standard
    output, at most 1 MiB) or, where output is a file, writes both streams there."""
    try:
        child = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, process_group=0,
                                 stdout=output or subprocess.PIPE,
                                 stderr=output or subprocess.DEVNULL, cwd="/")
    except OSError as error:
        cannot_check(f"{what or command[0]} could not be started: {error.strerror}")
    CHILDREN.add(child)
    text = b""
    if output is None:
        text = child.stdout.read(1 << 20)
        while child.stdout.read(1 << 16):  # the rest, unread, so that it ends
            pass
        child.stdout.close()
    status = child.wait()
    end_group(child.pid)  # whatever it left running
    CHILDREN.discard(child)
    return status, text.decode("utf-8", "replace")


# The zip, read as a release: its bytes once, every header checked against
# the others, before anything is taken from it.

def read_regular_file(path):
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except OSError as error:
        cannot_check(f"{shown(path)} cannot be opened: {error.strerror}")
    with os.fdopen(fd, "rb") as file:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            cannot_check(f"{shown(path)} is not a regular file")
        if info.st_size > MAX_ZIP_BYTES:
            cannot_check(f"{shown(path)} has {info.st_size} bytes, more than a release has")
        data = file.read(MAX_ZIP_BYTES + 1)
    if len(data) > MAX_ZIP_BYTES:
        cannot_check(f"{shown(path)} grows past {MAX_ZIP_BYTES} bytes")
    return data


def refused(text):
    cannot_check(f"the zip is refused: {text}")


def fields(data, offset, layout, what):
    size = struct.calcsize(layout)
    if offset < 0 or offset + size > len(data):
        refused(f"its {what} lies outside the file")
    return struct.unpack_from(layout, data, offset)


def extra_fields(extra, sizes, name):
    """Checks an extra block: known fields only, each once and of its own
    shape; returns the Zip64 values (uncompressed, compressed, offset)."""
    seen, values, offset = set(), {}, 0
    while offset < len(extra):
        if offset + 4 > len(extra):
            refused(f"{shown(name)} has a truncated extra field")
        kind, length = struct.unpack_from("<HH", extra, offset)
        body = extra[offset + 4:offset + 4 + length]
        offset += 4 + length
        if len(body) != length or kind in seen:
            refused(f"{shown(name)} has a truncated or repeated extra field 0x{kind:04x}")
        seen.add(kind)
        if kind == ZIP64:
            wanted = [i for i, value in enumerate(sizes) if value == 0xFFFFFFFF]
            if length != 8 * len(wanted) or not wanted:
                refused(f"{shown(name)} has a Zip64 field for sizes it does not need")
            values = dict(zip(wanted, struct.unpack_from(f"<{len(wanted)}Q", body)))
        elif kind == TIMESTAMP:
            if length not in (1, 5, 9, 13):
                refused(f"{shown(name)} has a malformed time stamp field")
        elif kind == UNIX_OWNER:
            uid_size = body[1] if length > 1 else 0xFF
            gid_size = body[2 + uid_size] if length > 2 + uid_size else 0xFF
            if body[0] != 1 or max(uid_size, gid_size) > 8 or length != 3 + uid_size + gid_size:
                refused(f"{shown(name)} has a malformed Unix owner field")
        else:
            refused(f"{shown(name)} has an extra field 0x{kind:04x}, which unzippers read"
                    " differently (only Zip64, time stamps and the Unix owner are taken)")
    return [values.get(i, value) for i, value in enumerate(sizes)], ZIP64 in seen


def windows_key(name):
    """What Windows and macOS make of a name: case, trailing dots and spaces and
    the Unicode normalisation do not tell names apart."""
    return "/".join(unicodedata.normalize("NFC", s).casefold().rstrip(". ")
                    for s in name.rstrip("/").split("/"))


def read_zip(data):
    """{name: bytes} of a zip's files and the set of its folders, refusing anything
    that another unzipper could read differently or that is no release's."""
    end = len(data) - 22
    if end < 0 or data[end:end + 4] != b"PK\5\6":
        refused("it is not a zip ending in its directory, without a comment")
    disk, cd_disk, on_disk, count, cd_size, cd_offset, comment = fields(
        data, end + 4, "<HHHHIIH", "end record")
    if disk or cd_disk or on_disk != count or comment:
        refused("it spans disks or carries a comment")
    if count > MAX_ENTRIES or count == 0xFFFF or cd_offset == 0xFFFFFFFF:
        refused(f"it has {count} entries or more, more than a release has")
    if cd_offset + cd_size != end:
        refused("its directory does not end where its end record begins")
    entries, position, next_local = [], cd_offset, 0
    for _ in range(count):
        (signature, made_by, _needed, flags, method, _time, _date, crc, compressed, size,
         name_length, extra_length, comment_length, disk_start, _internal, external,
         local) = fields(data, position, "<IHHHHHHIIIHHHHHII", "directory")
        if signature != 0x02014B50:
            refused("its directory is damaged")
        raw_name = data[position + 46:position + 46 + name_length]
        extra = data[position + 46 + name_length:position + 46 + name_length + extra_length]
        position += 46 + name_length + extra_length + comment_length
        if position > end or comment_length or disk_start:
            refused("its directory is damaged or has entry comments")
        if len(raw_name) > MAX_NAME_BYTES:
            refused(f"{shown(raw_name)} is a longer name than a release has")
        try:
            name = raw_name.decode("utf-8" if flags & 0x800 else "ascii")
        except UnicodeDecodeError:
            refused(f"{shown(raw_name)} is a name that unzippers decode differently")
        if flags & ~(0x0008 | 0x0800 | 0x0006) or method not in (0, 8):
            refused(f"{shown(name)} is encrypted or compressed in an unknown way")
        (size, compressed, local), _ = extra_fields(extra, [size, compressed, local], name)
        # Each entry's header follows the one before, with nothing between
        # them, so that no reader finds an entry that the directory lacks.
        if local != next_local:
            refused(f"{shown(name)} is not where the entry before it ends")
        (l_signature, _version, l_flags, l_method, _ltime, _ldate, l_crc, l_compressed, l_size,
         l_name_length, l_extra_length) = fields(data, local, "<IHHHHHIIIHH", "entry header")
        l_name = data[local + 30:local + 30 + l_name_length]
        l_extra = data[local + 30 + l_name_length:local + 30 + l_name_length + l_extra_length]
        if l_signature != 0x04034B50 or l_name != raw_name or (l_flags, l_method) != (flags,
                                                                                      method):
            refused(f"{shown(name)} has an entry header unlike its directory entry")
        l_sizes, wide = extra_fields(l_extra, [l_size, l_compressed], name)
        # Where bit 3 says that they follow the data, the header's sizes and
        # checksum are 0 (libarchive gives the uncompressed size, which it knew).
        if (l_crc, *l_sizes) not in [(crc, size, compressed)] + [
                (0, 0, 0), (0, size, 0)] * bool(flags & 8):
            refused(f"{shown(name)} has sizes in its entry header unlike its directory's")
        start = local + 30 + l_name_length + l_extra_length
        next_local = start + compressed
        if flags & 0x0008:  # a data descriptor follows the data
            descriptor = data[next_local:next_local + 4] == b"PK\7\x08"
            next_local += 4 if descriptor else 0
            layout = "<IQQ" if wide else "<III"
            if (fields(data, next_local, layout, "data descriptor") != (crc, compressed, size)):
                refused(f"{shown(name)} has a data descriptor unlike its directory entry")
            next_local += struct.calcsize(layout)
        if next_local > cd_offset:
            refused(f"{shown(name)} runs into the directory")
        entries.append((name, made_by, external, method, crc, size, data[start:start + compressed]))
    if next_local != cd_offset:
        refused("it holds bytes between its last entry and its directory")
    return release_entries(entries)


def release_entries(entries):
    seen, files, folders, total = {}, {}, set(), 0
    for name, *_ in entries:
        key = windows_key(name)
        if key in seen:
            refused(f"{shown(seen[key])} and {shown(name)} are one name where the receiver"
                    " unpacks")
        seen[key] = name
    for name, made_by, external, method, crc, size, body in entries:
        folder = name.endswith("/")
        segments = name[:-1].split("/") if folder else name.split("/")
        if not all(NAME_SEGMENT.fullmatch(s) for s in segments) or ".." in segments:
            refused(f"{shown(name)} is no name a release file has")
        if len(segments) > MAX_DEPTH:
            refused(f"{shown(name)} lies deeper than a release's files")
        mode = external >> 16
        kind = stat.S_IFMT(mode)
        if made_by >> 8 == 3 and (kind != (stat.S_IFDIR if folder else stat.S_IFREG)
                                  or mode & 0o7000):
            refused(f"{shown(name)} is a link, a special file or set-user-ID")
        if made_by >> 8 not in (0, 3) or made_by >> 8 == 0 and (mode or bool(
                external & 0x10) != folder):
            refused(f"{shown(name)} carries attributes of another system")
        if folder:
            if size or body:
                refused(f"{shown(name)} is a folder with content")
            folders.add(name)
            continue
        limit = MAX_FIELD_BYTES.get(name.split("/", 1)[-1], MAX_FILE_BYTES)
        total += size
        if size > limit or total > MAX_TOTAL_BYTES:
            refused(f"{shown(name)} unpacks to {size} bytes, more than a release file has")
        if method == 8:
            inflater = zlib.decompressobj(-15)
            try:
                content = inflater.decompress(body, size + 1)
            except zlib.error:
                refused(f"{shown(name)} is damaged")
            if not inflater.eof or inflater.unconsumed_tail or inflater.unused_data:
                refused(f"{shown(name)} does not hold the bytes its sizes say")
        else:
            content = body
        if len(content) != size or zlib.crc32(content) != crc:
            refused(f"{shown(name)} does not hold the bytes its sizes and checksum say")
        files[name] = content
    for folder in folders:
        if not any(name.startswith(folder) for name in files):
            refused(f"{shown(folder)} is an empty folder, which no release has")
    return files, folders


def read_buildinfo(files, top):
    text = files.get(f"{top}/BUILDINFO")
    if text is None:
        cannot_check(f"the zip holds no {shown(top)}/BUILDINFO")
    try:
        lines = text.decode("ascii").split("\n")
    except UnicodeDecodeError:
        cannot_check("its BUILDINFO is not ASCII text")
    if lines.pop() != "":
        cannot_check("its BUILDINFO does not end its last line")
    info = {}
    for line in lines:
        found = re.fullmatch(r"([A-Za-z0-9-]+): ([ -~]*)", line)
        if not found:
            cannot_check(f"its BUILDINFO has a line {shown(line)!s}, which is no field")
        key, value = found.groups()
        if key in info and key != "Package":
            cannot_check(f"its BUILDINFO gives {shown(key)} twice")
        info.setdefault(key, value)
    for key in ("Name", "Version", "Platform", "Preset", "Commit", "Uncommitted-Changes"):
        if key not in info:
            cannot_check(f"its BUILDINFO lacks {key}")
    return info


def release_of(zip_name, files, folders):
    """(version, platform, preset, commit, folder) that the zip says it is, where
    that agrees with its name and its folder."""
    tops = {name.split("/", 1)[0] for name in [*files, *folders]}
    if len(tops) != 1 or not all("/" in name for name in files):
        refused("its files do not lie in one folder")
    top = tops.pop()
    info = read_buildinfo(files, top)
    version, platform, preset = info["Version"], info["Platform"], info["Preset"]
    if info["Name"] != "zarvel-uri" or not re.fullmatch(r"[0-9]+\.[0-9]+\.[0-9]+", version):
        cannot_check(f"its BUILDINFO names {shown(info['Name'])} {shown(version)},"
                     " no release of zarvel-uri")
    if preset not in RELEASE_PRESETS or RELEASE_PRESETS[preset] != platform:
        cannot_check(f"its BUILDINFO names preset {shown(preset)} for {shown(platform)},"
                     f" and only {' and '.join(RELEASE_PRESETS)} make releases")
    expected = f"zarvel-uri-{version}-{platform}"
    if top != expected or zip_name != expected + ".zip":
        cannot_check(f"the zip {shown(zip_name)} with its folder {shown(top)} is not named"
                     f" as its BUILDINFO's release {version} for {platform}: {expected}.zip")
    if not re.fullmatch("[0-9a-f]{40}", info["Commit"]):
        cannot_check(f"its BUILDINFO's Commit {shown(info['Commit'])} names no commit")
    if info["Uncommitted-Changes"] != "no":
        cannot_check("its BUILDINFO says that it was built with uncommitted changes,"
                     " which no commit rebuilds")
    return version, platform, preset, info["Commit"], top


# Only a release is rebuilt: a commit of this clone's main branch (or of its
# tag v<version>) whose own tree declares that version.

def git_env():
    return {"PATH": PATH, "HOME": "/nonexistent", "LC_ALL": "C", "GIT_CONFIG_NOSYSTEM": "1",
            "GIT_CONFIG_GLOBAL": "/dev/null"}


def git(repository, *arguments):
    return run(["git", "-C", repository, *arguments], git_env(), what="git")


def check_release_commit(repository, version, commit):
    status, _ = git(repository, "cat-file", "-e", f"{commit}^{{commit}}")
    if status:
        cannot_check(f"this clone has no commit {commit} (its BUILDINFO's Commit)")
    on_main, _ = git(repository, "merge-base", "--is-ancestor", commit, "refs/heads/main")
    status, tagged = git(repository, "rev-parse", "--verify", "--quiet",
                         f"refs/tags/v{version}^{{commit}}")
    if on_main not in (0, 1) and status:
        cannot_check("this clone has neither a branch main nor a tag v" + version)
    if on_main != 0 and tagged.strip() != commit:
        cannot_check(f"commit {commit} is not on this clone's main branch nor tagged"
                     f" v{version}: no release, so it is not rebuilt")
    status, text = git(repository, "show", f"{commit}:CMakeLists.txt")
    declared = re.search(r"project\(\s*zarvel_uri\s+VERSION\s+([0-9.]+)", text)
    if status or not declared:
        cannot_check(f"commit {commit} declares no version in its CMakeLists.txt")
    if declared.group(1) != version:
        cannot_check(f"commit {commit} declares version {declared.group(1)}, not its"
                     f" BUILDINFO's {version}")


# Authenticode: the image's digest, and its signature checked against the
# certificate it carries.

def pe_fields(image, what):
    """(checksum offset, security directory offset, certificate table offset and size)."""
    def number(layout, offset):
        if offset + struct.calcsize(layout) > len(image):
            differs(f"{what} is no Windows image")
        return struct.unpack_from(layout, image, offset)[0]
    if image[:2] != b"MZ":
        differs(f"{what} is no Windows image")
    header = number("<I", 0x3C)
    if image[header:header + 4] != b"PE\0\0":
        differs(f"{what} is no Windows image")
    optional = header + 24
    magic = number("<H", optional)
    directories = optional + {0x10B: 96, 0x20B: 112}.get(magic, -optional - 1)
    if directories < 0 or number("<I", directories - 4) < 5:
        differs(f"{what} is no Windows image")
    security = directories + 4 * 8
    return optional + 64, security, number("<I", security), number("<I", security + 4)


def authenticode_digest(image, algorithm, what, padded=False):
    checksum, security, table, size = pe_fields(image, what)
    end = table if size else len(image)
    body = image[:checksum] + image[checksum + 4:security] + image[security + 8:end]
    if padded:  # as signing pads an unsigned image
        body += b"\0" * (-len(image) % 8)
    return hashlib.new(algorithm, body).hexdigest()


class Unreadable(Exception):
    pass


def der(data, offset, end=None):
    """(tag, content start, content end) of the DER element at offset."""
    end = len(data) if end is None else end
    if offset + 2 > end:
        raise Unreadable("truncated")
    tag, length, start = data[offset], data[offset + 1], offset + 2
    if tag & 0x1F == 0x1F:
        raise Unreadable("long tag")
    if length & 0x80:
        count = length & 0x7F
        if not 1 <= count <= 4 or start + count > end or data[start] == 0:
            raise Unreadable("bad length")
        length = int.from_bytes(data[start:start + count], "big")
        if length < 0x80:
            raise Unreadable("bad length")
        start += count
    if start + length > end:
        raise Unreadable("truncated")
    return tag, start, start + length


def items(data, start, end):
    """The elements within [start, end): (tag, start, end, whole element's start)."""
    found, offset = [], start
    while offset < end:
        tag, s, e = der(data, offset, end)
        found.append((tag, s, e, offset))
        offset = e
        if len(found) > 64:
            raise Unreadable("too many elements")
    return found


def expect(data, element, tag):
    if element[0] != tag:
        raise Unreadable(f"tag 0x{element[0]:02x} where 0x{tag:02x} belongs")
    return items(data, element[1], element[2])


def oid(data, element):
    if element[0] != 0x06 or element[1] == element[2]:
        raise Unreadable("no object identifier")
    body, arcs, value = data[element[1]:element[2]], [], 0
    for byte in body:
        value = value << 7 | byte & 0x7F
        if not byte & 0x80:
            arcs.append(value)
            value = 0
    first = min(arcs[0] // 40, 2)
    return ".".join(map(str, [first, arcs[0] - 40 * first, *arcs[1:]]))


def whole(data, element):
    return data[element[3]:element[2]]


def digest_name(data, algorithm, what):
    name = oid(data, expect(data, algorithm, 0x30)[0])
    if name in WEAK_DIGESTS:
        cannot_check(f"{what} uses {WEAK_DIGESTS[name]}, which is refused: it can be forged")
    if name not in DIGESTS:
        cannot_check(f"{what} uses the digest {name}, which this verifier does not know")
    return DIGESTS[name]


def certificate_parts(data, element):
    """(issuer, serial, subject) of a certificate, as their DER bytes."""
    tbs = expect(data, element, 0x30)[0]
    parts = expect(data, tbs, 0x30)
    if parts[0][0] == 0xA0:
        parts = parts[1:]
    return whole(data, parts[2]), whole(data, parts[0]), whole(data, parts[4])


def verify_with(key, signature, signed, digest, kind, what):
    from cryptography.exceptions import InvalidSignature
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa
    algorithm = {"sha256": hashes.SHA256, "sha384": hashes.SHA384, "sha512": hashes.SHA512}[
        digest]()
    try:
        if kind == "rsa" and isinstance(key, rsa.RSAPublicKey):
            key.verify(signature, signed, padding.PKCS1v15(), algorithm)
        elif kind == "ecdsa" and isinstance(key, ec.EllipticCurvePublicKey):
            key.verify(signature, signed, ec.ECDSA(algorithm))
        else:
            cannot_check(f"{what} has a key of a kind this verifier does not check")
    except InvalidSignature:
        differs(f"{what} does not verify: the signature is broken")


def check_certificate_signature(certificate, issuer, what):
    from cryptography.exceptions import UnsupportedAlgorithm
    name = certificate.signature_algorithm_oid.dotted_string
    if name in WEAK_SIGNATURES:
        cannot_check(f"{what} is signed with {WEAK_SIGNATURES[name]}, which is refused")
    if name not in SIGNATURES or SIGNATURES[name][1] is None:
        cannot_check(f"{what} is signed with {name}, which this verifier does not check")
    kind, digest = SIGNATURES[name]
    try:
        key = issuer.public_key()
    except (UnsupportedAlgorithm, ValueError):
        cannot_check(f"the key that signed {what} is of a kind this verifier does not read")
    verify_with(key, certificate.signature, certificate.tbs_certificate_bytes, digest, kind,
                f"the signature on {what}")


def check_signature(image):
    """Checks the signature of a signed image against the certificate it carries:
    returns (digest algorithm, signed Authenticode digest, signer's subject,
    whether it carries a time stamp)."""
    try:
        from cryptography.exceptions import UnsupportedAlgorithm
    except ImportError:
        cannot_check("python3-cryptography is missing: run tools/install-deps.sh")
    try:
        return read_signature(image)
    except UnsupportedAlgorithm:
        cannot_check("zarvel-uri.exe's signer has a key of a kind this verifier does not read")
    except (Unreadable, IndexError, ValueError, struct.error) as error:
        differs(f"zarvel-uri.exe carries a signature that does not parse ({shown(str(error))})")


def read_signature(image):
    from cryptography import x509
    _, _, table, size = pe_fields(image, "zarvel-uri.exe")
    if table % 8 or table + size != len(image) or size < 16:
        differs("zarvel-uri.exe's certificate table is not where a signature goes, at its end")
    length, revision, kind = struct.unpack_from("<IHH", image, table)
    if revision != 0x0200 or kind != 2 or not 8 < length <= size or (length + 7) // 8 * 8 != size:
        differs("zarvel-uri.exe's certificate table holds other than one Authenticode signature")
    blob = image[table + 8:table + length]
    _, _, content_end = der(blob, 0)
    if any(blob[content_end:]) or any(image[table + length:]):
        differs("zarvel-uri.exe's signature is followed by data")
    data = blob[:content_end]
    content_info = items(data, 0, len(data))[0]
    outer = expect(data, content_info, 0x30)
    if oid(data, outer[0]) != OID_SIGNED_DATA:
        raise Unreadable("not signed data")
    signed_data = expect(data, expect(data, outer[1], 0xA0)[0], 0x30)
    inner = expect(data, signed_data[2], 0x30)
    if oid(data, inner[0]) != OID_SPC_INDIRECT_DATA:
        raise Unreadable("not an Authenticode signature")
    indirect = expect(data, inner[1], 0xA0)[0]
    spc = expect(data, indirect, 0x30)
    if oid(data, expect(data, spc[0], 0x30)[0]) != OID_SPC_PE_IMAGE_DATA:
        raise Unreadable("not the signature of a Windows image")
    digest_info = expect(data, spc[1], 0x30)
    algorithm = digest_name(data, digest_info[0], "zarvel-uri.exe's signature")
    if digest_info[1][0] != 0x04:
        raise Unreadable("no digest")
    signed_digest = data[digest_info[1][1]:digest_info[1][2]].hex()
    if signed_digest != authenticode_digest(image, algorithm, "zarvel-uri.exe"):
        differs(f"zarvel-uri.exe's {algorithm.upper()} Authenticode digest is not the one its"
                " signature holds")
    rest = signed_data[3:]
    certificates = []
    if rest and rest[0][0] == 0xA0:
        for element in items(data, rest[0][1], rest[0][2]):
            if element[0] != 0x30:
                cannot_check("zarvel-uri.exe's signature carries other than certificates")
            certificates.append((certificate_parts(data, element),
                                 x509.load_der_x509_certificate(whole(data, element))))
        rest = rest[1:]
    if rest and rest[0][0] == 0xA1:
        rest = rest[1:]
    signers = expect(data, rest[0], 0x31) if len(rest) == 1 else []
    if len(signers) != 1:
        cannot_check("zarvel-uri.exe's signature has other than one signer")
    signer = expect(data, signers[0], 0x30)
    if len(signer) not in (6, 7) or signer[2][0] != 0x30 or signer[3][0] != 0xA0:
        raise Unreadable("a signer without signed attributes")
    identity = expect(data, signer[1], 0x30)
    issuer, serial = whole(data, identity[0]), whole(data, identity[1])
    signer_digest = digest_name(data, signer[2], "zarvel-uri.exe's signer")
    attributes = {}
    for attribute in items(data, signer[3][1], signer[3][2]):
        parts = expect(data, attribute, 0x30)
        values = expect(data, parts[1], 0x31)
        name = oid(data, parts[0])
        if name in attributes or len(values) != 1:
            raise Unreadable("a signed attribute given twice")
        attributes[name] = values[0]
    if OID_CONTENT_TYPE not in attributes or oid(
            data, attributes[OID_CONTENT_TYPE]) != OID_SPC_INDIRECT_DATA:
        raise Unreadable("no content type among the signed attributes")
    message_digest = attributes.get(OID_MESSAGE_DIGEST)
    # Authenticode's message digest covers the content without its own tag and length.
    covered = hashlib.new(signer_digest, data[indirect[1]:indirect[2]]).digest()
    if not message_digest or message_digest[0] != 0x04 or data[
            message_digest[1]:message_digest[2]] != covered:
        differs("zarvel-uri.exe's signed attributes do not hold the digest of what it signs")
    scheme = oid(data, expect(data, signer[4], 0x30)[0])
    if scheme in WEAK_SIGNATURES:
        cannot_check(f"zarvel-uri.exe is signed with {WEAK_SIGNATURES[scheme]}, which is refused")
    if scheme not in SIGNATURES or SIGNATURES[scheme][1] not in (None, signer_digest):
        cannot_check(f"zarvel-uri.exe is signed with {scheme}, which this verifier does not"
                     " check")
    if signer[5][0] != 0x04:
        raise Unreadable("no signature value")
    time_stamped = False
    if len(signer) == 7:
        for attribute in expect(data, signer[6], 0xA1):
            name = oid(data, expect(data, attribute, 0x30)[0])
            if name == OID_NESTED_SIGNATURE:
                cannot_check("zarvel-uri.exe carries a second, nested signature, which this"
                             " verifier does not check")
            if name not in OID_TIMESTAMPS:
                cannot_check(f"zarvel-uri.exe's signature carries an attribute {name}, which"
                             " this verifier does not know")
            time_stamped = True
    own = [c for parts, c in certificates if parts[:2] == (issuer, serial)]
    if len(own) != 1:
        differs("zarvel-uri.exe's signature does not carry its signer's certificate")
    attributes_der = b"\x31" + data[signer[3][3] + 1:signer[3][2]]
    verify_with(own[0].public_key(), data[signer[5][1]:signer[5][2]], attributes_der,
                signer_digest, SIGNATURES[scheme][0], "zarvel-uri.exe's signature")
    # The chain the signature carries: each certificate signed by the next.
    current, current_parts, chain = own[0], next(
        p for p, c in certificates if c is own[0]), [own[0]]
    while True:
        if current_parts[0] == current_parts[2]:  # issued by itself
            check_certificate_signature(current, current, "the signer's root certificate")
            break
        issuers = [(p, c) for p, c in certificates if p[2] == current_parts[0]
                   and c not in chain]
        if not issuers:
            break  # the chain ends below a certificate it does not carry
        current_parts, issuing = issuers[0]
        check_certificate_signature(current, issuing, "a certificate of the signer's chain")
        current = issuing
        chain.append(current)
    return algorithm, signed_digest, own[0].subject.rfc4514_string(), time_stamped


# The rebuild: the commit's release package, built as the project's release
# step builds it, by an unprivileged user in a folder of its own, in an
# environment that holds nothing of the caller's.

def builder():
    """The command prefix that runs a program as the unprivileged builder, and
    that user's (uid, gid); as root that is nobody, otherwise the caller."""
    if os.geteuid() != 0:
        return [], None
    try:
        nobody = pwd.getpwnam("nobody")
    except KeyError:
        cannot_check("this machine has no user nobody, to rebuild without privileges")
    prefix = ["setpriv", f"--reuid={nobody.pw_uid}", f"--regid={nobody.pw_gid}",
              "--clear-groups", "--inh-caps=-all", "--bounding-set=-all", "--no-new-privs", "--"]
    status, text = run(prefix + ["id", "-u"], {"PATH": PATH, "LC_ALL": "C"}, what="setpriv")
    if status or text.strip() != str(nobody.pw_uid):
        cannot_check("cannot drop privileges to the user nobody for the rebuild, and it never"
                     " runs as root")
    return prefix, (nobody.pw_uid, nobody.pw_gid)


def hand_over(folder, owner):
    if owner is None:
        return
    os.lchown(folder, *owner)
    for root, folders, files in os.walk(folder):
        for name in folders + files:
            os.lchown(os.path.join(root, name), *owner)


def rebuild(repository, commit, preset, package_name):
    prefix, owner = builder()
    try:
        temp = tempfile.mkdtemp(prefix="zarvel-verify-release.", dir=TEMP_ROOT)
    except OSError as error:
        cannot_check(f"no folder can be made in {TEMP_ROOT}: {error.strerror}")
    TEMP_FOLDERS.append(temp)
    os.chmod(temp, 0o711)
    home, source = os.path.join(temp, "home"), os.path.join(temp, "source")
    os.mkdir(home, 0o700)
    environment = {"PATH": PATH, "HOME": home, "LC_ALL": "C"}
    with open(os.path.join(temp, "build.log"), "wb") as log:
        status, _ = run(["git", "clone", "--quiet", "--no-local", "--no-checkout",
                         "--no-hardlinks", repository, source], git_env(), log, "git")
        if status:
            cannot_check(f"git could not copy this clone for the rebuild (exit {status})")
        hand_over(home, owner)
        hand_over(source, owner)
        steps = (["git", "-C", source, "-c", "advice.detachedHead=false", "checkout", "--quiet",
                  "--detach", commit],
                 ["cmake", "-S", source, "--preset", preset, "-DBUILD_TESTING=OFF"],
                 ["cmake", "--build", os.path.join(source, "build", preset), "--target",
                  "package", "--parallel", str(min(os.cpu_count() or 1, 4))])
        for step in steps:
            status, _ = run(prefix + step, environment, log, step[0])
            if status:
                cannot_check(f"commit {commit} did not build with preset {preset}: {step[0]}"
                             f" {step[1] if step[0] == 'git' else step[-3]} exited {status}")
    package = os.path.join(source, "build", preset, package_name + ".zip")
    try:
        return read_zip(read_regular_file(package))
    except Verdict as verdict:
        cannot_check(f"the rebuild's package cannot be read: {verdict.text}")


def compare(files, rebuilt, top, signed):
    """Every file of the zip against the rebuild's; the image, where signed,
    but for its signature."""
    for name in sorted(set(rebuilt) - set(files)):
        differs(f"the zip lacks {shown(name)}, which the release holds")
    for name in sorted(set(files) - set(rebuilt)):
        differs(f"the zip holds {shown(name)}, which the release does not")
    image = f"{top}/zarvel-uri.exe"
    for name in sorted(files):
        if name == image and signed:
            continue
        if files[name] != rebuilt[name]:
            difference = first_difference(files[name], rebuilt[name])
            differs(f"{shown(name)} is not the release's: {difference}")
    if signed:
        ours, theirs = files[image], rebuilt[image]
        checksum, security, table, _ = pe_fields(ours, "zarvel-uri.exe")
        padding = -len(theirs) % 8
        unsigned = bytearray(ours[:table])
        expected = bytearray(theirs + b"\0" * padding)
        for copy in (unsigned, expected):
            copy[checksum:checksum + 4] = bytes(4)
            copy[security:security + 8] = bytes(8)
        if unsigned != expected:
            differs(f"{shown(image)} is not the release's image, signed:"
                    f" {first_difference(bytes(unsigned), bytes(expected))} (checksum and"
                    " signature aside)")


def first_difference(ours, theirs):
    """Where two files part: for text, the first line that differs; else the offset."""
    if b"\0" not in ours + theirs:
        number, a, b = next((i, a, b) for i, (a, b) in enumerate(itertools.zip_longest(
            ours.split(b"\n"), theirs.split(b"\n"))) if a != b)
        a, b = ("(none)" if line is None else f"'{shown(line)}'" for line in (a, b))
        return f"its line {number + 1} is {a}, the rebuild's {b}"
    if len(ours) != len(theirs):
        return f"it has {len(ours)} bytes, the rebuild's {len(theirs)}"
    offset = next(i for i, (a, b) in enumerate(zip(ours, theirs)) if a != b)
    return f"first at byte offset {offset}"


def verify(arguments):
    if len(arguments) != 1:
        cannot_check("usage: tools/verify-release.sh ZIP")
    path = arguments[0]
    repository = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
    files, folders = read_zip(read_regular_file(path))
    zip_name = os.path.basename(path)
    version, platform, preset, commit, top = release_of(zip_name, files, folders)
    check_release_commit(repository, version, commit)
    image = files.get(f"{top}/zarvel-uri.exe")
    if image is None:
        cannot_check(f"the zip holds no {shown(top)}/zarvel-uri.exe")
    signature = None
    if pe_fields(image, "zarvel-uri.exe")[3]:
        signature = check_signature(image)
    rebuilt, _ = rebuild(repository, commit, preset, top)
    compare(files, rebuilt, top, signature)
    what = (f"{shown(zip_name)} is release {version} for {platform}, every one of its"
            f" {len(files)} files as commit {commit} builds it with preset {preset}")
    if not signature:
        return what
    algorithm, digest, subject, time_stamped = signature
    rebuilt_digest = authenticode_digest(rebuilt[f"{top}/zarvel-uri.exe"], algorithm,
                                         "the rebuild", padded=True)
    if rebuilt_digest != digest:
        differs(f"zarvel-uri.exe's {algorithm.upper()} Authenticode digest {digest} is not the"
                f" rebuild's {rebuilt_digest}")
    return (f"{what}, zarvel-uri.exe but for its signature ({algorithm.upper()} Authenticode"
            f" digest {digest}); the signature verifies under the certificate of"
            f" {shown(subject)}, whose trust was not checked"
            + ("; its time stamp was not checked" if time_stamped else ""))


def main(arguments):
    line, status = "cannot check: it stopped unexpectedly", 2
    try:
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(number, on_signal)
        line, status = "reproduced: " + verify(arguments), 0
    except Verdict as verdict:
        line, status = f"{verdict.word}: {verdict.text}", 1 if verdict.word == "differs" else 2
    except Stopped as stop:
        line = f"cannot check: stopped by {stop}"
    except BaseException as error:  # noqa: B036 - every failure is a verdict
        line = f"cannot check: unexpected failure ({type(error).__name__}: {shown(str(error))})"
    finally:
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(number, signal.SIG_IGN)
        stop_children()
        for folder in TEMP_FOLDERS:
            shutil.rmtree(folder, ignore_errors=True)
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
