"""Thousands of broken variants of the fuzzer's seeds, made the same way on
every run, go through readimg in a child process: none may crash or hang it."""
from pathlib import Path

import numpy

from child_reader import ALLOWED, ChildReader

SEEDS = sorted((Path(__file__).resolve().parent / "fuzz" / "corpus").iterdir())
MUTANTS_PER_SEED = 100


def flip_bytes(data, rng):
    data = bytearray(data)
    for at in rng.integers(0, len(data), rng.integers(1, 9)):
        data[at] ^= 1 << int(rng.integers(8)) if rng.random() < 0.5 else int(rng.integers(1, 256))
    return bytes(data)


def truncate(data, rng):
    return data[:rng.integers(0, len(data))]


def duplicate_chunk(data, rng):
    start = int(rng.integers(0, len(data)))
    chunk = data[start:start + int(rng.integers(1, 200))]
    at = int(rng.integers(0, len(data) + 1))
    return data[:at] + chunk * int(rng.integers(1, 4)) + data[at:]


def insert_random_bytes(data, rng):
    at = int(rng.integers(0, len(data) + 1))
    return data[:at] + rng.bytes(int(rng.integers(1, 64))) + data[at:]


def delete_chunk(data, rng):
    start = int(rng.integers(0, len(data)))
    return data[:start] + data[start + int(rng.integers(1, 200)):]


MUTATIONS = [flip_bytes, truncate, duplicate_chunk, insert_random_bytes, delete_chunk]


def mutants():
    """(name, bytes) pairs; the fixed seed makes every run test the same files."""
    rng = numpy.random.default_rng(20261208)
    for seed in SEEDS:
        data = seed.read_bytes()
        for i in range(MUTANTS_PER_SEED):
            mutation = MUTATIONS[i % len(MUTATIONS)]
            mutant = mutation(data, rng)
            if mutant and rng.random() < 0.3:  # a second, different fault on top
                mutant = MUTATIONS[(i + 1) % len(MUTATIONS)](mutant, rng)
            yield f"{seed.name}-{i}-{mutation.__name__}", mutant


def test_mutated_files_fail_cleanly(tmp_path):
    reader = ChildReader()
    faults = []
    path = tmp_path / "mutant"
    try:
        for name, data in mutants():
            path.write_bytes(data)
            outcome, seconds = reader.read(path)
            if outcome not in ALLOWED or seconds > 1.0:
                kept = tmp_path / name
                kept.write_bytes(data)
                faults.append(f"{kept}: {outcome} after {seconds} s")
    finally:
        reader.close()
    assert not faults, "\n".join(faults)
