"""The guests' machines, one per architecture of Wine they run: where each
image is made from and how QEMU boots it. runner.py runs either the same
way (one agent, one protocol, one set of safety rules).

  x86    Debian 12 amd64 with 32-bit Wine, for hosts that cannot execute
         32-bit x86 code: qemu-system-x86_64, KVM where its kernel boots
  arm64  Debian 12 arm64 with 64-bit ARM Wine: qemu-system-aarch64's virt
         machine, always emulated (TCG) on an x86-64 host
"""

import os

GUEST_FILES_DIR = os.path.dirname(os.path.abspath(__file__))


class GuestError(Exception):
    pass


class Machine:
    # Exactly what an image is made from, in the machine's files folder.
    IMAGE_FILES = ("build-image.sh", "packages", "init")

    def __init__(self, name, files_dir, qemu, console, first_boot, first_boot_limit):
        self.name = name
        self.files_dir = files_dir
        self.qemu = qemu
        self.console = console
        # What the first boot does, as a note says it.
        self.first_boot = first_boot
        # Seconds the first boot may take, for the host's limit's default.
        self.first_boot_limit = first_boot_limit

    def image_script(self):
        return os.path.join(self.files_dir, "build-image.sh")

    def cannot_use_kvm(self):
        """Why this machine never runs under KVM on this host, or None."""
        return None

    def cpu(self, accel):
        raise NotImplementedError


class X86(Machine):
    def __init__(self):
        super().__init__("x86", GUEST_FILES_DIR, ["qemu-system-x86_64"], "ttyS0",
                         "configuring the i386 packages and making the win32 prefix template",
                         1200)

    def cpu(self, accel):
        if accel == "kvm":
            # The host's CPU without IA32_ARCH_CAPABILITIES, which some
            # nested KVMs cannot set (QEMU then aborts on MSR 0x10a).
            return ["-accel", "kvm", "-cpu", "host,-arch-capabilities"]
        # A plain older model, not max: -cpu max alone oopses on the first
        # IRET of 32-bit Wine code under QEMU 7.2's TCG with SMAP, and its
        # 5-level paging and AVX make everything slower to emulate. Ten
        # runs of a Wine program took 18 s with max,-smap, 14 s without
        # la57 as well, 10.5 s with Nehalem; a session's start 26-30 s
        # against 18 s.
        return ["-accel", "tcg,thread=multi", "-cpu", "Nehalem"]


class Arm64(Machine):
    def __init__(self):
        # A fresh 64-bit ARM prefix takes 6 to 8 minutes under TCG on a
        # quiet 2-core host; the guest's own limits for it end sooner.
        super().__init__("arm64", os.path.join(GUEST_FILES_DIR, "arm64"),
                         ["qemu-system-aarch64", "-M", "virt"], "ttyAMA0",
                         "making the win64 prefix template", 2700)

    def cannot_use_kvm(self):
        return "an x86-64 host emulates aarch64"

    def cpu(self, accel):
        # A plain ARMv8.0 core, not max: no pointer authentication, SVE or
        # the other extensions that TCG emulates slowly, none of which Wine
        # needs. Five runs of a Wine program in a settled session took
        # 17.8 and 19.6 s with max,pauth-impdef=on, 14.1 and 13.8 s with
        # cortex-a72; a session's start 65 and 76 s against 50 and 52 s.
        return ["-accel", "tcg,thread=multi", "-cpu", "cortex-a72"]


MACHINES = {machine.name: machine for machine in (X86(), Arm64())}


def machine(name):
    try:
        return MACHINES[name]
    except KeyError:
        raise GuestError(f"no guest for the architecture {name!r}; there are "
                         + ", ".join(MACHINES))

