#!/usr/bin/env bash
# The CUDA build's check on a machine with an NVIDIA GPU, in one call of at
# most 6 minutes: versions; a build for the local GPU; every test with the
# device required; compute-sanitizer over the launcher's edge shapes; recovery
# after an out-of-memory failure; the bench's GPU section.
#
# Run from the repository root. Where /usr/include has no stb/stb_image.h, it
# builds against build/gpu-bundle/include (`make gpu-bundle` on a machine that
# has it). Writes a summary and the full log to DIR/gpu-check.txt, DIR being
# the first argument, else $OUT, else build/gpu-check. Exits 2 at once without
# a GPU, 1 if any step failed.
set -uo pipefail
cd "$(dirname "$0")/.." || exit

if ! gpus=$(nvidia-smi -L 2>&1) || [ -z "$gpus" ]; then
    echo "gpu-check: no NVIDIA GPU here (nvidia-smi -L: ${gpus:-no output}); run it on a machine with one" >&2
    exit 2
fi

outdir=${1:-${OUT:-build/gpu-check}}
mkdir -p "$outdir" build
log=build/gpu-check.log
summary=build/gpu-check.summary
: >"$summary"
DEADLINE=$((SECONDS + 340))  # leaves time to write the report within 6 minutes

PYTHON=$(command -v python3)
NVCC=$(command -v nvcc || echo /usr/local/cuda/bin/nvcc)
export PYTHON NVCC
if [ ! -f /usr/include/stb/stb_image.h ]; then
    export QUARN_STB_INCLUDE_DIR=$PWD/build/gpu-bundle/include
fi

# step NAME SECONDS COMMAND...: runs COMMAND, cut off after SECONDS or at the
# deadline, and notes its outcome in the summary.
step() {
    local name=$1 limit=$2
    shift 2
    local left=$((DEADLINE - SECONDS))
    if ((left < 10)); then
        echo "SKIPPED $name (out of time)" >>"$summary"
        return 1
    fi
    ((limit > left)) && limit=$left
    echo
    echo "== $name (at most ${limit}s)"
    local start=$SECONDS
    timeout -k 5 "$limit" bash -c '"$@"' "$name" "$@"  # bash, for the functions below
    local rc=$?
    local outcome="ok     "
    ((rc != 0)) && outcome="FAILED "
    ((rc == 124 || rc == 137)) && outcome="TIMEOUT"
    echo "$outcome $name ($((SECONDS - start)) s, exit $rc)" >>"$summary"
    return $rc
}

versions() {
    nvidia-smi
    nvidia-smi --query-gpu=name,driver_version,compute_cap,memory.total --format=csv
    "$NVCC" --version | tail -2
    compute-sanitizer --version | tail -1
    cmake --version | head -1
    "$PYTHON" -c 'import importlib.metadata as m, os, sys, sysconfig
def version(name):
    try:
        return m.version(name)
    except m.PackageNotFoundError:
        return "missing"
print("python", sys.version.split()[0], sys.executable, *(f"{n} {version(n)}" for n in ["numpy", "pybind11", "pytest", "opencv-python-headless", "pillow"]))
print("Python.h:", os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))'
    echo "stb folder: ${QUARN_STB_INCLUDE_DIR:-/usr/include}"
}

# Both builds at once: build/cpu for the bench's comparison.
builds() {
    local python=-DPYTHON_EXECUTABLE=$PYTHON
    { cmake -S . -B build/cpu -G Ninja "$python" -DQUARN_BACKEND=cpu &&
        cmake --build build/cpu; } >build/gpu-check-cpu-build.log 2>&1 &
    local cpu=$!
    cmake -S . -B build/cuda -G Ninja "$python" -DQUARN_BACKEND=cuda -DCMAKE_CUDA_COMPILER="$NVCC" \
        -DCMAKE_CUDA_ARCHITECTURES=native && cmake --build build/cuda --target quarn gpu_timing
    local rc=$?
    wait $cpu || { cat build/gpu-check-cpu-build.log; rc=1; }
    return $rc
}

sanitize() {  # sanitize TOOL [OPTION...]
    PYTHONPATH=build/cuda:tests compute-sanitizer --tool "$@" --error-exitcode 1 \
        "$PYTHON" tests/sanitizer_workload.py
}

export -f versions builds sanitize

checks() {
    step "versions" 20 versions
    step "build build/cuda (native) and build/cpu" 150 builds || return
    QUARN_TEST_BACKEND=cuda QUARN_REQUIRE_DEVICE=1 PYTHONPATH=build/cuda \
        step "tests, CUDA build, device required" 120 "$PYTHON" -m pytest -q -rs -p no:cacheprovider tests
    step "compute-sanitizer memcheck" 60 sanitize memcheck --leak-check full
    step "compute-sanitizer racecheck" 40 sanitize racecheck
    step "a call after an out-of-memory failure" 30 build/cuda/gpu_timing --oom-recovery
    PYTHONPATH=build/cpu step "bench, GPU section" 100 "$PYTHON" bench/run.py --gpu
}

export PYTHONUNBUFFERED=1
checks 2>&1 | tee "$log"

{
    echo "gpu-check summary"
    echo "$gpus"
    cat "$summary"
    grep -E '^(NVIDIA|name,)|release [0-9.]+, V|^python |Python.h|[0-9]+ (passed|failed|error)|^SKIPPED|ERROR SUMMARY|^ok: |^FAILED|First sobel call|= host work|^  (met   |MISSED)' "$log"
} >build/gpu-check.head
{
    cat build/gpu-check.head
    echo
    echo "== full log"
    cat "$log"
} >"$outdir/gpu-check.txt"
echo
cat build/gpu-check.head
echo "full log: $outdir/gpu-check.txt"
! grep -qvE '^ok ' "$summary"
