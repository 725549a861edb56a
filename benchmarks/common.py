"""Timing helpers shared by the benchmark scripts: best of several runs, printed as a table."""

from __future__ import annotations

import gc
import time
from typing import Callable


def best_of(
    fn: Callable[[], object], repeat: int = 5, setup: Callable[[], object] | None = None
) -> float:
    """Best wall-clock time of `fn` over `repeat` runs (each after `setup`, untimed).

    The cyclic garbage collector is paused while `fn` runs, as timeit does, so that a collection
    triggered by the objects one side allocates is not charged to whichever side runs next.
    """
    best = float("inf")
    for _ in range(repeat):
        if setup is not None:
            setup()
        gc.collect()
        gc.disable()
        try:
            t0 = time.perf_counter()
            fn()
            best = min(best, time.perf_counter() - t0)
        finally:
            gc.enable()
    return best


class Table:
    """Rows of (case, native seconds, reference seconds); prints the ratio reference/native."""

    def __init__(self, title: str, reference: str = "pandas") -> None:
        self.title = title
        self.reference = reference
        self.rows: list[tuple[str, float, float, str]] = []

    def add(self, case: str, native: float, reference: float, target: str = "") -> None:
        self.rows.append((case, native, reference, target))
        print(
            f"  {case:<34} {native:10.4f}s {reference:10.4f}s {reference / native:9.1f}x  {target}",
            flush=True,
        )

    def header(self) -> None:
        print(f"\n## {self.title}")
        print(
            f"  {'case':<34} {'native':>11} {self.reference:>11} {'ratio':>10}  target", flush=True
        )
