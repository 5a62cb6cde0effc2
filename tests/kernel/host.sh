# The host side shared by the kernel leg's guests (tests/kernel/run for the
# amd64 guest, tests/kernel/run-package for the packages' arm64 and armhf
# guests). Sourced; works on the caller's globals: name (the guest's name in
# messages), here (the directory of tests/kernel), log, kdir, root, release,
# image_pkg, module, modules, nonce, leg_start, and apt_cache (apt-cache as
# the caller runs it).

modules=()  # filled by add_module

# kernel_series KERNEL: the Debian release whose kernel a guest boots, by the
# kernel's series: 6.1 (Debian 12, bookworm) or 6.12 (Debian 13, trixie).
# Sets series and suite; kbuild_runtime, the packages of the C library and
# the libraries that the kernel's build programs of that suite need where
# this machine's are older; and kbuild_args, make's further arguments for a
# module build with this machine's gcc-12 (6.12's headers name gcc-14: gcc-12
# has no -fmin-function-alignment, and without pahole no BTF is made).
kernel_series() {
    case $1 in
    6.1) series=6.1 suite=bookworm kbuild_runtime=() kbuild_args=() ;;
    6.12)
        series=6.12 suite=trixie kbuild_runtime=(libc6 libelf1t64 zlib1g libzstd1)
        kbuild_args=(CONFIG_CC_HAS_MIN_FUNCTION_ALIGNMENT= CONFIG_DEBUG_INFO_BTF_MODULES=)
        ;;
    *) echo "unknown kernel '$1': 6.1 (Debian 12) or 6.12 (Debian 13)" >&2; exit 2 ;;
    esac
}

skip() {
    if [ "${CI:-}" = true ]; then
        echo "== $name: FAILED, $* (CI installs what this guest needs, so it is not skipped there)"
        exit 1
    fi
    echo "== $name: SKIPPED, $*"
    exit 77
}
die() {
    echo "== $name: FAILED, $*"
    exit 1
}

# step WHAT COMMAND...: runs COMMAND with its output in the log.
step() {
    local what=$1
    shift
    if ! "$@" >>"$log" 2>&1; then
        tail -n 30 "$log"
        die "$what"
    fi
}

candidate() { apt_cache policy "$1" 2>/dev/null | sed -n 's/^ *Candidate: //p'; }

# private_apt DIR: an apt configuration of its own in DIR for $suite, with
# amd64, arm64 and armel: bookworm from this machine's sources (the security
# suite among them), trixie from Debian's with its security suite; this
# machine's keys and options; lists, state, caches and downloads of its own,
# so nothing of the machine's apt set-up changes (its hooks after an update
# do not run either). Defines apt_get and apt_cache on it and fetches the
# lists once a day (a CI run always starts without them).
private_apt() {
    local dir=$1 sources=
    mkdir -p "$dir/state/lists/partial" "$dir/cache/archives/partial" "$dir/sources.list.d"
    [ -e "$dir/state/status" ] || : >"$dir/state/status"
    if [ "$suite" != bookworm ]; then
        printf 'deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/%s %s main\n' \
            debian "$suite" debian-security "$suite-security" >"$dir/sources.list"
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
        echo "== $name: fetching the package lists of $suite for amd64, arm64 and armel"
        # A mirror in the middle of a sync serves lists that do not match
        # its release file for a while: one more try.
        apt_get update >>"$log" 2>&1 || { sleep 30; step "cannot fetch the package lists of $suite" apt_get update; }
    fi
}

# kernel_packages FLAVOUR ARCH: the packages of the kernel that
# linux-image-FLAVOUR names for ARCH. Sets image_pkg, release, abi, version
# (the image's), kbuild_pkg (the build programs, for amd64 as they run here;
# named by the headers' Depends), packages (image, headers, common headers,
# kbuild, sources), downloads and src_version (pin_versions). A mirror may
# list a kernel before it serves it: the images that the versions of
# linux-image-FLAVOUR name are tried newest first, then the flavour's older
# images still in the lists, each downloaded once into $cache/image-probe
# (download takes it from there), and the first that comes is taken, said
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
    for pkg in $images; do
        image_pkg=$pkg
        version=$(candidate "$image_pkg:$arch")
        image_served "$image_pkg:$arch" "$version" && break
        echo "== $name: $image_pkg $version is listed but not served by the mirror: trying the one before"
        image_pkg=
    done
    [ -n "$image_pkg" ] || skip "none of the kernels of linux-image-$flavour:$arch can be downloaded ($(echo "$images" | head -n 3 | tr '\n' ' ')...)"
    release=${image_pkg#linux-image-}
    abi=${release%-"$flavour"}
    kbuild_of "linux-headers-$release:$arch"
    packages=("$image_pkg:$arch" "linux-headers-$release:$arch" "linux-headers-$abi-common" "$kbuild_pkg:amd64"
              "linux-source-$series")
    pin_versions "$version" "${packages[@]}"
}

# image_served PACKAGE VERSION: PACKAGE at VERSION downloads (once: a
# marker keeps the answer, the .deb is kept for download).
image_served() {
    local probe=$cache/image-probe
    [ -e "$probe/$1=$2.ok" ] && return
    [ -n "$2" ] && [ "$2" != "(none)" ] || return 1
    mkdir -p "$probe"
    (cd "$probe" && apt_get download -o APT::Sandbox::User=root "$1=$2") >>"$log" 2>&1 || return 1
    touch "$probe/$1=$2.ok"
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
        [ -n "$v" ] && [ "$v" != "(none)" ] || skip "package $pkg cannot be had (is the security suite in the sources?)"
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

deb() { ls "$kdir/debs/$1"_*.deb; }

# download PACKAGE...: apt_get download into $kdir/debs (apt's download user
# cannot write into a build tree under /root).
# The image that image_served downloaded is linked in first: apt leaves a
# file that is already there.
download() {
    ln -f "$cache/image-probe/${image_pkg}_"*.deb "$kdir/debs/" 2>/dev/null || true
    (cd "$kdir/debs" && apt_get download -o APT::Sandbox::User=root "$@")
}

# fetch WHAT PACKAGE...: download, its output in the log; packages that the
# archive lists but cannot give skip the guest (a failure in CI), saying
# WHAT and apt's errors.
fetch() {
    local what=$1
    shift
    download "$@" >>"$log" 2>&1 && return
    grep -E '^(E|Err):' "$log" | tail -n 4
    skip "$what"
}

# gpiod_tools DIR ARCH: Debian 12's gpiomon (package gpiod, libgpiod 1.6)
# and its library for ARCH, downloaded once (never installed) and unpacked
# into DIR/root; sets gpiomon and gpiod_lib (the library's directory). amd64
# comes through this machine's apt, other architectures through the private
# Debian 12 configuration in $cache/apt. Debian 12's whatever kernel the
# guest boots: its C library is the one the guests' other programs have.
gpiod_tools() {
    local dir=$1 arch=$2 deb
    if [ ! -e "$dir/.done" ]; then
        rm -rf "$dir"
        mkdir -p "$dir/debs"
        if [ "$arch" = amd64 ]; then
            if ! (cd "$dir/debs" && apt-get download -o APT::Sandbox::User=root gpiod libgpiod2) >>"$log" 2>&1; then
                [ "$(id -u)" = 0 ] && apt-get update >>"$log" 2>&1
                step "cannot download gpiod" sh -c "cd '$dir/debs' && apt-get download -o APT::Sandbox::User=root gpiod libgpiod2"
            fi
        else
            # A subshell: the caller's apt configuration may be another suite's.
            (
                suite=bookworm
                private_apt "$cache/apt"
                cd "$dir/debs" && apt_get download -o APT::Sandbox::User=root "gpiod:$arch" "libgpiod2:$arch"
            ) >>"$log" 2>&1 || { tail -n 30 "$log"; die "cannot download gpiod for $arch"; }
        fi
        for deb in "$dir"/debs/*.deb; do step "cannot unpack $deb" dpkg-deb -x "$deb" "$dir/root"; done
        touch "$dir/.done"
    fi
    gpiomon=$dir/root/usr/bin/gpiomon
    gpiod_lib=$(dirname "$(find "$dir/root" -name 'libgpiod.so.2' | head -n1)")
}

# check_config: the kernel has the GPIO character device, and no gpio-sim of
# its own, which would clash with the module built here.
check_config() {
    local config=$root/boot/config-$release
    grep -q '^CONFIG_GPIO_CDEV=y' "$config" || die "$release has no GPIO character device (CONFIG_GPIO_CDEV)"
    grep -q '^CONFIG_GPIO_SIM=[ym]' "$config" && die "$release has gpio-sim already: this guest builds its own"
    return 0
}

# unpack_root PACKAGE...: the downloaded packages unpacked into $root, once,
# with the kernel's build programs made to run here.
unpack_root() {
    local pkg
    [ -e "$root/.done" ] && return
    rm -rf "$root" "$kdir/runtime"
    for pkg in "$@"; do
        step "cannot unpack $pkg" dpkg-deb -x "$(deb "$pkg")" "$root"
    done
    # The headers' Makefile includes the common tree by its installed path.
    sed -i "s|^include /usr/src/|include $root/usr/src/|" "$root/usr/src/linux-headers-$release/Makefile"
    kbuild_under_runtime
    touch "$root/.done"
}

# busybox_file: the busybox unpacked into $root (in /bin before Debian 13, /usr/bin from it on).
busybox_file() {
    if [ -e "$root/bin/busybox" ]; then echo "$root/bin/busybox"; else echo "$root/usr/bin/busybox"; fi
}

# install_busybox DIR: the unpacked busybox (one that runs here) in DIR/bin,
# with every applet as a link to it.
install_busybox() {
    local applet
    mkdir -p "$1/bin"
    cp "$(busybox_file)" "$1/bin/busybox"
    for applet in $("$(busybox_file)" --list-full); do
        [ "$applet" = bin/busybox ] || [ -e "$1/$applet" ] ||
            { mkdir -p "$1/${applet%/*}" && ln -s /bin/busybox "$1/$applet"; }
    done
}

# extract_gpio_sim_sources DIR: the three source files gpio-sim is built
# from, out of linux-source-$series's tarball, into DIR/linux-source-$series.
extract_gpio_sim_sources() {
    local top=linux-source-$series
    local members=("$top/drivers/gpio/gpio-sim.c" "$top/drivers/gpio/gpiolib.h" "$top/kernel/irq/irq_sim.c")
    step "cannot extract the gpio-sim sources" sh -c \
        "dpkg-deb --fsys-tarfile '$(deb "$top")' | tar -xO ./usr/src/$top.tar.xz | tar -xJ -C '$1' ${members[*]}"
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
        step "cannot unpack $pkg" dpkg-deb -x "$(deb "$pkg")" "$kdir/runtime"
    done
    while read -r file; do
        [ "$(head -c 4 "$file" | od -An -tx1 | tr -d ' ')" = 7f454c46 ] || continue
        need=$(objdump -T "$file" | grep -o 'GLIBC_2\.[0-9]*' | sed 's/GLIBC_//' | sort -uV | tail -n1)
        [ -n "$need" ] && [ "$(printf '%s\n' "$need" "$have" | sort -V | tail -n1)" != "$have" ] || continue
        mv "$file" "$file.bin"
        printf '#!/bin/sh\nexec %s --library-path %s "$0.bin" "$@"\n' "$lib/ld-linux-x86-64.so.2" "$lib" >"$file"
        chmod 755 "$file"
    done < <(find "$root/usr/lib/$kbuild_pkg" "$root/usr/src/$kbuild_pkg" -type f -perm -u+x 2>/dev/null)
}

# prepare_gpio_sim SRC: gpio-sim and the interrupt simulator as one module's
# sources in $kdir/gpio-sim, from the kernel sources SRC.
prepare_gpio_sim() {
    local src=$1
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
    printf 'obj-m := gpio-sim.o\ngpio-sim-y := gpio-sim-main.o irq_sim.o\n' >"$kdir/gpio-sim/Kbuild"
}

# gpio_sim_built: $module is built, by the present recipe (prepare_gpio_sim
# and the code it adds); a module cached under another is built again.
# gpio_sim_done records the recipe once the module is built.
gpio_sim_recipe() { { declare -f prepare_gpio_sim; cat "$here/gpio-sim-wait-users.c"; } | sha256sum | cut -c1-16; }
gpio_sim_built() { [ -e "$module" ] && [ "$(cat "$module.recipe" 2>/dev/null)" = "$(gpio_sim_recipe)" ]; }
gpio_sim_done() { gpio_sim_recipe >"$module.recipe"; }

# add_module NAME: the image's module NAME, after the modules it depends on,
# uncompressed into $kdir and appended to modules (the guest loads them in
# that order).
modfile() {
    find "$root/lib/modules/$release/kernel" "$root/usr/lib/modules/$release/kernel" \
        \( -name "$1.ko" -o -name "$1.ko.xz" -o -name "$1.ko.zst" \) 2>/dev/null | head -n1 || true
}
add_module() {
    local name=$1 file deps dep
    for dep in "${modules[@]}"; do [ "${dep##*/}" = "$name" ] && return; done
    file=$(modfile "$name")
    [ -n "$file" ] || die "no module $name in $image_pkg"
    case $file in
    *.xz) xz -dc "$file" >"$kdir/$name.ko" ;;
    *.zst) zstd -qdc "$file" >"$kdir/$name.ko" ;;
    *) cp "$file" "$kdir/$name.ko" ;;
    esac
    deps=$(LC_ALL=C grep -aoP 'depends=[^\x00]*' "$kdir/$name.ko" | head -n1 | cut -d= -f2)
    for dep in ${deps//,/ }; do add_module "$dep"; done
    modules+=("$kdir/$name")
}

# copy_modules DIR: the modules, then gpio-sim (unless module is empty), into
# DIR/lib/modules, numbered in the order the guest's init loads them (their
# names sort in that order).
copy_modules() {
    local m n=0
    for m in "${modules[@]}" ${module:+"${module%.ko}"}; do
        n=$((n + 1))
        cp "$m.ko" "$1/lib/modules/$(printf %02d "$n")-${m##*/}.ko"
    done
}

# new_guest_root DIR INIT: DIR emptied, with the directories every guest
# uses, the modules it loads (copy_modules) and INIT as its /init.
new_guest_root() {
    rm -rf "$1"
    mkdir -p "$1"/{bin,sbin,usr/bin,usr/sbin,proc,sys,dev,tmp,etc,root,lib/modules}
    copy_modules "$1"
    install -m 755 "$2" "$1/init"
}

# add_cases DIR CASE...: the case library, the case scripts and this run's
# nonce where the kernel leg's init (guest/init) finds them in the root DIR.
add_cases() {
    local dir=$1
    shift
    mkdir -p "$dir"/{cases,payload/bin,lib/kernel-test}
    cp "$here/guest/lib.sh" "$dir/lib/kernel-test/"
    cp "$@" "$dir/cases/"
    echo "$nonce" >"$dir/etc/nonce"
    chmod 600 "$dir/etc/nonce"
}

# pack_initramfs DIR OUT: the root DIR as a gzipped newc archive, its files
# in a fixed order.
pack_initramfs() {
    (cd "$1" && find . | LC_ALL=C sort | cpio -o -H newc --quiet | gzip -1) >"$2"
}

# The console without carriage returns, NUL bytes (a serial console may send
# them) and the firmware's terminal controls.
console() {
    tr -d '\r\000' <"$1" | sed 's/\x1bc//g; s/\x1b\[[0-9;?]*[a-zA-Z]//g'
}

# judge LOG COUNT: passes only on this run's exact verdict line for COUNT
# cases, from a guest that ran the kernel asked for ($release).
judge() {
    grep -qxF "kernel-leg verdict $nonce: $2 passed, 0 failed" <(tr -d '\r' <"$1") &&
        [ "$(console "$1" | sed -n 's/^kernel-leg: guest up after [0-9.]* s, \([^ ,]*\).*/\1/p' | head -n1)" = "$release" ]
}

# finish LOG COUNT STATUS TIMEOUT BOOT_START: prints the guest's results and
# exits 0 on its verdict for COUNT cases, else fails with the console's end.
finish() {
    local log_file=$1 count=$2 status=$3 limit=$4 boot_start=$5
    console "$log_file" | grep -E '^(kernel-leg|  \|)' | grep -v '^kernel-leg verdict' || true
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
