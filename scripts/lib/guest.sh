# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# What the two QEMU guests (scripts/kernel-test, scripts/guest-run) share:
# the tools they need, the initramfs (busybox, the kernel's modules, the
# init of scripts/lib/guest-init and its environment file), and the choice
# of accelerator. Bash; source it with $guest_prog set to the script's name
# for messages.
#
# Environment:
#   PCI5C3A_QEMU           the qemu-system-x86_64 to run (default: the one
#                          on PATH), e.g. one built with more boards
#   PCI5C3A_QEMU_FIRMWARE  directories, colon-separated, where that QEMU
#                          finds its firmware (passed as -L DIR each)
#   PCI5C3A_GUEST_ACCEL    kvm or tcg: skips the probe (scripts/test probes
#                          once and passes the result to every guest it runs)

guest_lib=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

guest_die() {
    echo "${guest_prog:-guest}: $*" >&2
    exit 1
}

# guest_tools: checks for QEMU, a static busybox and cpio; sets guest_qemu
# (an array: the binary and its firmware directories).
guest_tools() {
    local q=${PCI5C3A_QEMU:-qemu-system-x86_64} path d
    if [ -n "${PCI5C3A_QEMU:-}" ]; then
        [ -x "$q" ] && [ -f "$q" ] || guest_die "PCI5C3A_QEMU=$q is not an executable file"
        path=$q
    else
        path=$(command -v "$q") || guest_die "qemu-system-x86_64 missing (scripts/install-deps)"
    fi
    guest_qemu=("$path")
    if [ -n "${PCI5C3A_QEMU_FIRMWARE:-}" ]; then
        local IFS=:
        for d in $PCI5C3A_QEMU_FIRMWARE; do
            [ -d "$d" ] || guest_die "PCI5C3A_QEMU_FIRMWARE: $d is not a directory"
            guest_qemu+=(-L "$d")
        done
    fi
    [ -x /bin/busybox ] && ! readelf -d /bin/busybox 2>/dev/null | grep -q NEEDED ||
        guest_die "a static /bin/busybox is needed (busybox-static)"
    command -v cpio >/dev/null || guest_die "cpio missing (scripts/install-deps)"
}

# guest_quote VALUE: VALUE in single quotes, as any POSIX shell (busybox sh
# in the guest among them) reads it back unchanged.
guest_quote() {
    local q=\'
    printf "'%s'" "${1//$q/$q\\$q$q}"
}

# guest_stage STAGE KDIR MODULE...: the initramfs's root in STAGE: busybox
# (/bb), the modules (/modules, loaded by init in this order), the init and
# an empty environment file (/guest.env) for guest_env.
guest_stage() {
    local stage=$1 kdir=$2 m
    shift 2
    mkdir -p "$stage"/{bb,proc,sys,dev,modules}
    cp /bin/busybox "$stage/bb/busybox"
    for m in "$@"; do
        [ -f "$kdir/$m.ko" ] || guest_die "the kernel in $kdir has no module $m"
        cp "$kdir/$m.ko" "$stage/modules/"
    done
    install -m 755 "$guest_lib/guest-init" "$stage/init"
    guest_env_file=$stage/guest.env
    printf '# read by /init\nGUEST_MODULES=%s\n' "$(guest_quote "$*")" >"$guest_env_file"
}

# guest_env NAME VALUE: a variable for init; guest_export NAME VALUE: one
# that init exports to what it runs.
guest_env() { printf '%s=%s\n' "$1" "$(guest_quote "$2")" >>"$guest_env_file"; }
guest_export() { printf 'export %s=%s\n' "$1" "$(guest_quote "$2")" >>"$guest_env_file"; }

# guest_initramfs STAGE OUT: the gzipped cpio archive of STAGE.
guest_initramfs() {
    (cd "$1" && find . | cpio -o -H newc --quiet | gzip -1) >"$2"
}

# guest_accel KDIR: sets guest_accel_args and guest_accel_name. KVM only
# when a boot of the kernel shows it runs: the kernel is started without a
# root or init, panics at once, and with -no-reboot QEMU ends; a KVM that
# hangs (seen on some build machines although /dev/kvm is there) prints
# nothing and is given up after 8 s; one that fails (QEMU aborts) prints
# nothing either. Otherwise TCG on every host CPU. The probe runs what the
# guest would: KVM with the host's CPU.
guest_accel() {
    local kdir=$1 log
    if [ -z "${PCI5C3A_GUEST_ACCEL:-}" ]; then
        PCI5C3A_GUEST_ACCEL=tcg
        if [ -r /dev/kvm ] && [ -w /dev/kvm ]; then
            log=$(mktemp "${TMPDIR:-/tmp}/pci5c3a-kvm-probe.XXXXXX")
            # In a subshell, whose stderr also takes the shell's note of a
            # QEMU that aborts (as one does where KVM cannot set the host
            # CPU's registers).
            (timeout -k 2 8 "${guest_qemu[@]}" -accel kvm -cpu host -m 256 -nodefaults -display none \
                -no-reboot -kernel "$kdir/vmlinuz" -append "console=ttyS0 panic=-1 rdinit=/none" \
                -serial "file:$log" </dev/null || true) >/dev/null 2>&1
            grep -q 'Kernel panic' "$log" 2>/dev/null && PCI5C3A_GUEST_ACCEL=kvm
            rm -f "$log"
        fi
        export PCI5C3A_GUEST_ACCEL
    fi
    case $PCI5C3A_GUEST_ACCEL in
    kvm) guest_accel_args=(-accel kvm -cpu host) ;;
    tcg) guest_accel_args=(-accel tcg,thread=multi -cpu max) ;;
    *) guest_die "PCI5C3A_GUEST_ACCEL=$PCI5C3A_GUEST_ACCEL: kvm or tcg" ;;
    esac
    guest_accel_name=$PCI5C3A_GUEST_ACCEL
}
