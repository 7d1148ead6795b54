"""Peak memory of one call beyond its result, measured in a fresh process.

    peak_memory.py decode NAME FILE TINY_FILE
    peak_memory.py sobel NAME PNG_FILE TINY_PNG_FILE DTYPE

prints {"extra": bytes, "result": bytes} as JSON, for the call NAME of
contenders.py on FILE (sobel: on sobel_input(PNG_FILE, DTYPE)).

Method: RSS high-water marks, because tracemalloc misses what C code mallocs.
A call on the tiny file first loads code and initialises libraries; then
writing 5 to /proc/self/clear_refs resets VmHWM to the current RSS. The extra
memory is VmHWM after the call, minus VmRSS before it, minus the result's
bytes. The caller sets a fixed malloc mmap threshold, so that freed blocks go
back to the system instead of hiding later allocations.
"""
import gc
import json
import sys

import contenders


def status_bytes(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field} in /proc/self/status")


def main(kind, name, path, tiny_path, dtype=None):
    if kind == "decode":
        call, warm_up = contenders.decoders(path)[name], contenders.decoders(tiny_path)[name]
    else:
        image, tiny = contenders.sobel_input(path, dtype), contenders.sobel_input(tiny_path, dtype)
        call, warm_up = contenders.edge_mappers(image)[name], contenders.edge_mappers(tiny)[name]
    warm_up()
    gc.collect()
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")
    before = status_bytes("VmRSS")
    result = call()
    peak = status_bytes("VmHWM")
    print(json.dumps({"extra": peak - before - result.nbytes, "result": result.nbytes}))


if __name__ == "__main__":
    main(*sys.argv[1:])
