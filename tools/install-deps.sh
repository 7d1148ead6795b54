#!/bin/sh
# Installs the Debian packages named as arguments that are not installed yet,
# all in one apt-get call: as root, or through sudo where there is one.
# Without either it installs nothing, prints the line to run as root and fails.
# Without dpkg (not Debian) it checks for what each package gives instead (a
# command, a header, a Python module of $PYTHON), goes on when all are there,
# and otherwise names what is missing in those terms and fails.
# One call runs at a time, machine-wide: `make -j` may start deps and
# fuzz-deps together, and two apt-gets at once fail on dpkg's lock.
set -eu
python=${PYTHON:-python3}

lock=${TMPDIR:-/tmp}/quarn-install-deps.lock
touch "$lock" 2>/dev/null || true
if command -v flock >/dev/null && [ -r "$lock" ]; then
    exec 9<"$lock"
    flock 9
fi

# Without dpkg: whether what package $1 gives is here; prints what is missing.
tool() { command -v "$1" >/dev/null || echo "the command $1"; }
module() {
    "$python" -c "import $1" 2>/dev/null || echo "the Python module $1 for $python (pip: $2)"
}
provided() {
    case $1 in
        g++ | cmake | clang | git | valgrind | debootstrap) tool "$1" ;;
        ninja-build) tool ninja ;;
        python3) tool "$python" ;;
        python3-dev)
            "$python" -c 'import os, sysconfig
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' 2>/dev/null ||
                echo "Python's headers (Python.h) for $python" ;;
        libstb-dev)
            stb=${QUARN_STB_INCLUDE_DIR:-/usr/include}
            [ -e "$stb/stb/stb_image.h" ] ||
                echo "stb/stb_image.h under $stb (or set QUARN_STB_INCLUDE_DIR)" ;;
        pybind11-dev) module pybind11 pybind11 ;;
        python3-numpy) module numpy numpy ;;
        python3-pil) module PIL pillow ;;
        python3-pytest) module pytest pytest ;;
        python3-tqdm) module tqdm tqdm ;;
        python3-dask) module dask dask ;;
        python3-distributed) module distributed distributed ;;
        python3-mypy) module mypy mypy ;;
        python3-venv) module ensurepip "part of Python" ;;
        python3-wheel) module wheel wheel ;;
        python3-setuptools) module setuptools setuptools ;;
        python3-opencv) module cv2 opencv-python ;;
        *) echo "(not checked without dpkg: $1)" >&2 ;;
    esac
}

if ! command -v dpkg-query >/dev/null; then
    lacking=""
    for pkg in "$@"; do
        what=$(provided "$pkg")
        [ -z "$what" ] || lacking="$lacking
    $what"
    done
    [ -z "$lacking" ] && exit 0
    echo "Missing (no dpkg here to install Debian packages with):$lacking" >&2
    exit 1
fi

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
