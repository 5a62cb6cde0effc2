# shellcheck shell=bash disable=SC2154
# Debian's amd64 kernel for the kernel leg's amd64 guests (tests/kernel/run
# and tests/kernel/run-system): downloads the kernel packages once (never
# installs them), unpacks them, builds gpio-sim for the kernel and extracts
# the uncompressed kernel, all cached in $cache/VERSION. Sourced after
# host.sh; works on its globals and sets kdir, root, release, image_pkg,
# version, module, vmlinuz and vmlinux. The kernel is Debian 12's 6.1 unless
# the caller chose another with kernel_series (tests/kernel/run --kernel).
[ -n "${series:-}" ] || kernel_series 6.1

# --- Kernel packages: the current kernel ABI and one version for all ------
# Debian 12's come through this machine's apt, Debian 13's through a private
# configuration.
if [ "$suite" = bookworm ]; then
    if [ -z "$(candidate linux-image-amd64)" ] || [ "$(candidate linux-image-amd64)" = "(none)" ]; then
        [ "$(id -u)" = 0 ] && apt-get update >>"$log" 2>&1 || true
    fi
    apt_get() { apt-get "$@"; }
    apt_cache() { apt-cache "$@"; }
else
    private_apt "$cache/apt-$suite"
fi
kernel_packages amd64 amd64
kdir=$cache/$version
mkdir -p "$kdir/debs"

if [ ! -e "$kdir/debs/.done" ]; then
    downloads+=(busybox-static "${kbuild_runtime[@]}")
    echo "== $name: downloading ${downloads[*]} ($version)"
    step "cannot download the kernel packages" download "${downloads[@]}"
    touch "$kdir/debs/.done"
fi

root=$kdir/root
unpack_root "$image_pkg" "linux-headers-$release" "linux-headers-$abi-common" "$kbuild_pkg" busybox-static
check_config

# --- gpio-sim, built out of tree as one module with the interrupt simulator -
module=$kdir/gpio-sim/gpio-sim.ko
if ! gpio_sim_built; then
    echo "== $name: building gpio-sim for $release"
    rm -rf "$kdir/src"
    mkdir -p "$kdir/src"
    extract_gpio_sim_sources "$kdir/src"
    prepare_gpio_sim "$kdir/src/linux-source-$series"
    step "cannot build gpio-sim" make -C "$root/usr/src/linux-headers-$release" M="$kdir/gpio-sim" \
        CC=gcc-12 "${kbuild_args[@]}" modules
    gpio_sim_done
fi

# --- The kernel: uncompressed vmlinux for qemu's PVH entry, else bzImage ---
vmlinuz=$root/boot/vmlinuz-$release
vmlinux=$kdir/vmlinux
if [ ! -e "$vmlinux" ]; then
    # The bzImage's payload (its setup header gives where it starts and its
    # length) is an xz stream (Debian 12) or a zstd frame followed by the
    # uncompressed size in four bytes (Debian 13).
    le32() { od -An -tu4 -j "$1" -N4 "$vmlinuz" | tr -d ' '; }
    setup_sects=$(od -An -tu1 -j $((0x1f1)) -N1 "$vmlinuz" | tr -d ' ')
    payload_start=$(((${setup_sects/#0/4} + 1) * 512 + $(le32 $((0x248)))))
    payload_length=$(le32 $((0x24c)))
    payload() { tail -c +$((payload_start + 1)) "$vmlinuz" | head -c "$1"; }
    case $(payload 4 | od -An -tx1 | tr -d ' ') in
    fd377a58) payload "$payload_length" | xz -dc >"$vmlinux.tmp" 2>/dev/null || true ;;
    28b52ffd) payload $((payload_length - 4)) | zstd -qdc >"$vmlinux.tmp" 2>/dev/null || true ;;
    esac
    if [ -s "$vmlinux.tmp" ] && [ "$(head -c 4 "$vmlinux.tmp" | od -An -tx1 | tr -d ' ')" = 7f454c46 ]; then
        mv "$vmlinux.tmp" "$vmlinux"
    fi
    rm -f "$vmlinux.tmp"
fi
