# shellcheck shell=bash disable=SC2034,SC2154
# (A library: the globals it sets are read by the runners, and those it reads
# they set.)
# The host side of the kernel leg's guests, shared by tests/kernel/run (the
# amd64 guest built from a build tree), run-package (the guests made from
# the Debian packages, on gpio-sim or a board's own pin controller) and
# run-system (the Debian system guest). Sourced first; it sources kernel.sh,
# which provides the kernel. A runner then:
#   parse_args, need_tools       its options and the tools it needs;
#   provide_kernel               the kernel and gpio-sim (kernel.sh);
#   guest_machine, add_module    the board qemu emulates, the modules loaded;
#   select_cases                 the cases that name this guest, and what
#                                they need, checked before anything boots;
#   new_guest_root, add_cases,   the initramfs;
#   add_program, guest_settings,
#   pack_initramfs
#   run_guest                    boots it and judges its console.
# Globals every runner sets: here (tests/kernel), name (the guest's name in
# messages), build (its build tree), leg_start; parse_args sets cache and log.
#
# A guest passes only on its console's exact line "kernel-leg verdict NONCE:
# N passed, 0 failed", NONCE this run's random nonce and N the number of its
# cases, after the line "kernel-leg: guest up after S s, RELEASE MACHINE"
# from the kernel asked for.

# shellcheck source=tests/kernel/kernel.sh
. "$(dirname "${BASH_SOURCE[0]}")/kernel.sh"

usage_error() {
    echo "$0: $*" >&2
    echo "$usage" >&2
    exit 2
}
# skip WHY: the guest cannot run here (status 77); with CI=true, where CI
# installs everything a guest needs, a failure.
skip() {
    if [ "${CI:-}" = true ]; then
        echo "== $name: FAILED, $* (CI installs what this guest needs, so it is not skipped there)" >&2
        exit 1
    fi
    echo "== $name: SKIPPED, $*" >&2
    exit 77
}
die() {
    echo "== $name: FAILED, $*" >&2
    exit 1
}

# step WHAT COMMAND...: runs COMMAND with its output in the log.
step() {
    local what=$1
    shift
    if ! "$@" >>"$log" 2>&1; then
        tail -n 30 "$log" >&2
        die "$what"
    fi
}

# parse_args OPTIONS COUNT ARG...: the runner's arguments: the options it
# takes among those below (OPTIONS names them, without the dashes), then
# exactly COUNT more, in args; usage is its usage line.
#   --kernel 6.1|6.12   kernel (default 6.1)
#   --timeout S         timeout_s, the guest's time limit (default: as the
#                       runner set it before, else 600)
#   --check-harness     check_harness=1: broken guests first
#   --cache DIR         cache (default BUILD_DIR/cache, set by the runner)
#   --cases DIR         cases_dir, instead of the guest's own cases
#   --real-gpio         real_gpio=1
parse_args() {
    local takes=" $1 " count=$2 option
    shift 2
    kernel=6.1 timeout_s=${timeout_s:-600} check_harness=0 cache='' cases_dir='' real_gpio=0 args=()
    while [ $# -gt 0 ]; do
        option=${1#--}
        if [ "$option" = "$1" ]; then
            args+=("$1")
            shift
            continue
        fi
        [[ $takes == *" $option "* ]] || usage_error "unknown option $1"
        case $option in
        kernel | timeout | cache | cases) [ $# -ge 2 ] || usage_error "$1 needs a value" ;;
        esac
        case $option in
        kernel) kernel=$2 ;;
        timeout) timeout_s=$2 ;;
        cache) mkdir -p "$2" && cache=$(cd "$2" && pwd) ;;
        cases) cases_dir=$(cd "$2" && pwd) || usage_error "no directory $2" ;;
        check-harness) check_harness=1 ;;
        real-gpio) real_gpio=1 ;;
        esac
        case $option in kernel | timeout | cache | cases) shift ;; esac
        shift
    done
    [ ${#args[@]} = "$count" ] || usage_error "$count arguments expected, not ${#args[@]}"
}

# start_log BUILD_DIR: build (absolute), the cache (default BUILD_DIR/cache)
# and the log of this guest's steps, BUILD_DIR/NAME-steps.log. The cache is
# this runner's until it calls cache_done: guests that run side by side take
# their turns at its package lists, downloads and builds, and boot together.
start_log() {
    build=$(cd "$1" && pwd) || usage_error "no build directory $1"
    cache=${cache:-$build/cache}
    mkdir -p "$cache"
    log=$build/$name-steps.log
    : >"$log"
    leg_start=$SECONDS
    exec {cache_lock}>"$cache/.lock"
    if ! flock -n "$cache_lock"; then
        echo "== $name: waiting for another guest's use of $cache"
        flock "$cache_lock"
    fi
}
cache_done() { flock -u "$cache_lock"; }

# need_tools PACKAGES TOOL...: skips the guest (a failure in CI) unless
# every TOOL is here; PACKAGES says which Debian packages have them.
need_tools() {
    local debian_packages=$1 tool
    shift
    for tool; do
        command -v "$tool" >/dev/null || skip "needs $tool (packages: $debian_packages)"
    done
}

# --- The board qemu emulates -------------------------------------------------

# guest_machine ARCH BOARD: how qemu runs the guest: qemu, machine_args,
# cpus, memory, cmdline, dtb_name (the device tree in the image's dtb
# directory), board_modules, machine_name (uname -m in the guest), and
# end_by_reboot (a board that cannot power off). BOARD 1 is a Raspberry Pi
# with its own pin controller; the Pi Zero (armhf) is one either way.
#
# Every guest's clock is qemu's instruction counter: a guest nanosecond is
# 2^shift instructions whatever the host does, and idle time is skipped
# (sleep=off). The shift sets the emulated CPU's speed (docs/testing.md):
# 3, or a benchmark's board model's BENCH_GUEST_SHIFT; the Pi Zero's own 0.
guest_machine() {
    local shift=${BENCH_GUEST_SHIFT:-3}
    cpus=1 memory=512 dtb_name='' board_modules=() end_by_reboot=''
    case $1 in
    amd64)
        qemu=qemu-system-x86_64 machine_args=(-machine pc -cpu max) machine_name=x86_64
        cmdline="console=ttyS0 panic=-1 quiet"
        ;;
    arm64)
        qemu=qemu-system-aarch64 machine_args=(-M virt -cpu cortex-a57) machine_name=aarch64
        cmdline="console=ttyAMA0 panic=-1 quiet"
        if [ "$2" = 1 ]; then
            # The Pi 3's board takes exactly its four cores and 1 GB. The
            # kernel starts one core (maxcpus=1); the others stay in the
            # boot code's wait loop, and qemu runs all four in one thread,
            # where a waiting core yields at once (two to three times faster
            # here than a thread per core, which spin). Its console is the
            # PL011 at the SoC's address; its watchdog's driver, a module
            # here, is what reboots it.
            machine_args=(-M raspi3b -accel "tcg,thread=single") cpus=4 memory=1024
            dtb_name=broadcom/bcm2837-rpi-3-b.dtb board_modules=(bcm2835_wdt) end_by_reboot=1
            cmdline="console=ttyAMA0 earlycon=pl011,0x3f201000 panic=-1 quiet maxcpus=1"
        fi
        ;;
    armhf)
        # A Raspberry Pi Zero (ARM1176, ARMv6), at its own 1 GHz. The SoC's
        # power driver takes an external abort on qemu's BCM2835 and panics
        # the kernel: it is left out.
        qemu=qemu-system-arm machine_args=(-M raspi0) machine_name=armv6l shift=0
        dtb_name=bcm2835-rpi-zero.dtb end_by_reboot=1
        cmdline="console=ttyAMA0 panic=-1 quiet rdinit=/init initcall_blacklist=bcm2835_power_driver_init"
        ;;
    esac
    machine_args+=(-icount "shift=$shift,sleep=off")
}

# add_module NAME: the image's module NAME, after the modules it depends on,
# uncompressed into $kdir and appended to modules (the guest loads them in
# that order).
modules=()
add_module() {
    local mod=$1 file deps dep
    for dep in "${modules[@]}"; do [ "${dep##*/}" = "$mod" ] && return; done
    file=$(find "$root/lib/modules/$release/kernel" "$root/usr/lib/modules/$release/kernel" \
        \( -name "$mod.ko" -o -name "$mod.ko.xz" -o -name "$mod.ko.zst" \) 2>/dev/null | head -n1 || true)
    [ -n "$file" ] || die "no module $mod in $image_pkg"
    case $file in
    *.xz) xz -dc "$file" >"$kdir/$mod.ko" ;;
    *.zst) zstd -qdc "$file" >"$kdir/$mod.ko" ;;
    *) cp "$file" "$kdir/$mod.ko" ;;
    esac
    deps=$(LC_ALL=C grep -aoP 'depends=[^\x00]*' "$kdir/$mod.ko" | head -n1 | cut -d= -f2)
    for dep in ${deps//,/ }; do add_module "$dep"; done
    modules+=("$kdir/$mod")
}

# --- Cases and what they need ------------------------------------------------

# case_field FILE FIELD: the words of FILE's header line "# FIELD: WORDS".
case_field() { sed -n "s/^# $2: //p" "$1" | head -n1; }

# select_cases GUEST DIR: cases, the case scripts in DIR whose "# guests:"
# line names GUEST, and needs, every word of their "# needs:" lines. Every
# case must have both lines: a case that says nothing of where it runs or
# what it needs stops the run here, not in a guest.
select_cases() {
    local guest=$1 dir=$2 file guests need
    cases=() needs=()
    for file in "$dir"/*.sh; do
        [ -e "$file" ] || continue
        guests=$(case_field "$file" guests)
        if [ -z "$guests" ] || [ -z "$(case_field "$file" needs)" ]; then
            die "${file#"$here/"} has no '# guests:' or no '# needs:' line"
        fi
        [[ " $guests " == *" $guest "* ]] || continue
        cases+=("$file")
        for need in $(case_field "$file" needs); do
            [ "$need" = - ] || [[ " ${needs[*]} " == *" $need "* ]] || needs+=("$need")
        done
    done
    [ ${#cases[@]} -gt 0 ] || die "no case in $dir names the guest '$guest'"
}

# check_needs PROVIDED...: every need of the cases is among PROVIDED, else
# the run stops before booting, naming the case.
check_needs() {
    local need file
    for need in "${needs[@]}"; do
        [[ " $* " == *" $need "* ]] && continue
        for file in "${cases[@]}"; do
            [[ " $(case_field "$file" needs) " == *" $need "* ]] &&
                die "${file##*/} needs $need, which this guest does not have (it has: $*)"
        done
    done
}

# built_programs: the guest programs that $build has built for the guest
# (named in $build/guest-programs/), plus gpiomon and realtime (rt_prio
# sets a real-time priority), one a line.
built_programs() {
    local list
    for list in "$build"/guest-programs/*; do
        [ -e "$list" ] && [ -e "$(cat "$list")" ] && echo "${list##*/}"
    done
    echo gpiomon
    [ -e "$build/guest-programs/rt_prio" ] && echo realtime
    return 0
}

# program_file NAME: the file of guest program NAME: gpiomon's, or the one
# that $build built.
program_file() {
    if [ "$1" = gpiomon ]; then echo "$gpiomon"; else cat "$build/guest-programs/$1"; fi
}

# gpiod_tools ARCH: Debian 12's gpiomon (package gpiod, libgpiod 1.6) and
# its library for ARCH (a Debian architecture), downloaded once into the
# pool and unpacked into $cache/gpiod-ARCH; sets gpiomon and gpiod_lib.
# Debian 12's whatever kernel the guest boots: its C library is the one the
# guests' other programs have.
gpiod_tools() {
    local dir=$cache/gpiod-$1 deb
    if [ ! -e "$dir/.done" ]; then
        rm -rf "$dir"
        mkdir -p "$dir/root"
        # A subshell: the runner's apt configuration may be another suite's.
        (
            private_apt bookworm
            fetch "cannot download gpiod for $1" "gpiod:$1" "libgpiod2:$1"
            for deb in "${debs[gpiod]}" "${debs[libgpiod2]}"; do
                step "cannot unpack $deb" dpkg-deb -x "$deb" "$dir/root"
            done
        ) || exit
        touch "$dir/.done"
    fi
    gpiomon=$dir/root/usr/bin/gpiomon
    gpiod_lib=$(dirname "$(find "$dir/root" -name 'libgpiod.so.2' | head -n1)")
}

# --- The initramfs -----------------------------------------------------------

# new_guest_root DIR INIT: DIR emptied, with the directories every guest
# uses, the modules it loads, then gpio-sim (unless module is empty),
# numbered in the order the guest's init loads them (their names sort in
# that order), and INIT as its /init.
new_guest_root() {
    local m n=0
    rm -rf "$1"
    mkdir -p "$1"/{bin,sbin,usr/bin,usr/sbin,proc,sys,dev,tmp,etc,root,lib/modules,payload/bin}
    for m in "${modules[@]}" ${module:+"${module%.ko}"}; do
        n=$((n + 1))
        cp "$m.ko" "$1/lib/modules/$(printf %02d "$n")-${m##*/}.ko"
    done
    install -m 755 "$2" "$1/init"
}

# install_busybox DIR: the kernel's busybox in DIR/bin, with sh; an amd64
# one runs here, and gets every applet as a link (the others make theirs in
# the guest's init).
install_busybox() {
    local busybox applet
    busybox=$root/bin/busybox
    [ -e "$busybox" ] || busybox=$root/usr/bin/busybox # /usr/bin from Debian 13 on
    cp "$busybox" "$1/bin/busybox"
    ln -sf busybox "$1/bin/sh"
    [ "$kernel_arch" = amd64 ] || return 0
    for applet in $("$busybox" --list-full); do
        [ "$applet" = bin/busybox ] || [ -e "$1/$applet" ] ||
            { mkdir -p "$1/${applet%/*}" && ln -s /bin/busybox "$1/$applet"; }
    done
}

# add_cases DIR CASE...: the case library, the case scripts and this run's
# nonce where the kernel leg's init (guest/init) finds them in the root DIR.
add_cases() {
    local dir=$1
    shift
    mkdir -p "$dir"/{cases,lib/kernel-test}
    cp "$here/guest/lib.sh" "$dir/lib/kernel-test/"
    cp "$@" "$dir/cases/"
    echo "$nonce" >"$dir/etc/nonce"
    chmod 600 "$dir/etc/nonce"
}

# guest_settings FILE NAME=VALUE...: the settings that the guest's lib.sh
# reads (its list of KERNEL_LEG_* variables is the only one), written to
# FILE; a name that lib.sh does not list stops the run.
guest_settings() {
    local file=$1 setting
    shift
    : >"$file"
    for setting; do
        grep -q "^#   ${setting%%=*} " "$here/guest/lib.sh" || die "lib.sh lists no guest setting ${setting%%=*}"
        echo "$setting" >>"$file"
    done
}

# add_program DIR FILE [TO]: FILE into DIR (at TO, default
# /payload/bin/NAME), checked to be built for the guest's machine, with the
# shared libraries it needs and its loader: found in the C library's
# directories for the guest's architecture (this machine's own for amd64,
# Debian's cross runtime for ARM) or gpiod's, and put into DIR/lib where
# the loader looks.
add_program() {
    local dir=$1 file=$2 to=${3:-/payload/bin/${2##*/}} interp
    readelf -h "$file" 2>/dev/null | grep -q "Machine: *$elf_machine" || die "${file##*/} is not built for $arch"
    [ "$to" = - ] || install -D -m 755 "$file" "$dir$to"
    interp=$(readelf -l "$file" | sed -n 's/.*Requesting program interpreter: \(.*\)]/\1/p')
    if [ -n "$interp" ] && [ ! -e "$dir$interp" ]; then
        [ "${interp##*/}" = "$loader" ] || die "${file##*/} asks for the loader $interp, not $loader"
        install -D -m 755 "$(lib_dir)/$loader" "$dir$interp"
    fi
    add_libraries "$dir" "$file"
}
lib_dir() { if [ -n "$triplet" ]; then echo "/usr/$triplet/lib"; else echo /lib/x86_64-linux-gnu; fi; }
add_libraries() {
    local dir=$1 needed from
    for needed in $(readelf -d "$2" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
        [ -e "$dir/lib/$needed" ] && continue
        from=$(lib_dir)/$needed
        [ -e "$from" ] || from=${gpiod_lib:-/nonexistent}/$needed
        [ -e "$from" ] || die "${2##*/} needs $needed, which is not in $(lib_dir)"
        install -D -m 755 "$(readlink -f "$from")" "$dir/lib/$needed"
        add_libraries "$dir" "$from"
    done
}

# pack_initramfs DIR OUT: the root DIR as a gzipped newc archive, its files
# in a fixed order.
pack_initramfs() {
    (cd "$1" && find . | LC_ALL=C sort | cpio -o -H newc --quiet | gzip -1) >"$2"
}

# --- Boot and judge ----------------------------------------------------------

# boot INITRAMFS LOG TIMEOUT [bzImage]: qemu's status, 124 on its time limit.
# The kernel as guest_machine and provide_kernel set it, with the runner's
# extra qemu arguments (qemu_extra) and device tree (dtb). An amd64 kernel
# boots as vmlinux through qemu's PVH entry (about 2 s faster) unless asked
# for the compressed kernel through the BIOS.
qemu_extra=() dtb=''
boot() {
    local status=0 kernel_args=(-kernel "$vmlinuz") qboot=/usr/share/qemu/qboot.rom
    if [ -n "$vmlinux" ] && [ -e "$vmlinux" ] && [ -e "$qboot" ] && [ -z "${4:-}" ]; then
        kernel_args=(-kernel "$vmlinux" -bios "$qboot")
    fi
    [ -n "$dtb" ] && kernel_args+=(-dtb "$dtb")
    timeout -k 5 "$3" "$qemu" "${machine_args[@]}" -smp "$cpus" -m "$memory" -nographic -no-reboot \
        "${qemu_extra[@]}" "${kernel_args[@]}" -initrd "$1" -append "$cmdline" </dev/null >"$2" 2>&1 || status=$?
    return "$status"
}

# console LOG: the console without carriage returns, NUL bytes (a serial
# console may send them) and the firmware's terminal controls.
console() {
    tr -d '\r\000' <"$1" | sed 's/\x1bc//g; s/\x1b\[[0-9;?]*[a-zA-Z]//g'
}

# judge LOG COUNT: passes only on this run's exact verdict line for COUNT
# cases, and no other line with this run's verdict, from a guest that ran
# the kernel asked for ($release). The console's lines are matched byte by
# byte (LC_ALL=C, here and in finish): in a UTF-8 locale a byte of line
# noise is an encoding error, which grep takes for binary data and sed's .*
# does not match.
judge() {
    [ "$(console "$1" | LC_ALL=C grep -F "kernel-leg verdict $nonce:")" = "kernel-leg verdict $nonce: $2 passed, 0 failed" ] &&
        [ "$(console "$1" | LC_ALL=C sed -n 's/^kernel-leg: guest up after [0-9.]* s, \([^ ,]*\).*/\1/p' | head -n1)" = "$release" ]
}

# finish LOG COUNT STATUS TIMEOUT BOOT_START: prints the guest's results and
# exits 0 on its verdict for COUNT cases, else fails with the console's end.
finish() {
    local log_file=$1 count=$2 status=$3 limit=$4 boot_start=$5
    console "$log_file" | LC_ALL=C grep -E '^(kernel-leg|  \|)' | LC_ALL=C grep -v '^kernel-leg verdict' || true
    if judge "$log_file" "$count"; then
        echo "== $name: passed in $((SECONDS - leg_start)) s (guest $((SECONDS - boot_start)) s)"
        echo "$name: $count passed, 0 failed"
        exit 0
    fi
    [ "$status" = 124 ] && echo "$name: the guest did not finish within $limit s"
    echo "--- last lines of the guest's console:"
    console "$log_file" | tail -n 20
    die "no passing verdict for this run from the guest (qemu status $status) after $((SECONDS - leg_start)) s"
}

# new_nonce: a fresh random nonce for this run, in nonce.
new_nonce() { nonce=$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n'); }

# run_guest INITRAMFS LOG COUNT WHAT: boots the guest and judges it (exits).
# An amd64 kernel that printed nothing at all through the PVH entry is
# booted once more as the compressed kernel; one that printed anything (an
# oops while loading gpio-sim, say) is judged as it is. The guest counts
# only if it ran on the machine asked for (the Pi Zero's ARMv6 CPU, say).
run_guest() {
    local initramfs=$1 guest_log=$2 count=$3 boot_start=$SECONDS status=0 up
    echo "== $name: booting $release ($version) with $count cases${4:-}, log $guest_log"
    boot "$initramfs" "$guest_log" "$timeout_s" || status=$?
    if [ -n "$vmlinux" ] && [ -e "$vmlinux" ] && [ -z "$(console "$guest_log" | tr -d '[:space:]')" ]; then
        echo "$name: the kernel printed nothing through the PVH entry; booting the compressed kernel"
        status=0
        boot "$initramfs" "$guest_log" "$timeout_s" bzImage || status=$?
    fi
    up=$(console "$guest_log" | grep -m1 '^kernel-leg: guest up' || true)
    if judge "$guest_log" "$count" && [[ $up != *" $machine_name" && $up != *" $machine_name, "* ]]; then
        die "the guest is not the $machine_name machine asked for: $up"
    fi
    finish "$guest_log" "$count" "$status" "$timeout_s" "$boot_start"
}
