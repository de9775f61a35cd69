"""Leak check in the manner of CPython's refleak runs.

Runs an operation for a few warm-up rounds, then for counted rounds of many calls each, with a
garbage collection between rounds, and records how the traced memory and the interpreter's
allocated blocks moved. A leak is reported only when *every* counted round grew, so noise from
caches that fill once does not count, while a reference that C++ code keeps per call does.
"""

from __future__ import annotations

import gc
import sys
import tracemalloc
from collections.abc import Callable

WARMUPS = 3
ROUNDS = 5
CALLS = 2000


def _measure() -> tuple[int, int]:
    gc.collect()
    return tracemalloc.get_traced_memory()[0], sys.getallocatedblocks()


def assert_no_leak(operation: Callable[[], object], *, calls: int = CALLS) -> None:
    """Fails when memory grows in every counted round of `calls` runs of `operation`.

    `operation` may raise an expected exception: wrap it in a function that catches it, so the
    error path is checked too.
    """
    started = tracemalloc.is_tracing()
    if not started:
        tracemalloc.start()
    try:
        for _ in range(WARMUPS):
            for _ in range(calls):
                operation()
        traced, blocks = _measure()
        traced_deltas, block_deltas = [], []
        for _ in range(ROUNDS):
            for _ in range(calls):
                operation()
            now_traced, now_blocks = _measure()
            traced_deltas.append(now_traced - traced)
            block_deltas.append(now_blocks - blocks)
            traced, blocks = now_traced, now_blocks
    finally:
        if not started:
            tracemalloc.stop()
    # Growing in every round by at least one byte/block per hundred calls is a leak; a
    # one-off cache shows up in one round only.
    threshold = max(1, calls // 100)
    leaked_traced = all(d >= threshold for d in traced_deltas)
    leaked_blocks = all(d >= threshold for d in block_deltas)
    assert not (leaked_traced or leaked_blocks), (
        f"memory grew in every round: traced bytes {traced_deltas}, blocks {block_deltas}"
    )
