"""Runs a few commands where nothing else can reach them and nothing of them lasts.
  sandbox.py setup    as root of fresh mount, PID, network, IPC and UTS namespaces
  sandbox.py run      (started by setup) as the builder
The verifier starts `setup` with unshare and hands it a request on standard
input, JSON: {"builder": [uid, gid], "nested": bool, "inputs": {name: base64},
"steps": [[argument, ...], ...], "environment": {...}, "collect": folder}.

`setup` builds a root of its own on a tmpfs that only this mount namespace
has: /usr, /etc and /var/lib/dpkg of the machine, read-only; /in, the inputs,
read-only to the builder; /tmp, the builder's and the only place it can
write; a /dev of five devices and a /proc of its PID namespace. There it
starts `run` as the builder: a user id that nothing else on the machine has
(root's case) or, nested in a user namespace of its own, the caller itself
(an ordinary user's case); no capabilities, no new privileges either way.
`run` runs the steps in /tmp, their output to /tmp/log, stops at the first
that fails, and answers on standard output, JSON: {"failed": index, "status":
exit status} or {"files": {name: base64}} of the regular files below
/tmp/<collect>. `setup` stays PID 1 of the namespace, with unshare's
--kill-child signal: when unshare's process or `setup` ends, the kernel ends
every process left in the namespace, and the tmpfs goes with it.
"""

import base64
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True
import release_zip

SHARED = ("usr", "etc", "var/lib/dpkg")
DEVICES = ("null", "zero", "full", "random", "urandom")
TOOLS = "/opt/zarvel-verifier"  # this folder, read-only, where `run` starts from


def mount(*arguments, pass_fds=()):
    subprocess.run(["mount", *arguments], check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, pass_fds=pass_fds)


def bind_read_only(source, target, pass_fds=()):
    mount("--no-canonicalize", "--bind", source, target, pass_fds=pass_fds)
    mount("-o", "remount,bind,ro,nosuid,nodev", target)


def build_root(request):
    """The new root is a tmpfs over /tmp, which hides the machine's /tmp from
    this namespace; this folder may lie below it, so it is held open first."""
    uid, gid = request["builder"]
    here = os.open(HERE, os.O_PATH | os.O_DIRECTORY | os.O_CLOEXEC)
    root = "/tmp"
    mount("-t", "tmpfs", "-o", "mode=0755,size=4g", "zarvel-sandbox", root)
    for folder in SHARED + ("proc", "dev", "in", "tmp", TOOLS[1:], ".old"):
        os.makedirs(os.path.join(root, folder))
    for folder in SHARED:
        bind_read_only("/" + folder, os.path.join(root, folder))
    bind_read_only(f"/proc/self/fd/{here}", root + TOOLS, pass_fds=(here,))
    os.close(here)
    for link in ("bin", "sbin", "lib", "lib32", "lib64", "libx32"):  # merged /usr
        if os.path.islink("/" + link):
            os.symlink(os.readlink("/" + link), os.path.join(root, link))
    inputs = {name: base64.b64decode(data) for name, data in request.pop("inputs").items()}
    # The builder's name, which ssh-keygen insists on, in this root only.
    inputs["passwd"] = f"root:x:0:0::/:/bin/sh\nbuilder:x:{uid}:{gid}::/tmp/home:/bin/sh\n".encode()
    inputs["group"] = f"root:x:0:\nbuilder:x:{gid}:\n".encode()
    for name, data in inputs.items():
        with open(os.path.join(root, "in", name), "wb") as file:
            file.write(data)
    for name in ("passwd", "group"):
        bind_read_only(f"{root}/in/{name}", f"{root}/etc/{name}")
    mount("-t", "proc", "-o", "nosuid,nodev,noexec", "proc", root + "/proc")
    mount("-t", "tmpfs", "-o", "mode=0755,size=64k,nosuid", "zarvel-dev", root + "/dev")
    for device in DEVICES:
        open(f"{root}/dev/{device}", "w").close()
        mount("--bind", "/dev/" + device, f"{root}/dev/{device}")
    os.symlink("/proc/self/fd", root + "/dev/fd")
    with open(root + "/in/request.json", "w", encoding="utf-8") as file:
        json.dump(request, file)
    os.chmod(root + "/tmp", 0o700)
    if not request["nested"]:
        os.chown(root + "/tmp", uid, gid)  # an empty folder, before anyone but us exists here
    os.chdir(root)
    subprocess.run(["pivot_root", ".", ".old"], check=True, stderr=subprocess.PIPE)
    subprocess.run(["umount", "-l", "/.old"], check=True, stderr=subprocess.PIPE)
    os.rmdir("/.old")


def run_as_builder(request):
    uid, gid = request["builder"]
    drop = ["setpriv", "--inh-caps=-all", "--bounding-set=-all", "--no-new-privs", "--"]
    if request["nested"]:
        prefix = ["unshare", "--user", f"--map-user={uid}", f"--map-group={gid}", "--", *drop]
    else:
        prefix = drop[:1] + [f"--reuid={uid}", f"--regid={gid}", "--clear-groups"] + drop[1:]
    # A child, not this process: PID 1 keeps its credentials, and with them the
    # signal that ends it, and the namespace, when unshare's process ends.
    subprocess.run(prefix + ["/usr/bin/python3", "-I", TOOLS + "/sandbox.py", "run"],
                   stdin=subprocess.DEVNULL)


def setup():
    request = json.load(sys.stdin)
    try:
        build_root(request)
    except (OSError, subprocess.CalledProcessError) as failure:
        reason = getattr(failure, "stderr", None) or str(failure)
        answer({"setup": reason.decode() if isinstance(reason, bytes) else reason})
        return
    run_as_builder(request)


def run():
    with open("/in/request.json", encoding="utf-8") as file:
        request = json.load(file)
    os.chdir("/tmp")
    os.mkdir("/tmp/home", 0o700)
    with open("/tmp/log", "wb") as log:
        for index, step in enumerate(request["steps"]):
            status = subprocess.run(step, env=request["environment"], stdin=subprocess.DEVNULL,
                                    stdout=log, stderr=log).returncode
            if status:
                answer({"failed": index, "status": status})
                return
    if not request["collect"]:
        answer({"files": {}})
        return
    try:
        files = release_zip.release_files(os.path.join("/tmp", request["collect"]))
    except (OSError, ValueError) as failure:
        answer({"unreadable": str(failure)})
        return
    answer({"files": {name: base64.b64encode(data).decode() for name, data in files.items()}})


def answer(message):
    sys.stdout.write(json.dumps(message))
    sys.stdout.flush()


if __name__ == "__main__":
    if sys.argv[1:] == ["setup"]:
        setup()
    elif sys.argv[1:] == ["run"]:
        run()
    else:
        sys.exit(__doc__)
