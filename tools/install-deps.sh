#!/bin/sh
# Installs the Debian packages named as arguments that are not installed yet,
# all in one apt-get call: as root, or through sudo where there is one.
# Without either it installs nothing, prints the line to run as root and fails.
set -eu
missing=""
for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
        missing="$missing $pkg"
done
[ -z "$missing" ] && exit 0
install="apt-get install -y --no-install-recommends$missing"
if [ "$(id -u)" -eq 0 ]; then
    sudo=""
elif command -v sudo >/dev/null; then
    sudo="sudo"
else
    echo "Missing Debian packages:$missing" >&2
    echo "Install them as root (there is no sudo here), then run make again:" >&2
    echo "    apt-get update && $install" >&2
    exit 1
fi
echo "Installing Debian packages:$missing"
# Through env, since sudo drops the caller's environment.
$sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
$sudo env DEBIAN_FRONTEND=noninteractive $install -qq
