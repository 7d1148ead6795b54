#!/usr/bin/env bash
# The CUDA build's check on a machine with an NVIDIA GPU, in one call of at
# most 6 minutes: versions; a build for the local GPU; every test with the
# device required; compute-sanitizer (memcheck, initcheck) over the launcher's
# edge shapes; recovery after an out-of-memory failure; the bench's GPU section.
#
# Run from the repository root. Where /usr/include has no stb/stb_image.h, it
# builds against build/gpu-bundle/include (`make gpu-bundle` on a machine that
# has it). DIR is the first argument, else $OUT, else build/gpu-check. The log
# goes to DIR/gpu-check.log as it runs, and the summary, each step with its
# outcome and time, to DIR/gpu-check.txt after every step, so a call cut off
# still brings back both. Without Python.h only the kernel's own checks run
# (the summary says which were skipped and why). Exits 2 at once without a
# GPU, 1 if any step failed, timed out or was cut off; a skipped step (a tool
# missing, compute-sanitizer refusing the GPU) or a missed speed target is
# reported, not failed.
set -uo pipefail
cd "$(dirname "$0")/.." || exit

if ! gpus=$(nvidia-smi -L 2>&1) || [ -z "$gpus" ]; then
    echo "gpu-check: no NVIDIA GPU here (nvidia-smi -L: ${gpus:-no output}); run it on a machine with one" >&2
    exit 2
fi

outdir=${1:-${OUT:-build/gpu-check}}
mkdir -p "$outdir" build
outdir=$(cd "$outdir" && pwd)
log=$outdir/gpu-check.log
summary=$outdir/gpu-check.txt
steps=build/gpu-check.steps  # one line a step: outcome, name, seconds
current=build/gpu-check.current  # the running step: its process group and name
: >"$log"
: >"$steps"
: >"$current"
DEADLINE=$((SECONDS + 330))  # leaves time to write the report within 6 minutes

# The tools, wherever this machine keeps them. CMake finds the toolkit's root
# from nvcc's real path only; compute-sanitizer ships beside nvcc.
PYTHON=${PYTHON:-$(command -v python3)}
NVCC=$(readlink -f "$(command -v nvcc || echo /usr/local/cuda/bin/nvcc)")
SANITIZER=$(command -v compute-sanitizer)
for candidate in "${NVCC%/*}/compute-sanitizer" "${NVCC%/*}/../compute-sanitizer/compute-sanitizer"; do
    [ -z "$SANITIZER" ] && [ -x "$candidate" ] && SANITIZER=$candidate
done
if command -v ninja >/dev/null; then GENERATOR=Ninja; else GENERATOR="Unix Makefiles"; fi
CAPABILITY=$(nvidia-smi --query-gpu=compute_cap --format=csv,noheader 2>/dev/null | head -1 | tr -d ' .')
PYTHON_H=$("$PYTHON" -c 'import os, sysconfig
path = os.path.join(sysconfig.get_paths()["include"], "Python.h")
print(path if os.path.exists(path) else "")' 2>/dev/null)
export PYTHON NVCC SANITIZER GENERATOR CAPABILITY PYTHON_H PYTHONUNBUFFERED=1
if [ ! -f /usr/include/stb/stb_image.h ]; then
    export QUARN_STB_INCLUDE_DIR=$PWD/build/gpu-bundle/include
fi

# The summary so far: every step's outcome and time, then the lines of the log
# that carry results.
report() {
    {
        echo "gpu-check summary"
        echo "$gpus"
        cat "$steps"
        grep -aE '^(NVIDIA|name,)|release [0-9.]+, V|^python |^Python.h|^nvcc:|^compute-sanitizer:|^gpu-check:|[0-9]+ (passed|failed|error)|^(FAILED|ERROR)[: ]|ERROR SUMMARY|^[A-Z][A-Za-z]*Error: |QUARN_REQUIRE_DEVICE=1, but|^ok: |^GPU section|First sobel call|= host work|^\{"width"|^  (met   |MISSED)' "$log"
        echo "full log: $log"
    } >"$summary.part" && mv "$summary.part" "$summary"
}

# step NAME SECONDS COMMAND...: runs COMMAND, cut off after SECONDS or at the
# deadline, and notes its outcome in the summary. COMMAND exits 77 to be
# reported as skipped, the reason in build/gpu-check.skip.
step() {
    local name=$1 limit=$2
    shift 2
    local left=$((DEADLINE - SECONDS))
    if ((left < 10)); then
        echo "SKIPPED $name (out of time)" >>"$steps"
        report
        return 1
    fi
    ((limit > left)) && limit=$left
    echo
    echo "== $name (at most ${limit}s)"
    echo "RUNNING $name (since $SECONDS s)" >>"$steps"
    report
    sed -i '$d' "$steps"
    rm -f build/gpu-check.skip
    local start=$SECONDS
    # timeout leads a process group of its own: a cut-off kills all of it.
    timeout -k 5 "$limit" bash -c '"$@"' "$name" "$@" &  # bash, for the functions below
    echo "$! $name" >"$current"
    wait $!
    local rc=$?
    : >"$current"
    local outcome="ok     " detail="exit $rc"
    ((rc != 0)) && outcome="FAILED "
    ((rc == 124 || rc == 137)) && outcome="TIMEOUT"
    if ((rc == 77)); then
        outcome="SKIPPED"
        detail=$(cat build/gpu-check.skip 2>/dev/null)
    fi
    echo "$outcome $name ($((SECONDS - start)) s, $detail)" >>"$steps"
    report
    return "$rc"
}

skip() {  # skip REASON: ends a step as skipped
    echo "$*" >build/gpu-check.skip
    exit 77
}

versions() {
    nvidia-smi
    nvidia-smi --query-gpu=name,driver_version,compute_cap,memory.total --format=csv
    echo "nvcc: $NVCC"
    "$NVCC" --version | tail -2
    echo "compute-sanitizer: ${SANITIZER:-not found}"
    [ -n "$SANITIZER" ] && "$SANITIZER" --version | tail -1
    cmake --version | head -1
    echo "gpu-check: CMake generator $GENERATOR; compute capability ${CAPABILITY:-unknown}"
    "$PYTHON" -c 'import importlib.metadata as m, sys
def version(name):
    try:
        return m.version(name)
    except m.PackageNotFoundError:
        return "missing"
print("python", sys.version.split()[0], sys.executable, *(f"{n} {version(n)}" for n in ["numpy", "pybind11", "pytest", "opencv-python-headless", "pillow"]))'
    echo "Python.h: ${PYTHON_H:-missing}"
    echo "stb folder: ${QUARN_STB_INCLUDE_DIR:-/usr/include}"
}

# build/cuda for the local GPU: CMake's own detection, else the compute
# capability nvidia-smi reports (native needs a GPU it can query at configure).
configure_cuda() {
    local args=(-S . -B build/cuda -G "$GENERATOR" -DPYTHON_EXECUTABLE="$PYTHON" -DQUARN_BACKEND=cuda
        -DCMAKE_CUDA_COMPILER="$NVCC")
    cmake "${args[@]}" -DCMAKE_CUDA_ARCHITECTURES=native && return
    [ -n "$CAPABILITY" ] || return 1
    echo "gpu-check: CMAKE_CUDA_ARCHITECTURES=native failed; using nvidia-smi's compute capability $CAPABILITY"
    cmake "${args[@]}" -DCMAKE_CUDA_ARCHITECTURES="$CAPABILITY"
}

# Both builds at once: build/cpu for the bench's comparison.
builds() {
    { cmake -S . -B build/cpu -G "$GENERATOR" -DPYTHON_EXECUTABLE="$PYTHON" -DQUARN_BACKEND=cpu &&
        cmake --build build/cpu; } >build/gpu-check-cpu-build.log 2>&1 &
    local cpu=$!
    configure_cuda && cmake --build build/cuda --target quarn gpu_timing
    local rc=$?
    wait $cpu || { cat build/gpu-check-cpu-build.log; rc=1; }
    return "$rc"
}

# Without Python.h CMake cannot configure: the kernel's timing driver alone.
kernel_build() {
    mkdir -p build/cuda
    "$NVCC" -O3 -std=c++17 -arch="${CAPABILITY:+sm_}${CAPABILITY:-native}" -I. bench/gpu_timing.cu \
        edges/gpu/cpu_edges.cpp -o build/cuda/gpu_timing
}

# sanitize TOOL [OPTION...] -- COMMAND...: compute-sanitizer's TOOL over
# COMMAND. Ending without an error summary, the tool itself refused to run.
sanitize() {
    [ -n "$SANITIZER" ] || skip "compute-sanitizer is neither on PATH nor beside $NVCC"
    local options=()
    while [ "$1" != -- ]; do options+=("$1"); shift; done
    shift
    "$SANITIZER" "${options[@]}" --error-exitcode 1 "$@" 2>&1 | tee build/gpu-check-sanitizer.out
    local rc=${PIPESTATUS[0]}
    if ((rc != 0)) && ! grep -q "ERROR SUMMARY" build/gpu-check-sanitizer.out; then
        skip "compute-sanitizer did not run: $(grep -m1 -i error build/gpu-check-sanitizer.out ||
            tail -1 build/gpu-check-sanitizer.out)"
    fi
    return "$rc"
}

no_python() {
    echo "SKIPPED $1 (no Python.h for $PYTHON: the module cannot build; install Python's headers)" >>"$steps"
}

export -f skip versions configure_cuda builds kernel_build sanitize

checks() {
    echo "gpu-check: at most 6 minutes on an H100: each step has a limit, and those the deadline leaves no time for are skipped"
    echo "gpu-check: log $log, summary $summary"
    step "versions" 20 versions
    if [ -n "$PYTHON_H" ]; then
        step "build build/cuda (native) and build/cpu" 150 builds || return
        QUARN_TEST_BACKEND=cuda QUARN_REQUIRE_DEVICE=1 PYTHONPATH=build/cuda step \
            "tests, CUDA build, device required" 150 \
            "$PYTHON" -m pytest -q -rfEs -o faulthandler_timeout=60 -p no:cacheprovider tests
    else
        no_python "build build/cuda and build/cpu"
        step "build gpu_timing alone" 90 kernel_build || return
        no_python "tests, CUDA build"
    fi
    step "compute-sanitizer memcheck, C++ workload" 30 \
        sanitize --tool memcheck --leak-check full -- build/cuda/gpu_timing --shapes
    step "compute-sanitizer initcheck, C++ workload" 30 \
        sanitize --tool initcheck -- build/cuda/gpu_timing --shapes
    step "a call after an out-of-memory failure" 30 build/cuda/gpu_timing --oom-recovery
    if [ -n "$PYTHON_H" ]; then
        PYTHONPATH=build/cpu step "bench, GPU section" 100 "$PYTHON" bench/run.py --gpu
        PYTHONPATH=build/cuda:tests step "compute-sanitizer memcheck, Python workload" 60 \
            sanitize --tool memcheck --leak-check full -- "$PYTHON" tests/sanitizer_workload.py
        PYTHONPATH=build/cuda:tests step "compute-sanitizer initcheck, Python workload" 60 \
            sanitize --tool initcheck -- "$PYTHON" tests/sanitizer_workload.py
    else
        step "kernel timings, 1920x1080 and 3840x2160" 40 \
            bash -c 'build/cuda/gpu_timing 1920 1080 30 && build/cuda/gpu_timing 3840 2160 30'
        no_python "bench, GPU section"
        no_python "compute-sanitizer, Python workload"
    fi
}

# Stopped from outside (a time limit): end the running step's process group,
# and say so in the summary.
cut_off() {
    local group name
    read -r group name <"$current" && kill -TERM -- "-$group" 2>/dev/null
    echo "CUT OFF ${name:-between steps} (the check was stopped after $SECONDS s)" >>"$steps"
    report
    cat "$summary"
    exit 1
}
trap cut_off TERM INT HUP

{ checks 2>&1 | tee -a "$log"; } &
wait $!
report
echo
cat "$summary"
! grep -qvE '^(ok|SKIPPED) ' "$steps"
