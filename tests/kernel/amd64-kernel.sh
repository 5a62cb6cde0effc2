# shellcheck shell=bash disable=SC2154
# Debian 12's amd64 kernel for the kernel leg's amd64 guests (tests/kernel/run
# and tests/kernel/run-system): downloads the kernel packages once (never
# installs them), unpacks them, builds gpio-sim for the kernel and extracts
# the uncompressed kernel, all cached in $cache/VERSION. Sourced after
# host.sh; works on its globals and sets kdir, root, release, image_pkg,
# version, module, vmlinuz and vmlinux.

# --- Kernel packages: the current kernel ABI and one version for all ------
if [ -z "$(candidate linux-image-amd64)" ] || [ "$(candidate linux-image-amd64)" = "(none)" ]; then
    [ "$(id -u)" = 0 ] && apt-get update >>"$log" 2>&1 || true
fi
image_pkg=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*-amd64\)$/\1/p' | head -n1)
[ -n "$image_pkg" ] || skip "no linux-image-amd64 in the package lists (apt-get update?)"
abi=${image_pkg#linux-image-}
abi=${abi%-amd64}
packages=("$image_pkg" "linux-headers-$abi-amd64" "linux-headers-$abi-common" linux-kbuild-6.1 linux-source-6.1)
version=$(candidate "$image_pkg")
kernel_specs "$version" "${packages[@]}"
release=$abi-amd64
kdir=$cache/$version
mkdir -p "$kdir/debs"

if [ ! -e "$kdir/debs/.done" ]; then
    echo "== $name: downloading ${specs[*]} busybox-static ($version)"
    # apt's download user cannot write into a build tree under /root.
    step "cannot download the kernel packages" \
        sh -c "cd '$kdir/debs' && apt-get download -o APT::Sandbox::User=root ${specs[*]} busybox-static"
    touch "$kdir/debs/.done"
fi

root=$kdir/root
unpack_root "$image_pkg" "linux-headers-$abi-amd64" "linux-headers-$abi-common" linux-kbuild-6.1 busybox-static

# --- gpio-sim, built out of tree as one module with the interrupt simulator -
module=$kdir/gpio-sim/gpio-sim.ko
if [ ! -e "$module" ]; then
    echo "== $name: building gpio-sim for $release"
    rm -rf "$kdir/src"
    mkdir -p "$kdir/src"
    extract_gpio_sim_sources "$kdir/src"
    prepare_gpio_sim "$kdir/src/linux-source-6.1"
    step "cannot build gpio-sim" make -C "$root/usr/src/linux-headers-$release" M="$kdir/gpio-sim" modules
fi

# --- The kernel: uncompressed vmlinux for qemu's PVH entry, else bzImage ---
vmlinuz=$root/boot/vmlinuz-$release
vmlinux=$kdir/vmlinux
if [ ! -e "$vmlinux" ]; then
    # The bzImage's payload is an xz stream: find its magic, decompress.
    for offset in $(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$vmlinuz" | cut -d: -f1); do
        # tail ends on SIGPIPE once xz has read its one stream; xz's status counts.
        if (set +o pipefail; tail -c +$((offset + 1)) "$vmlinuz" | xz -dc --single-stream >"$vmlinux.tmp" 2>/dev/null) &&
            [ "$(head -c 4 "$vmlinux.tmp" | od -An -tx1 | tr -d ' ')" = 7f454c46 ]; then
            mv "$vmlinux.tmp" "$vmlinux"
            break
        fi
    done
    rm -f "$vmlinux.tmp"
fi
