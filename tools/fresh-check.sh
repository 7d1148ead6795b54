#!/bin/sh
# The README's set-up tried as a new user would, on each Debian named
# (default: bookworm trixie): a minimal chroot (debootstrap --variant=minbase,
# cached per release), a clone of this checkout's HEAD, only `make` installed
# by hand, then `make demo` and `make test` as root. Before those, `make demo`
# as an unprivileged user must stop with the apt-get line to run. Prints each
# step's wall time, packages installed and result, and a verdict per release;
# full logs go to build/fresh-check/RELEASE/. Needs root, debootstrap, git and
# the Debian archive through the mirror this machine's apt uses.
#
#     tools/fresh-check.sh [RELEASE...]
set -eu

repo=$(git rev-parse --show-toplevel)
head=$(git -C "$repo" rev-parse HEAD)
cache=${FRESH_CHECK_CACHE:-/var/cache/quarn-fresh-check}
[ $# -gt 0 ] || set -- bookworm trixie

[ "$(id -u)" -eq 0 ] || { echo "fresh-check needs root (debootstrap, chroot, mount)" >&2; exit 1; }
git -C "$repo" diff --quiet HEAD || echo "note: uncommitted changes are not checked, only HEAD $head"

# Each `deb` entry of this machine's apt configuration as "URI SUITE" lines,
# from the one-line and the deb822 formats.
apt_entries() {
    cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
        awk '$1 == "deb" { sub(/^deb[ \t]+(\[[^]]*\][ \t]+)?/, ""); print $1, $2 }'
    cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
        awk 'BEGIN { RS = ""; FS = "\n" }
             { deb = off = n = m = 0
               for (i = 1; i <= NF; i++) {
                   if ($i ~ /^Types:/ && $i ~ /[ \t]deb([ \t]|$)/) deb = 1
                   if ($i ~ /^Enabled:[ \t]*no/) off = 1
                   if ($i ~ /^URIs:/) n = split($i, uris, /[ \t]+/)
                   if ($i ~ /^Suites:/) m = split($i, suites, /[ \t]+/)
               }
               if (deb && !off) for (u = 2; u <= n; u++) for (s = 2; s <= m; s++)
                   print uris[u], suites[s] }'
}

# The mirror for `release`: an entry naming it, else the first entry of a
# release's main archive (a suite without "-security" or "-updates"), since
# the same archive serves every release.
apt_mirror() {
    entries=$(apt_entries)
    echo "$entries" | awk -v release="$1" '$2 == release { print $1; exit }'
    echo "$entries" | awk '$2 ~ /^[a-z]+$/ { print $1; exit }'
}

# A minimal `release` unpacked into a fresh folder, from the cached tarball,
# made the first time.
unpack_minbase() {
    release=$1 root=$2 base=$cache/$1-minbase.tar
    if [ ! -f "$base" ]; then
        mirror=$(apt_mirror "$release" | head -n 1)
        [ -n "$mirror" ] || { echo "no Debian mirror in /etc/apt/sources.list*" >&2; return 1; }
        echo "== debootstrap --variant=minbase $release (once; cached in $base)"
        mkdir -p "$cache"
        fresh=$(mktemp -d "$cache/root.XXXXXX")
        debootstrap --variant=minbase "$release" "$fresh" "$mirror" >"$cache/$release-debootstrap.log" 2>&1 ||
            { tail -n 20 "$cache/$release-debootstrap.log" >&2; rm -rf --one-file-system "$fresh"; return 1; }
        tar -C "$fresh" --numeric-owner -cf "$base.part" . || return 1
        mv "$base.part" "$base"
        rm -rf --one-file-system "$fresh"
    fi
    tar -C "$root" --numeric-owner -xpf "$base"
}

# The README's steps in a fresh `release` chroot; fails when any step does
# not end as it should.
check_release() {
    release=$1 logs=$repo/build/fresh-check/$1
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
    unpack_minbase "$release" "$root"
    chmod 755 "$root"  # the chroot's /, which every user must traverse
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount --make-rslave "$root/dev"
    git clone --quiet --no-checkout "$repo" "$root/srv/quarn"
    git -C "$root/srv/quarn" checkout --quiet --detach "$head"
    rm -rf "$logs" && mkdir -p "$logs"
    echo "== $release minbase chroot, clone of $head"

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
        echo "== $release, $name: $result in $(($(date +%s) - start)) s," \
             "$(($(installed) - before)) packages installed"
        step_result=$result
    }

    step "apt-get install make" root "apt-get update -qq && apt-get install -y -qq make"
    [ "$step_result" = ok ] || { tail -n 20 "$log"; return 1; }

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
    grep -E "^== tests|^(FAILED|ERROR) |[0-9]+ (passed|failed|error)" "$log" | sed 's/^/   /'
    return $status
}

verdict=0
for release in "$@"; do
    # A subshell each, so that each release's mounts are undone when it ends;
    # outside an `if`, where set -e would not hold inside it.
    set +e
    (set -e; check_release "$release")
    result=$?
    set -e
    if [ $result -eq 0 ]; then
        echo "== fresh-check, $release: all as expected"
    else
        echo "== fresh-check, $release: FAILED"
        verdict=1
    fi
done
exit $verdict
