"""The guests' machines, one per architecture of Wine they run, each
described by its row NAME.machine beside this file: name=value lines that
the runner, the image builder and the guest's init all read, so that what
differs between the guests is said once, there. Everything else runs every
machine the same way (one agent, one protocol, one set of safety rules).

  x86    Debian 12 amd64 with 32-bit Wine, for hosts that cannot execute
         32-bit x86 code: qemu-system-x86_64, KVM where its kernel boots
  arm64  Debian 12 arm64 with 64-bit ARM Wine: qemu-system-aarch64's virt
         machine, always emulated (TCG) on an x86-64 host
"""

import os
import sys

FILES_DIR = os.path.dirname(os.path.abspath(__file__))
ROW_SUFFIX = ".machine"
# The machine of a command that names none.
DEFAULT = "x86"


class GuestError(Exception):
    """A failure of the guest or of what it is given, which the runner
    reports in one message."""


def note(text):
    print(f"guest: {text}", file=sys.stderr, flush=True)


def seconds(name, default):
    """The limit that the environment variable `name` sets, in seconds."""
    value = os.environ.get(name, "")
    try:
        return float(value) if value else float(default)
    except ValueError:
        raise GuestError(f"{name} must be a number of seconds, not {value!r}")


def read_row(path):
    """The name=value lines of a row; `#` starts a comment line."""
    values = {}
    with open(path) as file:
        for line in file:
            line = line.rstrip("\n")
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            name, _, value = line.partition("=")
            values[name.strip()] = value.strip()
    return values


class Machine:
    # What every image is made from, beside this file; the row comes on top.
    SHARED_IMAGE_FILES = ("build-image.sh", "packages", "init")

    def __init__(self, name):
        self.name = name
        self.row_file = name + ROW_SUFFIX
        self.files_dir = FILES_DIR
        self.row = read_row(os.path.join(FILES_DIR, self.row_file))
        self.qemu = self.row["qemu"].split()
        self.console = self.row["console"]
        # What the first boot does, as a note says it.
        self.first_boot = self.row["first_boot"]
        # Seconds the first boot may take, for the host's limit's default.
        self.first_boot_limit = float(self.row["first_boot_limit"])

    @property
    def image_files(self):
        """Exactly what the image is made from, in the files folder."""
        return self.SHARED_IMAGE_FILES + (self.row_file,)

    def image_script(self):
        return os.path.join(self.files_dir, "build-image.sh")

    def cannot_use_kvm(self):
        """Why this machine never runs under KVM on this host, or None."""
        if self.row.get("kvm_cpu"):
            return None
        return self.row.get("no_kvm_because") or "its row names no CPU for KVM"

    def cpu(self, accel):
        if accel == "kvm":
            return ["-accel", "kvm", "-cpu", self.row["kvm_cpu"]]
        return ["-accel", "tcg,thread=multi", "-cpu", self.row["tcg_cpu"]]


MACHINES = {name[:-len(ROW_SUFFIX)]: Machine(name[:-len(ROW_SUFFIX)])
            for name in sorted(os.listdir(FILES_DIR)) if name.endswith(ROW_SUFFIX)}


def machine(name):
    try:
        return MACHINES[name]
    except KeyError:
        raise GuestError(f"no guest for the architecture {name!r}; there are "
                         + ", ".join(MACHINES))
