"""The release zip, a pure function of its files.
  release_zip.py FILES_DIR SOURCE_DIR ZIP
FILES_DIR holds one folder, zarvel-uri-<version>-<platform>, with the release's
files; ZIP and ZIP's SHA256SUMS beside it are written from them. The verifier
writes the same zip from the files it rebuilt and compares bytes, so nothing
here may depend on who runs it, where, when, or on the file system: entries
are sorted by name, stored, stamped with the commit's time, with fixed
permission bits and no extra fields, comments or data descriptors.
"""

import hashlib
import io
import os
import stat
import subprocess
import sys
import time
import zipfile

# A release is a dozen small files; far more or far larger is no release.
MAX_FILES = 64
MAX_FILE_BYTES = 16 << 20
MAX_TOTAL_BYTES = 48 << 20
# Zip time stamps cannot go earlier; a tree without a commit gets this one.
EARLIEST = 315532800  # 1980-01-01T00:00:00Z


def mode(name):
    return 0o755 if name.endswith(".exe") else 0o644


def canonical_zip(files, epoch):
    """The zip of FILES ({name: bytes}, names relative to the zip's root)."""
    stamp = time.gmtime(max(epoch, EARLIEST))[:6]
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_STORED, allowZip64=False) as archive:
        for name in sorted(files):
            info = zipfile.ZipInfo(name, stamp)
            info.create_system = 3  # Unix, so that the permission bits are read
            info.external_attr = (stat.S_IFREG | mode(name)) << 16
            archive.writestr(info, files[name])
    return buffer.getvalue()


def release_files(folder):
    """{name relative to FOLDER: bytes} of the files below it. Links and special
    files are refused, not followed: a rebuild's files are read this way too, as
    its unprivileged builder."""
    files, total, pending = {}, 0, [""]
    while pending:
        prefix = pending.pop()
        with os.scandir(os.path.join(folder, prefix)) as entries:
            for entry in entries:
                name = prefix + entry.name
                if entry.is_dir(follow_symlinks=False):
                    pending.append(name + "/")
                    continue
                if len(files) == MAX_FILES:
                    raise ValueError(f"more than {MAX_FILES} files, more than a release has")
                files[name] = read_regular_file(entry.path, name)
                total += len(files[name])
                if total > MAX_TOTAL_BYTES:
                    raise ValueError(f"more than {MAX_TOTAL_BYTES} bytes, more than a release has")
    return files


def read_regular_file(path, name):
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as error:
        raise ValueError(f"{name} cannot be read as a file: {error.strerror}") from error
    with os.fdopen(fd, "rb") as file:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise ValueError(f"{name} is not a regular file")
        content = file.read(MAX_FILE_BYTES + 1)
    if len(content) > MAX_FILE_BYTES:
        raise ValueError(f"{name} has more than {MAX_FILE_BYTES} bytes, more than a release file")
    return content


def commit_time(source):
    """SOURCE_DATE_EPOCH where set, as for the bill of materials; else the time of
    the commit the tree is at."""
    if os.environ.get("SOURCE_DATE_EPOCH"):
        return int(os.environ["SOURCE_DATE_EPOCH"])
    log = subprocess.run(["git", "-C", source, "log", "-1", "--format=%ct"], capture_output=True,
                         text=True)
    return int(log.stdout) if log.returncode == 0 and log.stdout.strip() else EARLIEST


def main(files_dir, source, zip_path):
    data = canonical_zip(release_files(files_dir), commit_time(source))
    name = os.path.basename(zip_path)
    sums = os.path.splitext(zip_path)[0] + ".SHA256SUMS"
    for path, content in ((zip_path, data),
                          (sums, f"{hashlib.sha256(data).hexdigest()}  {name}\n".encode())):
        with open(path + ".partial", "wb") as file:
            file.write(content)
        os.replace(path + ".partial", path)


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    try:
        main(*sys.argv[1:])
    except (OSError, ValueError) as failure:
        sys.exit(f"release_zip: {failure}")
