# Thin driver over CMake: one build folder per backend, each holding quarn*.so.
PYTHON ?= /usr/bin/python3
NVCC ?= $(firstword $(shell command -v nvcc) $(wildcard /usr/local/cuda/bin/nvcc))
BACKENDS := cpu $(if $(NVCC),cuda)
DEB_PACKAGES := g++ make cmake ninja-build python3 python3-numpy python3-pytest \
                pybind11-dev libstb-dev python3-pil python3-venv python3-wheel

# Baselines for `make bench` only; the tests never need them.
BENCH_PACKAGES := python3-opencv

CMAKE_FLAGS_cpu := -DQUARN_BACKEND=cpu
CMAKE_FLAGS_cuda := -DQUARN_BACKEND=cuda -DCMAKE_CUDA_COMPILER=$(NVCC)

.PHONY: deps bench-deps build test demo bench fuzz fuzz-deps valgrind clean $(BACKENDS:%=build/%)

deps:
	@tools/install-deps.sh $(DEB_PACKAGES)

build: deps $(BACKENDS:%=build/%)

$(BACKENDS:%=build/%): build/%:
	cmake -S . -B $@ -G Ninja -DPYTHON_EXECUTABLE=$(PYTHON) $(CMAKE_FLAGS_$*)
	cmake --build $@

# pytest once per backend; each run imports the module from its build folder.
test: build
	@set -e; for backend in $(BACKENDS); do \
	    echo "== tests, $$backend backend"; \
	    QUARN_TEST_BACKEND=$$backend PYTHONPATH=build/$$backend $(PYTHON) -m pytest -q tests; \
	done

# The edge demo on the sample picture, on the CUDA build where there is one;
# without a usable GPU the script itself switches to build/cpu.
demo: build
	PYTHONPATH=build/$(if $(filter cuda,$(BACKENDS)),cuda,cpu) $(PYTHON) examples/edges.py

bench-deps:
	@tools/install-deps.sh $(BENCH_PACKAGES)

# stb_image alone, compiled like the C part of the Release build (-O3).
build/bench/libstb_decode.so: bench/stb_decode.c | deps
	@mkdir -p $(@D)
	$(CC) -O3 -DNDEBUG -fPIC -shared -o $@ $<

bench: build bench-deps build/bench/libstb_decode.so
	PYTHONPATH=build/cpu $(PYTHON) bench/run.py

# libFuzzer with ASan and UBSan over the decoder, FUZZ_SECONDS long; it grows
# its own corpus in build/fuzz from the committed seeds and regressions.
# Inputs up to 8 KB keep runs fast, yet such a file may declare an image whose
# HDR float buffer alone is 2 GB, libFuzzer's default limit. The decoder's own
# budget refuses more than 32 bytes a pixel, so 8 GB a malloc and 4 GB
# resident only catch a broken budget. ubsan.supp lists stb's own UB.
FUZZ_SECONDS ?= 120
FUZZ_SOURCES := tests/fuzz/decode_fuzzer.c image/decode.c image/jpeg_structure.c image/palette_padding.c
FUZZ_OPTIONS := -max_len=8192 -timeout=10 -malloc_limit_mb=8192 -rss_limit_mb=4096


fuzz-deps:
	@tools/install-deps.sh clang libclang-rt-14-dev libstb-dev

build/fuzz/decode_fuzzer: $(FUZZ_SOURCES) image/decode.h image/jpeg_structure.h image/palette_padding.h | fuzz-deps
	@mkdir -p $(@D)
	clang -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
	    -fsanitize-recover=shift-exponent,nonnull-attribute -fwrapv -I. -o $@ $(FUZZ_SOURCES)

fuzz: build/fuzz/decode_fuzzer
	@mkdir -p build/fuzz/corpus
	UBSAN_OPTIONS=suppressions=tests/fuzz/ubsan.supp:halt_on_error=1:print_stacktrace=1 \
	    build/fuzz/decode_fuzzer build/fuzz/corpus tests/fuzz/corpus tests/fuzz/regressions \
	    $(FUZZ_OPTIONS) -max_total_time=$(FUZZ_SECONDS) -artifact_prefix=build/fuzz/ \
	    -print_final_stats=1

# Memcheck over a few hundred mixed calls of the CPU build: any invalid access
# fails it, and so does a block lost for certain under quarn (Python itself
# leaves some at exit).
valgrind: build/cpu
	@tools/install-deps.sh valgrind
	PYTHONMALLOC=malloc PYTHONPATH=build/cpu valgrind --leak-check=full --num-callers=50 \
	    --errors-for-leak-kinds=none --error-exitcode=1 --log-file=build/valgrind.log \
	    $(PYTHON) tests/leak_workload.py 300 >/dev/null
	@grep -A4 "LEAK SUMMARY" build/valgrind.log
	@! awk '/definitely lost in loss record/,/^==[0-9]+== $$/' build/valgrind.log | grep quarn

clean:
	rm -rf build
