# The host side shared by the kernel leg's guests (tests/kernel/run for the
# amd64 guest, tests/kernel/run-package for the packages' arm64 and armhf
# guests). Sourced; works on the caller's globals: name (the guest's name in
# messages), log, kdir, root, release, image_pkg, module, modules, nonce,
# leg_start, and apt_cache (apt-cache as the caller runs it).

modules=()  # filled by add_module

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

# has_version PACKAGE VERSION: the archive still has PACKAGE at VERSION.
has_version() {
    apt_cache policy "$1" 2>/dev/null |
        awk -v v="$2" '$1 == v || ($1 == "***" && $2 == v) { found = 1 } END { exit !found }'
}

# kernel_specs VERSION PACKAGE...: sets specs to what apt-get download takes
# for each PACKAGE at the kernel's VERSION: PACKAGE where that is its
# candidate, else PACKAGE=VERSION where the archive still has it (the
# security suite may carry a newer source or build tools before the new
# image). The build tools (linux-kbuild-*) build modules for every version of
# their series, so where theirs is gone their candidate is taken, and said.
# Any other package not to be had at VERSION fails the leg.
kernel_specs() {
    local version=$1 pkg v
    shift
    specs=()
    for pkg in "$@"; do
        v=$(candidate "$pkg")
        [ -n "$v" ] && [ "$v" != "(none)" ] || skip "package $pkg cannot be had (is the security suite in the sources?)"
        if [ "$v" = "$version" ]; then
            specs+=("$pkg")
        elif has_version "$pkg" "$version"; then
            specs+=("$pkg=$version")
        elif [[ $pkg == linux-kbuild-* ]]; then
            echo "== $name: $pkg is no longer to be had at $version; its $v builds the module"
            specs+=("$pkg")
        else
            die "kernel packages differ in version: $image_pkg $version, $pkg $v, and $pkg $version is not to be had"
        fi
    done
}

deb() { ls "$kdir/debs/$1"_*.deb; }

# unpack_root PACKAGE...: the downloaded packages unpacked into $root, once.
unpack_root() {
    local pkg
    [ -e "$root/.done" ] && return
    rm -rf "$root"
    for pkg in "$@"; do
        step "cannot unpack $pkg" dpkg-deb -x "$(deb "$pkg")" "$root"
    done
    # The headers' Makefile includes the common tree by its installed path.
    sed -i "s|^include /usr/src/|include $root/usr/src/|" "$root/usr/src/linux-headers-$release/Makefile"
    touch "$root/.done"
}

# extract_gpio_sim_sources DIR: the three source files gpio-sim is built
# from, out of linux-source-6.1's tarball, into DIR/linux-source-6.1.
extract_gpio_sim_sources() {
    local members=(linux-source-6.1/drivers/gpio/gpio-sim.c linux-source-6.1/drivers/gpio/gpiolib.h
                   linux-source-6.1/kernel/irq/irq_sim.c)
    step "cannot extract the gpio-sim sources" sh -c \
        "dpkg-deb --fsys-tarfile '$(deb linux-source-6.1)' | tar -xO ./usr/src/linux-source-6.1.tar.xz | tar -xJ -C '$1' ${members[*]}"
}

# prepare_gpio_sim SRC: gpio-sim and the interrupt simulator as one module's
# sources in $kdir/gpio-sim, from the kernel sources SRC.
prepare_gpio_sim() {
    local src=$1
    rm -rf "$kdir/gpio-sim"
    mkdir -p "$kdir/gpio-sim"
    cp "$src/drivers/gpio/gpio-sim.c" "$kdir/gpio-sim/gpio-sim-main.c"
    cp "$src/drivers/gpio/gpiolib.h" "$kdir/gpio-sim/"
    # This kernel does not export irq_to_desc to modules; generic_handle_irq
    # runs the same handler by interrupt number.
    sed 's/handle_simple_irq(irq_to_desc(irqnum))/generic_handle_irq(irqnum)/' \
        "$src/kernel/irq/irq_sim.c" >"$kdir/gpio-sim/irq_sim.c"
    grep -q 'generic_handle_irq(irqnum)' "$kdir/gpio-sim/irq_sim.c" || die "irq_sim.c has changed: cannot patch it"
    printf 'obj-m := gpio-sim.o\ngpio-sim-y := gpio-sim-main.o irq_sim.o\n' >"$kdir/gpio-sim/Kbuild"
}

# add_module NAME: the image's module NAME, after the modules it depends on,
# uncompressed into $kdir and appended to modules (the guest loads them in
# that order).
modfile() { find "$root/lib/modules/$release/kernel" -name "$1.ko" -o -name "$1.ko.xz" -o -name "$1.ko.zst" | head -n1; }
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

# copy_modules DIR: the modules, then gpio-sim, into DIR/lib/modules, numbered
# in the order the guest's init loads them (their names sort in that order).
copy_modules() {
    local m n=0
    for m in "${modules[@]}" "${module%.ko}"; do
        n=$((n + 1))
        cp "$m.ko" "$1/lib/modules/$(printf %02d "$n")-${m##*/}.ko"
    done
}

# The console without carriage returns, NUL bytes (a serial console may send
# them) and the firmware's terminal controls.
console() {
    tr -d '\r\000' <"$1" | sed 's/\x1bc//g; s/\x1b\[[0-9;?]*[a-zA-Z]//g'
}

# judge LOG COUNT: passes only on this run's exact verdict line for COUNT cases.
judge() {
    grep -qxF "kernel-leg verdict $nonce: $2 passed, 0 failed" <(tr -d '\r' <"$1")
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
