"""Memory exhaustion: with the address space capped, calls whose outputs
cannot fit raise MemoryError, release everything, and the process goes on."""

import pytest

from support import needs_plain_allocator, run_python

ATTEMPTS = 5

CHILD = f"""
ATTEMPTS = {ATTEMPTS}
import gc, resource
import numpy as np
from quorvel import _ledgra, _proxor

def vm_bytes(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1]) * 1024

def small_search():
    return len(_proxor.primitive_neighbor_list_rs(
        [True] * 3, np.eye(3) * 4.0, np.array([[0.0, 0, 0], [1.0, 0, 0]]), 2.0)[0])

symbols = ["H"] * 2_000_000
positions = np.broadcast_to(np.array([1.5, -2.25, 1e5]), (2_000_000, 3))
small_search()
_ledgra.format_xyz_block_rs(symbols[:10], positions[:10])
gc.collect()

# Leave about 150 MB of address space beyond what is mapped now.
headroom = 150 << 20
limit = vm_bytes("VmSize:") + headroom
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

results = []
for attempt in range(ATTEMPTS):
    before = vm_bytes("VmSize:")
    try:
        # About 8 million pairs (570 MB of output).
        _proxor.primitive_neighbor_list_rs([True] * 3, np.eye(3) * 1.0, np.zeros((8, 3)), 30.0)
        results.append("search: no error")
    except MemoryError:
        results.append("search: MemoryError")
    try:
        # 2 million 72-byte lines: 144 MB of text, more than is left.
        _ledgra.format_xyz_block_rs(symbols, positions)
        results.append("format: no error")
    except MemoryError:
        results.append("format: MemoryError")
    gc.collect()
    results.append("mapped grew %d MB" % ((vm_bytes("VmSize:") - before) >> 20))
results.append("small search pairs %d" % small_search())
print("\\n".join(results))
"""


@needs_plain_allocator
def test_outputs_that_cannot_fit_raise_memory_error():
    result = run_python(CHILD, timeout=300)
    lines = result.stdout.splitlines()
    assert result.returncode == 0, result.stderr
    growth = []
    for attempt in range(ATTEMPTS):
        search, fmt, grew = lines[3 * attempt: 3 * attempt + 3]
        assert search == "search: MemoryError"
        assert fmt == "format: MemoryError"
        growth.append(int(grew.split()[2]))
    # The allocator may keep some memory mapped after the first failures; a
    # leak would grow the mapping on every attempt.
    assert sum(growth[2:]) <= 4, growth
    assert lines[-1] == "small search pairs 2"
