# Thin driver over CMake: one build folder per backend, each holding quarn*.so.
PYTHON ?= /usr/bin/python3
NVCC ?= $(firstword $(shell command -v nvcc) $(wildcard /usr/local/cuda/bin/nvcc))
BACKENDS := cpu $(if $(NVCC),cuda)
DEB_PACKAGES := g++ make cmake ninja-build python3 python3-numpy python3-pytest \
                pybind11-dev libstb-dev python3-pil python3-venv python3-wheel

# Baselines for `make bench` only; the tests never need them.
BENCH_PACKAGES := python3-opencv python3-pil

CMAKE_FLAGS_cpu := -DQUARN_BACKEND=cpu
CMAKE_FLAGS_cuda := -DQUARN_BACKEND=cuda -DCMAKE_CUDA_COMPILER=$(NVCC)

.PHONY: deps bench-deps build test demo bench clean $(BACKENDS:%=build/%)

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

clean:
	rm -rf build
