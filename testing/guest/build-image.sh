#!/bin/sh
# Builds the files of a Wine guest from Debian's packages only:
#   build-image.sh MACHINE OUT
# MACHINE names a row beside this script (MACHINE.machine): what differs
# between the guests, from Debian's architecture to the template's
# wineboot. Writes OUT/vmlinuz (Debian's kernel), OUT/initrd.gz (busybox
# and the modules that reach the disk, the shares and the network) and
# OUT/root.img (a raw ext4 image of a debootstrap minbase root with the
# packages listed in ./packages, the row's foreign packages, ./init as the
# guest's init and the row at /etc/tolvar/machine for it). Foreign
# packages are only unpacked here, because this host may not execute their
# code: the guest's first boot (runner.py, beside this script) configures
# them and makes the Wine prefix template. Runs as root; the mounts it
# makes live in a mount namespace of its own and vanish with it.
set -eu
refuse() { echo "build-image.sh: $*" >&2; exit 2; }
[ $# -eq 2 ] || refuse "usage: build-image.sh MACHINE OUT (one absolute path)"
machine=$1 out=$2
here=$(cd "$(dirname "$0")" && pwd)
case $machine in
'' | *[!a-z0-9_]*) refuse "MACHINE must be a plain name, not '$machine'" ;;
esac
row_file=$here/$machine.machine
[ -f "$row_file" ] || refuse "no machine $machine: $row_file is missing"
# OUT is emptied and filled as root: only an absolute path whose last part
# is a plain name, and that is an empty folder or not there yet (never a
# link), is accepted; an empty or relative argument would name host folders.
case $out in
/*) ;;
*) refuse "OUT must be an absolute path, not '$out'" ;;
esac
case $out/ in
*/./* | */../* | *//*) refuse "OUT must be a plain absolute path, not '$out'" ;;
esac
[ ! -L "$out" ] || refuse "OUT $out is a symbolic link"
if [ -e "$out" ]; then
    [ -d "$out" ] && [ -z "$(ls -A "$out")" ] || refuse "OUT $out exists and is not an empty folder"
fi
[ "$(id -u)" -eq 0 ] || refuse "runs as root (debootstrap, chroot, mounts, binfmt_misc)"
if [ "${TOLVAR_IMAGE_NAMESPACE:-}" != private ]; then
    TOLVAR_IMAGE_NAMESPACE=private exec unshare --mount --propagation private "$0" "$@"
fi
row() { sed -n "s/^$1=//p" "$row_file" | head -1; }
debian_arch=$(row debian_arch)
kernel_package=$(row kernel_package)
foreign_arch=$(row foreign_arch)
foreign_packages=$(row foreign_packages)
binfmt_entry=$(row binfmt_entry)
modules=$(row initrd_modules)
[ -n "$debian_arch" ] && [ -n "$kernel_package" ] && [ -n "$modules" ] ||
    refuse "$row_file names no debian_arch, kernel_package or initrd_modules"
mirror=${TOLVAR_GUEST_MIRROR:-http://deb.debian.org/debian}

step() { echo "guest image ($machine): $*"; }

# A foreign architecture's programs run here through qemu-user-static's
# binfmt_misc entry. Debian registers it at boot under systemd; elsewhere
# it is done here, once for the host.
if [ -n "$binfmt_entry" ]; then
    entry=/proc/sys/fs/binfmt_misc/$binfmt_entry
    if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc ||
            refuse "cannot mount binfmt_misc, which runs the $debian_arch programs of the build"
    fi
    if [ ! -e "$entry" ]; then
        step "registering $binfmt_entry with binfmt_misc (update-binfmts --enable $binfmt_entry)"
        update-binfmts --enable "$binfmt_entry" ||
            refuse "update-binfmts cannot enable $binfmt_entry (is qemu-user-static installed?)"
    fi
    grep -qx enabled "$entry" && grep -q '^flags: .*F' "$entry" ||
        refuse "$entry is not an enabled entry with the F flag: $(tr '\n' ' ' <"$entry")"
fi

mkdir -p "$out"
root=$out/root
work=$out/work
mkdir "$root" "$work"

in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    DEBIAN_FRONTEND=noninteractive LC_ALL=C "$@"; }

packages=$(sed -e 's/#.*//' "$here/packages" | tr -s ' \n' '  ')

step "debootstrap bookworm $debian_arch (minbase) from $mirror"
debootstrap --variant=minbase --arch="$debian_arch" --include=kmod bookworm "$root" "$mirror" \
    >"$work/debootstrap.log" 2>&1 || { tail -20 "$work/debootstrap.log"; exit 1; }

mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
cp /etc/resolv.conf "$root/etc/resolv.conf"
# No daemon starts in the chroot; documentation is not needed in the guest.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"
cat >"$root/etc/dpkg/dpkg.cfg.d/01-tolvar-guest" <<'END'
path-exclude=/usr/share/doc/*
path-exclude=/usr/share/man/*
path-exclude=/usr/share/info/*
END
echo "deb $mirror bookworm main" >"$root/etc/apt/sources.list"

step "packages:$packages"
[ -z "$foreign_arch" ] || in_root dpkg --add-architecture "$foreign_arch"
in_root apt-get update -qq
in_root apt-get install -y -qq --no-install-recommends $packages >"$work/apt.log" 2>&1 ||
    { tail -20 "$work/apt.log"; exit 1; }

if [ -n "$foreign_packages" ]; then
    step "packages unpacked for the first boot: $foreign_packages"
    in_root apt-get clean
    in_root apt-get install -y -qq --no-install-recommends --download-only $foreign_packages \
        >>"$work/apt.log" 2>&1 || { tail -20 "$work/apt.log"; exit 1; }
    # The order of unpacking does not matter with --force-depends: the
    # first boot's `dpkg --configure -a` orders the configuration.
    in_root sh -c 'dpkg --unpack --force-depends --force-breaks /var/cache/apt/archives/*.deb' \
        >>"$work/apt.log" 2>&1 || { tail -20 "$work/apt.log"; exit 1; }
fi
in_root apt-get clean

step "kernel and initrd"
flavour=${kernel_package#linux-image-}
kernel_version_package=$(in_root apt-cache depends --important "$kernel_package" |
    sed -n "s/^ *Depends: \(linux-image-[0-9].*-$flavour\)\$/\1/p" | head -1)
[ -n "$kernel_version_package" ] || { echo "no kernel package behind $kernel_package" >&2; exit 1; }
mkdir -p "$root/tmp/kernel-deb"
in_root sh -c "cd /tmp/kernel-deb && apt-get download -qq -o APT::Sandbox::User=root $kernel_version_package"
in_root sh -c 'dpkg-deb -x /tmp/kernel-deb/*.deb /tmp/kernel'
kernel_version=$(ls "$root/tmp/kernel/lib/modules")
cp "$root/tmp/kernel/boot/vmlinuz-$kernel_version" "$out/vmlinuz"
in_root depmod -b /tmp/kernel "$kernel_version"
initrd=$work/initrd
mkdir -p "$initrd/bin" "$initrd/proc" "$initrd/dev" "$initrd/newroot"
for module in $modules; do
    in_root modprobe -d /tmp/kernel -S "$kernel_version" --show-depends "$module"
done | sed -n 's|^insmod /tmp/kernel/\([^ ]*\).*|\1|p' | awk '!seen[$0]++' >"$initrd/modules"
[ -s "$initrd/modules" ] || { echo "no module of '$modules' was found" >&2; exit 1; }
while read -r file; do
    mkdir -p "$initrd/$(dirname "$file")"
    cp "$root/tmp/kernel/$file" "$initrd/$file"
    case $file in *.xz) xz -d "$initrd/$file" ;; *.zst) zstd -q -d --rm "$initrd/$file" ;; esac
done <"$initrd/modules"
sed -i -e 's/\.xz$//' -e 's/\.zst$//' "$initrd/modules"
cp "$root/bin/busybox" "$initrd/bin/busybox"
cat >"$initrd/init" <<'END'
#!/bin/busybox sh
# Loads the modules that reach the root disk, the shares and the network,
# mounts the root disk and hands over to the guest's init.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t devtmpfs dev /dev
while read -r module; do insmod "/$module" 2>/dev/null; done </modules
for i in $(seq 1 100); do [ -b /dev/vda ] && break; sleep 0.1; done
mount -t ext4 /dev/vda /newroot || { echo "initrd: cannot mount /dev/vda"; poweroff -f; }
umount /proc
exec switch_root /newroot /usr/bin/tini -s -- /sbin/tolvar-init
END
chmod 755 "$initrd/init"
(cd "$initrd" && find . | cpio -o -H newc --quiet | gzip -1) >"$out/initrd.gz"
rm -rf "$root/tmp/kernel" "$root/tmp/kernel-deb"

step "root file system"
install -m 755 "$here/init" "$root/sbin/tolvar-init"
install -m 644 -D "$row_file" "$root/etc/tolvar/machine"
echo tolvar-guest >"$root/etc/hostname"
printf '127.0.0.1\tlocalhost\n127.0.1.1\ttolvar-guest\n' >"$root/etc/hosts"
rm -f "$root/etc/resolv.conf" "$root/usr/sbin/policy-rc.d"
rm -rf "$root/var/lib/apt/lists"/* "$root/var/cache/apt"/*.bin
umount "$root/dev" "$root/proc"
# Room for the prefixes the tests copy (about 600 MiB each) beside the
# root's own files; the file is sparse and the guest writes to a snapshot.
used_mib=$(du -sm "$root" | cut -f1)
mkfs.ext4 -q -F -L tolvar-guest -d "$root" "$out/root.img" "$((used_mib + 6144))M" >/dev/null
rm -rf "$root" "$work"
step "done: $(du -sh "$out" | cut -f1) in $out"
