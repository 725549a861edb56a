"""A 30-name mixed feature list (group statistics, element-wise, grouped rolling windows, nested
names) through name2feature on 1,000,000 rows and 1,000 text groups, against the same list in the
pure pandas formulation (target: 20x), fitted (empty record) and updated (record of another
batch). Also the peak memory of one name2feature call above the input table, next to its bound:
one copy of the input's columns, the new feature columns and a few column-sized buffers."""

from __future__ import annotations

import gc
import os
import sys

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "src"))
sys.path.insert(0, os.path.join(here, "..", "tests"))
import orvalis  # noqa: E402,F401
import brevant  # noqa: E402
import pandas_formulation as ref  # noqa: E402
from common import Table, best_of  # noqa: E402
from module.common import task_config  # noqa: E402

N = 1_000_000
GROUPS = 1_000
REPEAT = 3

NAMES = [
    "count###shop$$$", "count###item$$$", "crosscount###shop|||item$$$",
    "aggregate###min|||price|||shop$$$", "aggregate###max|||price|||shop$$$",
    "aggregate###mean|||price|||shop$$$", "aggregate###median|||price|||shop$$$",
    "aggregate###var|||rate|||shop$$$", "nunique###user|||shop$$$", "crossrank###shop|||price$$$",
    "add###price|||qty$$$", "subtract###price|||rate$$$", "multiply###price|||rate$$$",
    "divide###qty|||rate$$$", "maximize###qty|||rate$$$", "bigger###price|||qty$$$",
    "combine###shop|||item$$$", "log###price$$$", "sigmoid###rate$$$", "percentile###rate$$$",
    "delay###price|||3$$$", "delta###qty|||2$$$", "tsum###price|||7$$$", "ts_mean###rate|||7$$$",
    "ts_max###qty|||7$$$", "stddev###rate|||7$$$", "ts_rank###price|||7$$$",
    "tcorrelation###price|||rate|||7$$$", "count###combine###series|||item$$$$$$",
    "ts_mean###add###price|||qty$$$|||3$$$",
]
assert len(NAMES) == 30


def rss(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(field)


def peak_above_start(fn) -> tuple[int, int | None]:
    """Bytes the call needed above what was allocated when it started: live Python and NumPy
    allocations at their peak (tracemalloc; the engine's own C++ buffers, a few columns of codes,
    are not traced), and resident memory at its peak (which also counts memory the allocator
    keeps after it is freed)."""
    import tracemalloc

    gc.collect()
    resident = None
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # resets the high-water mark
        resident = rss("VmRSS")
    except OSError:
        pass
    tracemalloc.start()
    start = tracemalloc.get_traced_memory()[0]
    result = fn()
    traced = tracemalloc.get_traced_memory()[1] - start
    tracemalloc.stop()
    if resident is not None:
        resident = rss("VmHWM") - resident
    del result
    return traced, resident


def main() -> None:
    train = ref.random_table(1, N, GROUPS)
    batch = ref.random_table(2, N, GROUPS)
    t = Table(f"30-name feature list, {N:,} rows, {GROUPS:,} text groups, grouped windows")
    t.header()
    with task_config.active({"Feature": {"GroupIndex": "series"}}):
        rec_native: dict = {}
        rec_pandas: dict = {}
        brevant.name2feature(train.copy(), list(NAMES), rec_native)
        ref.name2feature(train.copy(), list(NAMES), rec_pandas, "series")
        # the same table, or the timing means nothing
        got = brevant.name2feature(batch.copy(), list(NAMES), dict(rec_native))
        want = ref.name2feature(batch.copy(), list(NAMES), dict(rec_pandas), "series")
        ref.pd.testing.assert_frame_equal(got, want, check_exact=True)
        del got, want

        held: dict = {}

        def timed(fn, record):
            def setup():
                held["df"] = batch.copy()
                held["rec"] = {} if record is None else dict(record)

            return best_of(lambda: fn(held["df"], held["rec"]), REPEAT, setup)

        native = lambda d, r: brevant.name2feature(d, list(NAMES), r)  # noqa: E731
        pandas = lambda d, r: ref.name2feature(d, list(NAMES), r, "series")  # noqa: E731
        t.add("fit (empty record)", timed(native, None), timed(pandas, None), ">= 20x")
        t.add("update (stored record)", timed(native, rec_native), timed(pandas, rec_pandas),
              ">= 20x")

        df = batch.copy()
        input_bytes = int(df.memory_usage(index=True, deep=False).sum())
        traced, resident = peak_above_start(lambda: brevant.name2feature(df, list(NAMES), {}))
        mib = 1 << 20
        print(f"\n  peak memory of name2feature above its input: {traced / mib:,.0f} MiB traced"
              + (f", {resident / mib:,.0f} MiB resident" if resident is not None else "")
              + f"; bound: one copy of the input ({input_bytes / mib:,.0f} MiB) + 30 feature "
              f"columns ({30 * N * 8 / mib:,.0f} MiB) + a few column buffers "
              f"({8 * N * 8 / mib:,.0f} MiB for eight)", flush=True)

if __name__ == "__main__":
    main()
