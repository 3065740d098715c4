"""The files and folders the runner trusts: its state, the image cache and
the trees it shares. Each is reached without following a link that someone
else could plant, and is used only if it belongs to this user (or root, on
the way to it) and no one else may write to it."""

import errno
import fcntl
import os
import stat

from machines import GuestError


# A state file is small; anything longer is not ours.
STATE_FILE_LIMIT = 4096


def ours(info, what, writable_by_root_too=False):
    """Refuses a file or folder that is not the effective user's, or that
    its group or others may write."""
    uid = os.geteuid()
    if info.st_uid != uid and not (writable_by_root_too and info.st_uid == 0):
        raise GuestError(f"{what} belongs to uid {info.st_uid}, not to this user (uid {uid}): "
                         "it is not used")
    if info.st_mode & 0o022:
        raise GuestError(f"{what} may be written by its group or others (mode "
                         f"{stat.S_IMODE(info.st_mode):04o}): it is not used")


def open_folder(path, what, make=False):
    """An fd for the folder `path`, never through a link, after checking that
    it is ours and that no one else may write to it."""
    if make:
        try:
            os.mkdir(path, 0o700)
        except FileExistsError:
            pass
        except OSError as error:
            raise GuestError(f"cannot make {what} {path}: {error.strerror}")
    try:
        fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC)
    except OSError as error:
        if error.errno in (errno.ELOOP, errno.ENOTDIR):
            raise GuestError(f"{what} {path} is not a folder (a link or a file): it is not used")
        raise GuestError(f"cannot open {what} {path}: {error.strerror}")
    try:
        ours(os.fstat(fd), f"{what} {path}")
    except GuestError:
        os.close(fd)
        raise
    return fd


def open_file(folder, name, what, flags=os.O_RDONLY, mode=0o600):
    """Opens `name` in the folder fd `folder`, never through a link (nor a
    FIFO or device); with O_CREAT, only a file we own is accepted."""
    try:
        fd = os.open(name, flags | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK, mode,
                     dir_fd=folder)
    except OSError as error:
        if error.errno == errno.ELOOP:
            raise GuestError(f"{what} is a symbolic link: it is not followed")
        raise
    info = os.fstat(fd)
    if not stat.S_ISREG(info.st_mode) or info.st_uid != os.geteuid():
        os.close(fd)
        raise GuestError(f"{what} is not a plain file of this user: it is not used")
    os.set_blocking(fd, True)
    return fd


def create_file(folder, name, what, mode=0o600):
    """A new file `name` in the folder fd, made with O_EXCL: whatever had the
    name (a link, a file another process left) is removed first, never
    opened."""
    try:
        os.unlink(name, dir_fd=folder)
    except FileNotFoundError:
        pass
    except IsADirectoryError:
        raise GuestError(f"{what} is a folder: it is not used")
    return os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC,
                   mode, dir_fd=folder)


def write_file(folder, name, what, content):
    """Writes `name` whole under a temporary name, then renames it: readers
    see the old or the new content, and a link in its place is replaced."""
    temporary = f".{name}.{os.getpid()}"
    fd = create_file(folder, temporary, what)
    with os.fdopen(fd, "wb") as file:
        file.write(content)
    os.rename(temporary, name, src_dir_fd=folder, dst_dir_fd=folder)


def read_file(folder, name, limit=STATE_FILE_LIMIT):
    try:
        fd = open_file(folder, name, name)
    except (OSError, GuestError):
        return b""
    with os.fdopen(fd, "rb") as file:
        return file.read(limit)


class Lock:
    """flock on `name` in the folder fd, held until closed."""

    def __init__(self, folder, name, what, mode=fcntl.LOCK_EX, wait=True):
        self.fd = open_file(folder, name, what, os.O_RDWR | os.O_CREAT)
        try:
            fcntl.flock(self.fd, mode | (0 if wait else fcntl.LOCK_NB))
        except BaseException:
            os.close(self.fd)
            raise

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def within(path, folder):
    return path == folder or path.startswith(folder.rstrip("/") + "/")


class Untrusted(GuestError):
    """A path that someone other than root or this user could redirect."""


def trusted_folder(path, make=False, mode=0o755):
    """The absolute `path` with its links resolved, after checking every
    step from / with lstat, so that no one but root and this user can
    change where it leads once checked: each folder on the way, and each
    link, belongs to root or this user, and no folder may be written by
    its group or others unless it is sticky (where only an entry's owner
    may rename or remove it). A link is followed only once the folder that
    holds it has passed. With `make`, missing folders are made (`mode`).
    Else Untrusted, saying why."""
    uid = os.geteuid()
    parts = ["/"] + path.split("/")
    resolved = "/"
    links = 0
    while parts:
        name = parts.pop(0)
        if name in ("", "."):
            continue
        if name == "..":
            resolved = os.path.dirname(resolved)
            continue
        here = os.path.join(resolved, name)
        try:
            info = os.lstat(here)
        except FileNotFoundError:
            if not make:
                raise Untrusted(f"{here} does not exist")
            try:
                os.mkdir(here, mode)
            except FileExistsError:
                pass
            except OSError as error:
                raise Untrusted(f"cannot make {here}: {error.strerror}")
            info = os.lstat(here)
        except OSError as error:
            raise Untrusted(f"{here}: {error.strerror}")
        if info.st_uid not in (0, uid):
            raise Untrusted(f"{here} belongs to uid {info.st_uid}, neither root nor this user "
                            f"(uid {uid}), who could put a link in its place")
        if stat.S_ISLNK(info.st_mode):
            links += 1
            if links > 40:
                raise Untrusted(f"{here}: too many links")
            target = os.readlink(here)
            if target.startswith("/"):
                resolved = "/"
            parts[:0] = target.split("/")
            continue
        if not stat.S_ISDIR(info.st_mode):
            raise Untrusted(f"{here} is not a folder")
        if info.st_mode & 0o022 and not info.st_mode & stat.S_ISVTX:
            raise Untrusted(f"{here} may be written by its group or others (mode "
                            f"{stat.S_IMODE(info.st_mode):04o}, not sticky), who could put a "
                            "link in place of what it holds")
        resolved = here
    return resolved


def unsafe_share(path):
    """Why `path` may not be shared with the guest, or None."""
    if path == "/":
        return "it is the root folder"
    home = os.path.realpath(os.path.expanduser("~"))
    if home == path or home.startswith(path + "/"):
        return "it is the home folder or holds it"
    if any(c.isspace() for c in path):
        return "its path has white space"
    try:
        info = os.stat(path)
    except OSError as error:
        return error.strerror
    if not stat.S_ISDIR(info.st_mode):
        return "it is not a folder"
    if info.st_uid not in (os.geteuid(), 0) or info.st_mode & 0o022:
        return "it is not this user's alone (others own it or may write to it)"
    return None
