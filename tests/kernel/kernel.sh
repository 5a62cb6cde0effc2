# shellcheck shell=bash disable=SC2034,SC2154
# (Sourced by host.sh: the globals it sets are read there and by the
# runners, and those it reads they set.)
# The kernel a guest boots: Debian's kernel for an architecture and series,
# with gpio-sim built for it, in one cache that every guest shares. Sourced
# by host.sh.
#
#   provide_kernel ARCH SERIES GPIO_SIM
#
# ARCH is amd64, arm64 or armhf (the Pi 1 and Zero kernel, Debian's armel
# linux-image-rpi); SERIES 6.1 (Debian 12) or 6.12 (Debian 13); GPIO_SIM 1
# builds the gpio-sim module, 0 does not (a board's own pin controller).
# The packages come through a private apt configuration per suite
# (CACHE/apt-SUITE, CACHE/apt-lists's own lists; the machine's apt set-up is
# left as it is) into one pool (CACHE/debs), so a package that several
# kernels share (the sources, the common headers, the build programs) is
# downloaded once; each kernel is unpacked, and its module built, in
# CACHE/kernel-ARCH-VERSION. Works on host.sh's globals (name, log, cache)
# and sets:
#   release, version, image_pkg, src_version, kdir, root, vmlinuz,
#   vmlinux (amd64: the uncompressed kernel for qemu's PVH entry, if made),
#   module (gpio-sim's .ko, or empty), kernel_arch (Debian's architecture of
#   the kernel packages), triplet, loader, elf_machine (of the guest's
#   programs), and what kernel_arch_facts sets.

# kernel_series SERIES: the Debian release whose kernel a guest boots. Sets
# series and suite; kbuild_runtime, the packages of the C library and the
# libraries that the kernel's build programs of that suite need where this
# machine's are older; and kbuild_args, make's further arguments for a
# module build with this machine's gcc-12 (6.12's headers name gcc-14:
# gcc-12 has no -fmin-function-alignment, and without pahole no BTF is
# made).
kernel_series() {
    case $1 in
    6.1) series=6.1 suite=bookworm kbuild_runtime=() kbuild_args=() ;;
    6.12)
        series=6.12 suite=trixie kbuild_runtime=(libc6 libelf1t64 zlib1g libzstd1)
        kbuild_args=(CONFIG_CC_HAS_MIN_FUNCTION_ALIGNMENT= CONFIG_DEBUG_INFO_BTF_MODULES=)
        ;;
    *) usage_error "unknown kernel '$1': 6.1 (Debian 12) or 6.12 (Debian 13)" ;;
    esac
}

# kernel_arch_facts ARCH: the kernel's flavour, Debian architecture and make
# ARCH, the cross compilers' triplet (empty: this machine's gcc-12), the
# dynamic loader and ELF machine of the guest's programs (as readelf names it).
kernel_arch_facts() {
    case $1 in
    amd64) flavour=amd64 kernel_arch=amd64 karch=x86 triplet='' loader=ld-linux-x86-64.so.2 elf_machine='Advanced Micro Devices X86-64' ;;
    arm64) flavour=arm64 kernel_arch=arm64 karch=arm64 triplet=aarch64-linux-gnu loader=ld-linux-aarch64.so.1 elf_machine=AArch64 ;;
    armhf) flavour=rpi kernel_arch=armel karch=arm triplet=arm-linux-gnueabi loader=ld-linux.so.3 elf_machine=ARM ;;
    *) usage_error "unknown architecture '$1': amd64, arm64 or armhf" ;;
    esac
}

candidate() { apt_cache policy "$1" 2>/dev/null | sed -n 's/^ *Candidate: //p'; }

# private_apt SUITE: an apt configuration of its own in $cache/apt-SUITE
# with amd64, arm64 and armel: bookworm from this machine's sources (the
# security suite among them), trixie from Debian's with its security suite;
# this machine's keys and options; lists, state, caches and downloads of its
# own, so nothing of the machine's apt set-up changes (its hooks after an
# update do not run either). Defines apt_get and apt_cache on it and fetches
# the lists once a day (a CI run always starts without them).
private_apt() {
    local dir=$cache/apt-$1 sources=''
    mkdir -p "$dir/state/lists/partial" "$dir/cache/archives/partial" "$dir/sources.list.d"
    [ -e "$dir/state/status" ] || : >"$dir/state/status"
    if [ "$1" != bookworm ]; then
        printf 'deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/%s %s main\n' \
            debian "$1" debian-security "$1-security" >"$dir/sources.list"
        sources="Dir::Etc::sourcelist \"$dir/sources.list\"; Dir::Etc::sourceparts \"$dir/sources.list.d\";"
    fi
    cat >"$dir/apt.conf.new" <<END
APT::Architecture "amd64";
APT::Architectures { "amd64"; "arm64"; "armel"; };
Dir::State "$dir/state";
Dir::State::status "$dir/state/status";
Dir::Cache "$dir/cache";
Dir::Cache::pkgcache "pkgcache.bin";
Dir::Cache::srcpkgcache "srcpkgcache.bin";
$sources
#clear APT::Update::Post-Invoke-Success;
#clear APT::Update::Post-Invoke;
Acquire::Languages "none";
APT::Sandbox::User "root";
END
    # Lists fetched for another configuration (other architectures) are
    # fetched again.
    cmp -s "$dir/apt.conf.new" "$dir/apt.conf" || rm -f "$dir/state/lists/"*Packages*
    mv "$dir/apt.conf.new" "$dir/apt.conf"
    aptdir=$dir
    apt_get() { apt-get -c "$aptdir/apt.conf" "$@"; }
    apt_cache() { apt-cache -c "$aptdir/apt.conf" "$@"; }
    if [ -z "$(find "$dir/state/lists" -maxdepth 1 -name '*Packages*' -mmin -1440 | head -n1)" ]; then
        echo "== $name: fetching the package lists of $1 for amd64, arm64 and armel"
        # A mirror in the middle of a sync serves lists that do not match
        # its release file for a while: one more try.
        apt_get update >>"$log" 2>&1 || { sleep 30; step "cannot fetch the package lists of $1" apt_get update; }
    fi
}

# fetch WHAT PACKAGE[=VERSION]...: the packages in the pool $cache/debs,
# downloaded unless they are there already; debs[NAME] is then each one's
# file. A package that the lists name but the mirror cannot give skips the
# guest (a failure in CI), saying WHAT and apt's errors.
declare -A debs=()
fetch() {
    local what=$1 uris file missing=() line
    shift
    mkdir -p "$cache/debs"
    uris=$(apt_get download --print-uris "$@" 2>>"$log") || { tail -n 4 "$log"; skip "$what"; }
    while read -r line; do
        file=$(cut -d' ' -f2 <<<"$line")
        debs[${file%%_*}]=$cache/debs/$file
        [ -e "$cache/debs/$file" ] || missing+=("$file")
    done <<<"$uris"
    [ ${#missing[@]} = 0 ] && return
    echo "== $name: downloading ${missing[*]}"
    # apt's download user cannot write into a build tree under /root.
    if ! (cd "$cache/debs" && apt_get download -o APT::Sandbox::User=root "$@") >>"$log" 2>&1; then
        grep -E '^(E|Err):' "$log" | tail -n 4
        skip "$what"
    fi
}

# image_served PACKAGE VERSION: PACKAGE at VERSION downloads into the pool
# (a marker keeps the answer).
image_served() {
    local mark=$cache/debs/.served/$1=$2
    [ -e "$mark" ] && return
    [ -n "$2" ] && [ "$2" != "(none)" ] || return 1
    (fetch "" "$1=$2") >/dev/null 2>&1 || return 1
    mkdir -p "${mark%/*}"
    touch "$mark"
}

# kernel_packages FLAVOUR ARCH: the packages of the kernel that
# linux-image-FLAVOUR names for ARCH. Sets image_pkg, release, abi, version
# (the image's), kbuild_pkg (the build programs, for amd64 as they run here;
# named by the headers' Depends), packages (image, headers, common headers,
# kbuild, sources), downloads and src_version (pin_versions). A mirror may
# list a kernel before it serves it: the images that the versions of
# linux-image-FLAVOUR name are tried newest first, then the flavour's older
# images still in the lists, and the first that downloads is taken, said
# when it is not the newest.
kernel_packages() {
    local flavour=$1 arch=$2 images pkg
    images=$( (apt_cache show "linux-image-$flavour:$arch" 2>/dev/null || true) |
        sed -n "s/^Depends:.*\(linux-image-[0-9][^ ,:]*-$flavour\).*/\1/p" | sort -Vru)
    [ -n "$images" ] || skip "no linux-image-$flavour:$arch in the package lists of $suite (apt-get update?)"
    # Then the flavour's older images that the lists still hold.
    images="$images
$( (apt_cache pkgnames linux-image- 2>/dev/null || true) | grep -x "linux-image-[0-9].*-$flavour" |
        sort -Vr | awk -v newest="${images%%$'\n'*}" 'seen { print } $0 == newest { seen = 1 }')"
    images=$(printf '%s\n' "$images" | awk 'NF && !taken[$0]++')
    image_pkg=
    for pkg in $images; do
        version=$(candidate "$pkg:$arch")
        if image_served "$pkg:$arch" "$version"; then image_pkg=$pkg; break; fi
        echo "== $name: $pkg $version is listed but not served by the mirror: trying the one before"
    done
    [ -n "$image_pkg" ] || skip "none of the kernels of linux-image-$flavour:$arch can be downloaded ($(echo "$images" | head -n 3 | tr '\n' ' ')...)"
    release=${image_pkg#linux-image-}
    abi=${release%-"$flavour"}
    kbuild_of "linux-headers-$release:$arch"
    packages=("$image_pkg:$arch" "linux-headers-$release:$arch" "linux-headers-$abi-common" "$kbuild_pkg:amd64"
              "linux-source-$series")
    pin_versions "$version" "${packages[@]}"
}

# kbuild_of HEADERS: sets kbuild_pkg to the package of the kernel's build
# programs that the headers' package HEADERS depends on (linux-kbuild-6.1 in
# Debian 12; one per version in Debian 13, where linux-kbuild-6.12 is only a
# virtual name).
kbuild_of() {
    kbuild_pkg=$( (apt_cache depends "$1" 2>/dev/null || true) | sed -n 's/^ *Depends: \(linux-kbuild-[^:]*\).*/\1/p' | head -n1)
    [ -n "$kbuild_pkg" ] || skip "$1 cannot be had, or names no linux-kbuild package"
}

# has_version PACKAGE VERSION: the archive still has PACKAGE at VERSION.
has_version() {
    apt_cache policy "$1" 2>/dev/null |
        awk -v v="$2" '$1 == v || ($1 == "***" && $2 == v) { found = 1 } END { exit !found }'
}

# pin_versions VERSION PACKAGE...: sets downloads to PACKAGE=V for each
# PACKAGE, V the kernel's VERSION where the archive has it. The security
# suite keeps only its latest build of the kernel's build programs
# (linux-kbuild-*) and sources (linux-source-*), which may be newer than the
# image: where theirs is gone their candidate of the same series is taken,
# and said. Any other package not to be had at VERSION fails the leg. Sets
# src_version, the sources' V.
pin_versions() {
    local version=$1 pkg v
    shift
    downloads=()
    for pkg in "$@"; do
        v=$(candidate "$pkg")
        if [ -z "$v" ] || [ "$v" = "(none)" ]; then
            skip "package $pkg cannot be had (is the security suite in the sources?)"
        fi
        if [ "$v" = "$version" ] || has_version "$pkg" "$version"; then
            v=$version
        elif [[ $pkg == linux-kbuild-* || $pkg == linux-source-* ]]; then
            echo "== $name: $pkg is no longer to be had at $version: taking $v"
        else
            die "kernel packages differ in version: $image_pkg $version, $pkg $v, and $pkg $version is not to be had"
        fi
        downloads+=("$pkg=$v")
        [[ $pkg == linux-source-* ]] && src_version=$v
    done
}

# check_config: the kernel has the GPIO character device, and no gpio-sim of
# its own, which would clash with the module built here.
check_config() {
    local config=$root/boot/config-$release
    grep -q '^CONFIG_GPIO_CDEV=y' "$config" || die "$release has no GPIO character device (CONFIG_GPIO_CDEV)"
    if grep -q '^CONFIG_GPIO_SIM=[ym]' "$config"; then die "$release has gpio-sim already: this guest builds its own"; fi
}

# unpack_root PACKAGE...: the packages (names in debs) unpacked into $root,
# once, with the kernel's build programs made to run here.
unpack_root() {
    local pkg
    [ -e "$root/.done" ] && return
    rm -rf "$root" "$kdir/runtime"
    for pkg in "$@"; do
        step "cannot unpack $pkg" dpkg-deb -x "${debs[$pkg]}" "$root"
    done
    # The headers' Makefile includes the common tree by its installed path.
    sed -i "s|^include /usr/src/|include $root/usr/src/|" "$root/usr/src/linux-headers-$release/Makefile"
    kbuild_under_runtime
    touch "$root/.done"
}

# kbuild_under_runtime: the kernel's build programs that need a newer C
# library than this machine's run with their suite's own loader and
# libraries (the packages in kbuild_runtime, unpacked into $kdir/runtime):
# each becomes a script that starts the program so.
kbuild_under_runtime() {
    local have need file pkg lib=$kdir/runtime/usr/lib/x86_64-linux-gnu
    [ ${#kbuild_runtime[@]} -gt 0 ] || return 0
    have=$(getconf GNU_LIBC_VERSION | cut -d' ' -f2)
    for pkg in "${kbuild_runtime[@]}"; do
        step "cannot unpack $pkg" dpkg-deb -x "${debs[$pkg]}" "$kdir/runtime"
    done
    while read -r file; do
        [ "$(head -c 4 "$file" | od -An -tx1 | tr -d ' ')" = 7f454c46 ] || continue
        need=$(objdump -T "$file" | grep -o 'GLIBC_2\.[0-9]*' | sed 's/GLIBC_//' | sort -uV | tail -n1)
        if [ -z "$need" ] || [ "$(printf '%s\n' "$need" "$have" | sort -V | tail -n1)" = "$have" ]; then continue; fi
        mv "$file" "$file.bin"
        # shellcheck disable=SC2016 # $0 and $@ are the wrapper's own
        printf '#!/bin/sh\nexec %s --library-path %s "$0.bin" "$@"\n' "$lib/ld-linux-x86-64.so.2" "$lib" >"$file"
        chmod 755 "$file"
    done < <(find "$root/usr/lib/$kbuild_pkg" "$root/usr/src/$kbuild_pkg" -type f -perm -u+x 2>/dev/null)
}

# gpio_sim_sources: the three source files gpio-sim is built from, out of
# linux-source-$series's tarball, into $cache/src-$src_version (once per
# version: every architecture builds from them). Sets src.
gpio_sim_sources() {
    local top=linux-source-$series dir=$cache/src-$src_version
    local members=("$top/drivers/gpio/gpio-sim.c" "$top/drivers/gpio/gpiolib.h" "$top/kernel/irq/irq_sim.c")
    src=$dir/$top
    [ -e "$dir/.done" ] && return
    rm -rf "$dir"
    mkdir -p "$dir"
    step "cannot extract the gpio-sim sources" sh -c \
        "dpkg-deb --fsys-tarfile '${debs[$top]}' | tar -xO ./usr/src/$top.tar.xz | tar -xJ -C '$dir' ${members[*]}"
    touch "$dir/.done"
}

# build_gpio_sim: gpio-sim and the interrupt simulator as one module in
# $kdir/gpio-sim, from the kernel sources $src, built for the kernel's
# architecture (cross-built, but for amd64) against its headers.
build_gpio_sim() {
    rm -rf "$kdir/gpio-sim"
    mkdir -p "$kdir/gpio-sim"
    cp "$src/drivers/gpio/gpiolib.h" "$kdir/gpio-sim/"
    # This kernel does not export irq_to_desc to modules; generic_handle_irq
    # runs the same handler by interrupt number.
    sed 's/handle_simple_irq(irq_to_desc(irqnum))/generic_handle_irq(irqnum)/' \
        "$src/kernel/irq/irq_sim.c" >"$kdir/gpio-sim/irq_sim.c"
    grep -q 'generic_handle_irq(irqnum)' "$kdir/gpio-sim/irq_sim.c" || die "irq_sim.c has changed: cannot patch it"
    # When a chip goes away, gpio-sim frees its lines' interrupts
    # (gpio_sim_dispose_mappings) right after the chip itself, even while a
    # program still has one requested for edge events: the kernel then warns
    # "remove_proc_entry: removing non-empty directory 'irq/N'", and the
    # program's own release of the interrupt afterwards works on freed
    # memory, which in time oopses the kernel (seen on 6.1 and 6.12, where
    # the request's release comes too late: at once on 6.1, now and then on
    # 6.12). The module built here waits first, at most 5 s, until no line's
    # interrupt is requested: a program that sees its chip gone lets go of
    # it within its next poll, so the chip goes away in the order a sound
    # kernel keeps, and the cases test the program, not this teardown.
    awk -v helper="$here/gpio-sim-wait-users.c" '
        /^static void gpio_sim_dispose_mappings\(void \*data\)$/ {
            while ((getline line < helper) > 0) print line
            print ""
            in_dispose = 1
        }
        in_dispose && /^\tunsigned int i;$/ {
            print; print ""; print "\tgpio_sim_wait_for_irq_users(chip);"
            in_dispose = 0; patched = 1; next
        }
        { print }
        END { exit !patched }' "$src/drivers/gpio/gpio-sim.c" >"$kdir/gpio-sim/gpio-sim-main.c" ||
        die "gpio-sim.c has changed: cannot make its removal wait for the interrupts' users"
    if [ "$karch" = arm ]; then
        # The amd64 modpost knows the device tables' layout of a 64-bit
        # kernel only, and rejects a 32-bit module's of_device_id table. The
        # table only makes the module load by itself; the guest loads it.
        sed -i '/^MODULE_DEVICE_TABLE(of, gpio_sim_of_match);$/d' "$kdir/gpio-sim/gpio-sim-main.c"
    fi
    printf 'obj-m := gpio-sim.o\ngpio-sim-y := gpio-sim-main.o irq_sim.o\n' >"$kdir/gpio-sim/Kbuild"
    step "cannot build gpio-sim for $release" make -C "$root/usr/src/linux-headers-$release" M="$kdir/gpio-sim" \
        "${gpio_sim_make_args[@]}" modules
}

# gpio_sim_recipe: a digest of everything the module is built from and how:
# the two functions, the code they add, make's arguments and the sources'
# version. A module cached under another recipe is built again.
gpio_sim_recipe() {
    { declare -f gpio_sim_sources build_gpio_sim; cat "$here/gpio-sim-wait-users.c"
      printf '%s\n' "${gpio_sim_make_args[@]}" "$src_version"; } | sha256sum | cut -c1-16
}

# vmlinux_of VMLINUZ OUT: the uncompressed kernel out of an amd64 bzImage,
# for qemu's PVH entry (about 2 s faster than the BIOS boot); nothing if it
# cannot be had. The bzImage's payload (its setup header gives where it
# starts and its length) is an xz stream (Debian 12) or a zstd frame
# followed by the uncompressed size in four bytes (Debian 13).
vmlinux_of() {
    local vmlinuz=$1 out=$2 setup_sects start length
    le32() { od -An -tu4 -j "$1" -N4 "$vmlinuz" | tr -d ' '; }
    setup_sects=$(od -An -tu1 -j $((0x1f1)) -N1 "$vmlinuz" | tr -d ' ')
    start=$(((${setup_sects/#0/4} + 1) * 512 + $(le32 $((0x248)))))
    length=$(le32 $((0x24c)))
    payload() { tail -c +$((start + 1)) "$vmlinuz" | head -c "$1"; }
    case $(payload 4 | od -An -tx1 | tr -d ' ') in
    fd377a58) payload "$length" | xz -dc >"$out.tmp" 2>/dev/null || true ;;
    28b52ffd) payload $((length - 4)) | zstd -qdc >"$out.tmp" 2>/dev/null || true ;;
    esac
    if [ -s "$out.tmp" ] && [ "$(head -c 4 "$out.tmp" | od -An -tx1 | tr -d ' ')" = 7f454c46 ]; then
        mv "$out.tmp" "$out"
    fi
    rm -f "$out.tmp"
}

provide_kernel() {
    local arch=$1 gpio_sim=$3
    kernel_series "$2"
    kernel_arch_facts "$arch"
    private_apt "$suite"
    kernel_packages "$flavour" "$kernel_arch"
    # busybox-static has versions of its own.
    fetch "cannot download the $arch kernel packages ($version)" "${downloads[@]}" "busybox-static:$kernel_arch" \
        "${kbuild_runtime[@]}"
    kdir=$cache/kernel-$arch-$version
    root=$kdir/root
    vmlinuz=$root/boot/vmlinuz-$release
    mkdir -p "$kdir"
    unpack_root "$image_pkg" "linux-headers-$release" "linux-headers-$abi-common" "$kbuild_pkg" busybox-static
    check_config
    vmlinux=
    if [ "$arch" = amd64 ]; then
        vmlinux=$kdir/vmlinux
        [ -e "$vmlinux" ] || vmlinux_of "$vmlinuz" "$vmlinux"
    fi
    module=
    [ "$gpio_sim" = 1 ] || return 0
    module=$kdir/gpio-sim/gpio-sim.ko
    if [ -n "$triplet" ]; then
        gpio_sim_make_args=(ARCH="$karch" CROSS_COMPILE="$triplet-" CC="$triplet-gcc" "${kbuild_args[@]}")
    else
        gpio_sim_make_args=(CC=gcc-12 "${kbuild_args[@]}")
    fi
    gpio_sim_sources
    if [ ! -e "$module" ] || [ "$(cat "$module.recipe" 2>/dev/null)" != "$(gpio_sim_recipe)" ]; then
        echo "== $name: building gpio-sim for $release"
        build_gpio_sim
        gpio_sim_recipe >"$module.recipe"
    fi
}
