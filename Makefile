# Thin driver over CMake: one build folder per backend, each holding quarn*.so.
PYTHON ?= /usr/bin/python3
NVCC ?= $(firstword $(shell command -v nvcc) $(wildcard /usr/local/cuda/bin/nvcc))
BACKENDS := cpu $(if $(NVCC),cuda)

# Debian packages by what needs them. `deps` installs the build's and those of
# the goals given, in one apt-get call, so `make demo` waits for no test-only
# package. install-deps.sh runs one call at a time, so `make -j` never runs two
# apt-gets at once (deps and fuzz-deps, say); without dpkg it checks for the
# commands, headers and Python modules themselves, those of $(PYTHON).
BUILD_PACKAGES := g++ cmake ninja-build python3 python3-dev python3-numpy \
                  pybind11-dev libstb-dev
DEMO_PACKAGES := python3-pil
# A venv that builds with Debian's setuptools and NumPy, offline; setuptools
# itself for `python3 setup.py sdist`.
PIP_PACKAGES := python3-venv python3-wheel python3-setuptools
PACKAGES_FOR_demo := $(DEMO_PACKAGES)
# tqdm: the progress bar of examples/batch_edges.py, which the tests run;
# Dask for its cluster engine, which they run too; mypy for the stubs.
PACKAGES_FOR_test := python3-pytest python3-tqdm python3-dask python3-distributed python3-mypy \
                     $(DEMO_PACKAGES) $(PIP_PACKAGES)
PACKAGES_FOR_pip-deps := $(PIP_PACKAGES)
# Baselines for `make bench` only; the tests never need them.
PACKAGES_FOR_bench := $(DEMO_PACKAGES) python3-opencv
DEB_PACKAGES := $(BUILD_PACKAGES) $(sort $(foreach goal,$(MAKECMDGOALS),$(PACKAGES_FOR_$(goal))))

CMAKE_FLAGS_cpu := -DQUARN_BACKEND=cpu
CMAKE_FLAGS_cuda := -DQUARN_BACKEND=cuda -DCMAKE_CUDA_COMPILER=$(NVCC)

.PHONY: deps pip-deps build test demo bench fuzz fuzz-msan fuzz-deps tsan valgrind gpu-bundle gpu-bundle-test \
        fresh-check clean $(BACKENDS:%=build/%)

deps:
	@PYTHON=$(PYTHON) tools/install-deps.sh $(DEB_PACKAGES)

# What the pip route needs: the build's packages and a venv's.
pip-deps: deps

build: $(BACKENDS:%=build/%)

# Order-only, so that under -j cmake still waits for the packages.
$(BACKENDS:%=build/%): build/%: | deps
	cmake -S . -B $@ -G Ninja -DPYTHON_EXECUTABLE=$(PYTHON) $(CMAKE_FLAGS_$*)
	cmake --build $@

# pytest once per backend, each importing the module from its build folder;
# every backend's tests run, and any failure fails the target. Here the Dask
# tests fail, rather than skip, without Dask.
test: build
	@failed=""; for backend in $(BACKENDS); do \
	    echo "== tests, $$backend backend"; \
	    QUARN_TEST_BACKEND=$$backend QUARN_REQUIRE_DASK=1 PYTHONPATH=build/$$backend \
	        $(PYTHON) -m pytest -q tests || failed="$$failed $$backend"; \
	done; \
	if [ -n "$$failed" ]; then echo "== tests failed on:$$failed"; exit 1; fi

# The edge demo on the sample picture, on the CUDA build where there is one;
# without a usable GPU that build computes on the CPU, and the demo says so.
demo: build
	PYTHONPATH=build/$(if $(filter cuda,$(BACKENDS)),cuda,cpu) $(PYTHON) examples/edges.py

# What a GPU machine without Debian's packages lacks, in one ignored folder to
# copy there with the checkout: the stb_image header. tools/gpu-check.sh uses it.
GPU_BUNDLE := build/gpu-bundle
gpu-bundle: deps
	@mkdir -p $(GPU_BUNDLE)/include/stb
	cp /usr/include/stb/stb_image.h $(GPU_BUNDLE)/include/stb/

# The CUDA build against the bundled header alone, the system's hidden by a
# private mount (needs root): what gpu-check.sh builds, for one architecture.
gpu-bundle-test: gpu-bundle
	unshare -m sh -ec 'mount -t tmpfs none /usr/include/stb; \
	    cmake -S . -B build/gpu-bundle-test -G Ninja -DPYTHON_EXECUTABLE=$(PYTHON) \
	        $(CMAKE_FLAGS_cuda) -DCMAKE_CUDA_ARCHITECTURES=75 \
	        -DQUARN_STB_INCLUDE_DIR=$(CURDIR)/$(GPU_BUNDLE)/include; \
	    cmake --build build/gpu-bundle-test --target quarn gpu_timing'

# stb_image alone, compiled like the C part of the Release build (-O3), and
# once more with zeroed allocations, as quarn's decoder makes them (it spares
# only a JPEG's output, which stb writes whole).
build/bench/libstb_decode.so: bench/stb_decode.c | deps
	@mkdir -p $(@D)
	$(CC) -O3 -DNDEBUG -fPIC -shared -o $@ $<

build/bench/libstb_decode_zeroed.so: bench/stb_decode.c | deps
	@mkdir -p $(@D)
	$(CC) -O3 -DNDEBUG -DZEROED_ALLOCATIONS -fPIC -shared -o $@ $<

bench: build build/bench/libstb_decode.so build/bench/libstb_decode_zeroed.so
	PYTHONPATH=build/cpu $(PYTHON) bench/run.py

# libFuzzer with ASan and UBSan over the decoder, FUZZ_SECONDS long; it grows
# its own corpus in build/fuzz from the committed seeds and regressions.
# Inputs up to 8 KB keep runs fast, yet such a file may declare an image whose
# HDR float buffer alone is 2 GB, libFuzzer's default limit. The decoder's own
# budget refuses more than 32 bytes a pixel, so 8 GB a malloc and 4 GB
# resident only catch a broken budget. ubsan.supp lists stb's own UB; the
# checks it names recover, since UBSan aborts before reading the list for a
# check that does not (halt_on_error still stops at any other report).
FUZZ_SECONDS ?= 120
FUZZ_SOURCES := tests/fuzz/decode_fuzzer.c $(wildcard image/*.c)
FUZZ_HEADERS := $(wildcard image/*.h)
FUZZ_OPTIONS := -max_len=8192 -timeout=10 -malloc_limit_mb=8192 -rss_limit_mb=4096

# The sanitizer runtimes of Debian's default clang, whatever its version, and
# llvm for llvm-symbolizer: UBSan matches ubsan.supp against function names,
# so without a symbolizer the suppressions do not apply.
fuzz-deps:
	@tools/install-deps.sh clang libclang-rt-dev llvm libstb-dev

build/fuzz/decode_fuzzer: $(FUZZ_SOURCES) $(FUZZ_HEADERS) | fuzz-deps
	@mkdir -p $(@D)
	clang -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
	    -fsanitize-recover=shift-exponent,nonnull-attribute,float-cast-overflow -fwrapv -I. -o $@ $(FUZZ_SOURCES)

fuzz: build/fuzz/decode_fuzzer
	@mkdir -p build/fuzz/corpus
	UBSAN_OPTIONS=suppressions=tests/fuzz/ubsan.supp:halt_on_error=1:print_stacktrace=1 \
	    build/fuzz/decode_fuzzer build/fuzz/corpus tests/fuzz/corpus tests/fuzz/regressions \
	    $(FUZZ_OPTIONS) -max_total_time=$(FUZZ_SECONDS) -artifact_prefix=build/fuzz/ \
	    -print_final_stats=1

# The same target under MemorySanitizer, FUZZ_SECONDS long, in build/fuzz-msan:
# it fails on any branch or pixel that depends on memory the decoder never
# wrote, which ASan's uniform fill of fresh blocks hides.
build/fuzz-msan/decode_fuzzer: $(FUZZ_SOURCES) $(FUZZ_HEADERS) | fuzz-deps
	@mkdir -p $(@D)
	clang -g -O1 -fsanitize=fuzzer,memory -fsanitize-memory-track-origins \
	    -fno-omit-frame-pointer -I. -o $@ $(FUZZ_SOURCES)

fuzz-msan: build/fuzz-msan/decode_fuzzer
	@mkdir -p build/fuzz-msan/corpus
	build/fuzz-msan/decode_fuzzer build/fuzz-msan/corpus tests/fuzz/corpus tests/fuzz/regressions \
	    $(FUZZ_OPTIONS) -max_total_time=$(FUZZ_SECONDS) -artifact_prefix=build/fuzz-msan/ \
	    -print_final_stats=1

# ThreadSanitizer over the decoder and the CPU edge rule: TSAN_THREADS threads
# decode and edge-map every fuzz seed and regression TSAN_ROUNDS times at once,
# the GIFs also from small-stack threads (their decodes then start threads of
# their own), and must match a serial run. Any report fails it.
TSAN_THREADS ?= 4
TSAN_ROUNDS ?= 3
TSAN_SOURCES := $(filter-out tests/fuzz/decode_fuzzer.c,$(FUZZ_SOURCES))
TSAN_EDGES := edges/gpu/cpu_sobel.cpp edges/gpu/cpu_edges.cpp

build/tsan/tsan_workload: tests/tsan_workload.cpp $(TSAN_EDGES) $(TSAN_SOURCES) $(FUZZ_HEADERS) \
                          $(wildcard edges/gpu/*.h) | fuzz-deps
	@mkdir -p $(@D)
	clang++ -g -O1 -fsanitize=thread -I. -o $@ tests/tsan_workload.cpp $(TSAN_EDGES) \
	    -x c $(TSAN_SOURCES)

tsan: build/tsan/tsan_workload
	TSAN_OPTIONS=halt_on_error=1 build/tsan/tsan_workload $(TSAN_THREADS) $(TSAN_ROUNDS) \
	    tests/fuzz/corpus/* tests/fuzz/regressions/*

# Memcheck over the CPU build: every fuzz seed, regression and mutant of the
# mutation test, each returned array written to /dev/null so that memcheck
# checks each pixel, then a few hundred mixed calls. Any memcheck error fails
# it (a pixel the decoder never wrote shows as "uninitialised"), and so does a
# block lost for certain under quarn (Python itself leaves some at exit), but
# for those valgrind.supp names: lost by Python once per import, not per call.
valgrind: build/cpu
	@tools/install-deps.sh valgrind
	PYTHONMALLOC=malloc PYTHONPATH=build/cpu valgrind --leak-check=full --num-callers=50 \
	    --errors-for-leak-kinds=none --error-exitcode=1 --log-file=build/valgrind.log \
	    --suppressions=tests/valgrind.supp \
	    $(PYTHON) tests/memcheck_workload.py 300 >/dev/null \
	    || { grep -m1 -A20 "uninitialised\|Invalid\|Process terminating" build/valgrind.log; false; }
	@grep -A4 "LEAK SUMMARY" build/valgrind.log
	@grep "ERROR SUMMARY" build/valgrind.log
	@! grep -m5 uninitialised build/valgrind.log
	@! awk '/definitely lost in loss record/,/^==[0-9]+== $$/' build/valgrind.log | grep quarn

# The README's set-up from bare minimal Debian 12 and 13 chroots: `make demo`
# and `make test` with only `make` installed by hand. DEBIAN picks one release
# (bookworm or trixie); both by default. Needs root and the Debian archive;
# slow, so not part of `make test`.
DEBIAN ?= bookworm trixie
fresh-check:
	@tools/install-deps.sh debootstrap git
	tools/fresh-check.sh $(DEBIAN)

clean:
	rm -rf build
