#!/usr/bin/env bash
# The test command on a machine that lacks a package, as a user who cannot
# install it: it stops at once, with status 1 and the one command that
# installs what is missing (and only that), before it builds anything. As
# root (a stand-in id) it runs apt-get update and one apt-get install of
# what is missing, and goes no further when that fails (a stand-in apt-get
# that logs its calls and fails to install).
#   tests/test_command_setup.sh SOURCE_DIR
set -euo pipefail
src=$1
# Elsewhere than on Debian the command checks no packages and would run in full.
command -v dpkg-query >/dev/null || { echo "no dpkg-query: skipped"; exit 77; }
list=$(mktemp)
trap 'rm -f "$list"' EXIT
chmod 644 "$list"
# One package every machine running this has, one that no archive has.
printf '# a comment\ncoreutils no-such-package-sorvalen  # trailing comment\n' >"$list"
run=(env SORVALEN_PACKAGES="$list" "$src/scripts/test")
if [ "$(id -u)" = 0 ]; then
    run=(setpriv --reuid=nobody --regid=nogroup --clear-groups "${run[@]}")
fi
status=0
out=$("${run[@]}" 2>&1) || status=$?
want="scripts/test needs Debian packages that are not installed; install them with:
    sudo apt-get install --no-install-recommends no-such-package-sorvalen"
if [ "$status" -ne 1 ] || [ "$out" != "$want" ]; then
    echo "status $status (want 1); output:"
    echo "$out"
    echo "wanted:"
    echo "$want"
    exit 1
fi

fake=$(mktemp -d)
trap 'rm -f "$list"; rm -rf "$fake"' EXIT
printf '#!/bin/sh\necho 0\n' >"$fake/id"
cat >"$fake/apt-get" <<FAKE
#!/bin/sh
echo "apt-get \$*" >>"$fake/log"
[ "\$1" = update ]
FAKE
chmod +x "$fake/id" "$fake/apt-get"
status=0
out=$(env PATH="$fake:$PATH" SORVALEN_PACKAGES="$list" "$src/scripts/test" 2>&1) || status=$?
want="apt-get update
apt-get install -y --no-install-recommends no-such-package-sorvalen"
if [ "$status" -eq 0 ] || [ "$(cat "$fake/log" 2>/dev/null)" != "$want" ]; then
    echo "as root: status $status (want a failure), apt-get calls:"
    cat "$fake/log" 2>/dev/null
    echo "wanted: $want; output:"
    echo "$out"
    exit 1
fi
