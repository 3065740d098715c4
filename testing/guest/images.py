"""The image cache: each machine's image (Debian's kernel, an initrd, a raw
ext4 root with Wine), built once per change of the files that define it,
kept under ${XDG_CACHE_HOME:-~/.cache}/tolvarsdk/guest/<key>/, and held by
a shared lock while a guest boots from it."""

import fcntl
import hashlib
import os
import shutil
import stat
import subprocess
import time

from files import Lock, Untrusted, create_file, open_folder, ours, read_file, trusted_folder
from keeper import dies_with, end_process
from machines import DEFAULT, MACHINES, GuestError, note, seconds
from qemu import (choose_accel, console_last_line, console_tail, forced_accel, init_spoke,
                  qemu_command, silent_under_kvm)


# An image of another key that no guest has booted for this long is
# removed after a build.
IN_USE_KEEP_SECONDS = 7 * 24 * 3600


def cache_base():
    return os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")


def cache_root():
    return os.path.join(cache_base(), "tolvarsdk", "guest")


def image_key(machine=MACHINES[DEFAULT]):
    """A hash of exactly what the machine's image is made from."""
    digest = hashlib.sha256()
    for name in machine.image_files:
        with open(os.path.join(machine.files_dir, name), "rb") as file:
            content = file.read()
        digest.update(f"{name}\0{len(content)}\0".encode() + content)
    return digest.hexdigest()[:16]


def ensure_image(machine):
    """The cached image's key and folder, with a shared lock on its in-use
    file (a Lock, to be held while a guest boots from it). The image is
    built under a temporary name and renamed when complete, so a half-built
    image is never used. One build at a time per key, under the key's own
    lock (KEY.lock), so that a long build of one architecture's image never
    holds up a boot from another's; the cache's lock is held only to look
    and to rename. Images of other keys that no guest holds and none has
    booted for a week are removed after a build."""
    root = cache_root()
    # QEMU is given the image's files by their paths.
    try:
        root = os.path.join(trusted_folder(os.path.abspath(os.path.dirname(root)), make=True,
                                           mode=0o700), os.path.basename(root))
    except Untrusted as why:
        raise GuestError(f"the guest image cache {root} is not used: {why}")
    cache = open_folder(root, "the guest image cache", make=True)
    key = image_key(machine)
    image = os.path.join(root, key)
    try:
        with Lock(cache, "lock", f"the image cache's lock {root}/lock"):
            missing = not os.path.lexists(image)
        if missing and os.geteuid() != 0:
            raise GuestError(
                f"the guest image {key} is not in {root}, and building it needs root "
                "(debootstrap, chroot, mounts): run the tests as root, or have root build "
                f"it (`testing/guest/runner.py --arch {machine.name} image`) into a cache that is "
                "then yours")
        if missing:
            with Lock(cache, f"{key}.lock", f"the image's build lock {image}.lock"):
                if not os.path.lexists(image):
                    build_new_image(machine, cache, root, key)
        with Lock(cache, "lock", f"the image cache's lock {root}/lock"):
            folder = open_folder(image, f"the guest image {key}")
            try:
                check_image(folder, image)
                in_use = Lock(folder, "in-use", f"{image}/in-use", fcntl.LOCK_SH)
                os.utime(in_use.fd)
            finally:
                os.close(folder)
        return key, image, in_use
    finally:
        os.close(cache)


def check_image(folder, image):
    for name in ("vmlinuz", "initrd.gz", "root.img"):
        info = os.stat(name, dir_fd=folder, follow_symlinks=False)
        if not stat.S_ISREG(info.st_mode):
            raise GuestError(f"{os.path.join(image, name)} is not a plain file: it is not used")
        ours(info, os.path.join(image, name))


def build_new_image(machine, cache, root, key):
    """Builds the image of `key` (its build lock held) beside what a build
    of this key left unfinished, which is removed first."""
    image = os.path.join(root, key)
    for name in os.listdir(cache):
        if name.startswith(f"{key}.partial-"):
            shutil.rmtree(os.path.join(root, name), ignore_errors=True)
    partial = f"{image}.partial-{os.getpid()}"
    try:
        build_image(machine, partial, key)
        with Lock(cache, "lock", f"the image cache's lock {root}/lock"):
            os.rename(partial, image)
            remove_stale_images(cache, root, key)
    finally:
        shutil.rmtree(partial, ignore_errors=True)


def build_image(machine, partial, key):
    """Builds into `partial`: the files, then the first boot in the guest."""
    note(f"building the {machine.name} guest image {key} (once per change of its files) in "
         f"{partial}")
    script = machine.image_script()
    started = time.monotonic()
    # The builder (debootstrap, chroot, qemu-user) runs as root as the
    # first process of a PID namespace of its own, which dies with this
    # runner, however it ends: every process it started goes with it.
    builder = subprocess.Popen(["unshare", "--pid", "--fork", "--kill-child", script,
                                machine.name, partial],
                               stdin=subprocess.DEVNULL, preexec_fn=dies_with(os.getpid()))
    try:
        builder.wait()
    finally:
        end_process(builder)
    if builder.returncode != 0:
        raise GuestError(f"the guest image {key} could not be built ({script} exited with "
                         f"status {builder.returncode}; its output is above)")
    folder = open_folder(partial, "the partial image")
    try:
        accel, why = choose_accel(machine, partial)
        # A first boot that KVM leaves silent starts again under TCG, once.
        fallback = accel == "kvm" and not forced_accel()
        limit = seconds("TOLVAR_GUEST_FIRST_BOOT_LIMIT", machine.first_boot_limit)
        while True:
            console = create_file(folder, "first-boot.log", "the first boot's console")
            qemu_log = create_file(folder, "qemu.log", "QEMU's log")
            note(f"first boot ({accel.upper()}: {why}): {machine.first_boot}")
            booted = time.monotonic()
            qemu = subprocess.Popen(qemu_command(machine, partial, console,
                                                 "tolvar.mode=first-boot", accel, snapshot=False),
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=qemu_log, pass_fds=(console,),
                                    preexec_fn=dies_with(os.getpid()))
            os.close(console)
            os.close(qemu_log)
            silent = False
            try:
                while qemu.poll() is None and time.monotonic() - booted < limit:
                    if fallback and silent_under_kvm(folder, "first-boot.log", booted):
                        silent = True
                        break
                    time.sleep(1)
                if qemu.poll() is None and not silent:
                    raise GuestError(f"the first boot did not end within {limit:g} s; its last "
                                     "console lines:\n" + console_tail(folder, "first-boot.log"))
            finally:
                end_process(qemu, 2)
            if fallback and not init_spoke(folder, "first-boot.log"):
                last = console_last_line(folder, "first-boot.log")
                os.rename("first-boot.log", "first-boot.kvm.log", src_dir_fd=folder,
                          dst_dir_fd=folder)
                note(f"the first boot under KVM never reached the guest's init (its console, "
                     f"now {partial}/first-boot.kvm.log, said {last} last): it starts again "
                     "under TCG")
                accel, why, fallback = "tcg", "the guest stayed silent under KVM", False
                continue
            break
        if b"tolvar-init: first boot done" not in read_file(folder, "first-boot.log", 1 << 24):
            raise GuestError("the first boot failed; its last console lines:\n"
                             + console_tail(folder, "first-boot.log"))
    finally:
        os.close(folder)
    note(f"image {key} built in {time.monotonic() - started:.0f} s")


def remove_stale_images(cache, root, key):
    for name in os.listdir(cache):
        stale = os.path.join(root, name)
        if name == key or ".partial-" in name or not os.path.isdir(stale) or \
                os.path.islink(stale):
            continue
        try:
            folder = open_folder(stale, "a stale image")
        except GuestError:
            continue
        try:
            with Lock(folder, "in-use", "in-use", wait=False) as held:
                if time.time() - os.fstat(held.fd).st_mtime < IN_USE_KEEP_SECONDS:
                    continue
        except (BlockingIOError, OSError, GuestError):
            continue
        finally:
            os.close(folder)
        note(f"removing the image {name}, unused for a week")
        shutil.rmtree(stale, ignore_errors=True)
