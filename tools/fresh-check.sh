#!/bin/sh
# The README's set-up tried as a new user would: a minimal Debian 12 chroot
# (debootstrap --variant=minbase, cached), a clone of this checkout's HEAD,
# only `make` installed by hand, then `make demo` and `make test` as root.
# Before those, `make demo` as an unprivileged user must stop with the
# apt-get line to run. Prints each step's wall time, packages installed and
# result; full logs go to build/fresh-check/. Needs root, debootstrap, git
# and the Debian archive through the mirror this machine's apt uses.
set -eu

repo=$(git rev-parse --show-toplevel)
head=$(git -C "$repo" rev-parse HEAD)
cache=${FRESH_CHECK_CACHE:-/var/cache/quarn-fresh-check}
base=$cache/bookworm-minbase.tar
logs=$repo/build/fresh-check

[ "$(id -u)" -eq 0 ] || { echo "fresh-check needs root (debootstrap, chroot, mount)" >&2; exit 1; }
git -C "$repo" diff --quiet HEAD || echo "note: uncommitted changes are not checked, only HEAD $head"

# The first Debian bookworm mirror in this machine's apt configuration, in
# either the one-line or the deb822 format.
apt_mirror() {
    cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
        awk '$1 == "deb" { sub(/^deb[ \t]+(\[[^]]*\][ \t]+)?/, "");
                           if ($2 == "bookworm") { print $1; exit } }'
    cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
        awk 'BEGIN { RS = ""; FS = "\n" }
             { deb = suite = off = 0; uri = ""
               for (i = 1; i <= NF; i++) {
                   if ($i ~ /^Types:/ && $i ~ /[ \t]deb([ \t]|$)/) deb = 1
                   if ($i ~ /^Suites:/ && $i ~ /[ \t]bookworm([ \t]|$)/) suite = 1
                   if ($i ~ /^Enabled:[ \t]*no/) off = 1
                   if ($i ~ /^URIs:/) { split($i, word, /[ \t]+/); uri = word[2] }
               }
               if (deb && suite && !off && uri != "") { print uri; exit } }'
}

if [ ! -f "$base" ]; then
    mirror=$(apt_mirror | head -n 1)
    [ -n "$mirror" ] || { echo "no bookworm mirror in /etc/apt/sources.list*" >&2; exit 1; }
    echo "== debootstrap --variant=minbase bookworm (once; cached in $base)"
    mkdir -p "$cache"
    fresh=$(mktemp -d "$cache/root.XXXXXX")
    debootstrap --variant=minbase bookworm "$fresh" "$mirror" >"$cache/debootstrap.log" 2>&1 ||
        { tail -n 20 "$cache/debootstrap.log" >&2; rm -rf --one-file-system "$fresh"; exit 1; }
    tar -C "$fresh" --numeric-owner -cf "$base.part" . || exit 1
    mv "$base.part" "$base"
    rm -rf --one-file-system "$fresh"
fi

root=$(mktemp -d /var/tmp/quarn-fresh-check.XXXXXX)
cleanup() {
    umount "$root/proc" 2>/dev/null || true
    umount -R "$root/dev" 2>/dev/null || true
    # Never delete through a mount still in place: that would reach the host's /dev.
    if mountpoint -q "$root/dev" || mountpoint -q "$root/proc"; then
        echo "left $root in place: still mounted" >&2
    else
        rm -rf --one-file-system "$root"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM
tar -C "$root" --numeric-owner -xpf "$base"
chmod 755 "$root"  # the chroot's /, which every user must traverse
cp /etc/resolv.conf "$root/etc/resolv.conf"
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount --make-rslave "$root/dev"
git clone --quiet --no-checkout "$repo" "$root/srv/quarn"
git -C "$root/srv/quarn" checkout --quiet --detach "$head"
rm -rf "$logs" && mkdir -p "$logs"
echo "== bookworm minbase chroot, clone of $head"

installed() {
    chroot "$root" dpkg-query -W -f='${Status}\n' | grep -c "install ok installed"
}

# Runs one step in the chroot with a bare environment, as root or as the
# user named; prints its wall time, the packages it added and its result.
status=0
step() {
    name=$1 user=$2 command=$3
    log=$logs/$(echo "$name" | tr -c 'a-z0-9\n' '-').log
    before=$(installed) start=$(date +%s)
    if chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin \
        runuser -u "$user" -- sh -c "cd /srv/quarn && $command" >"$log" 2>&1; then
        result=ok
    else
        result="failed (exit $?)"
    fi
    echo "== $name: $result in $(($(date +%s) - start)) s, $(($(installed) - before)) packages installed"
    step_result=$result
}

step "apt-get install make" root "apt-get update -qq && apt-get install -y -qq make"
[ "$step_result" = ok ] || { tail -n 20 "$log"; exit 1; }

step "make demo without root or sudo (must stop)" nobody "make demo"
if [ "$step_result" != ok ] && grep -q "apt-get update && apt-get install" "$log"; then
    sed 's/^/   /' "$log"
else
    echo "   expected a stop with the apt-get line to run as root:"; tail -n 20 "$log"; status=1
fi

step "make demo" root "make demo"
[ "$step_result" = ok ] || status=1
tail -n 7 "$log" | sed 's/^/   /'

step "make test" root "make test"
[ "$step_result" = ok ] || status=1
grep -E "^== tests|[0-9]+ (passed|failed|error)" "$log" | sed 's/^/   /'

[ $status -eq 0 ] && echo "== fresh-check: all as expected" || echo "== fresh-check: FAILED"
exit $status
