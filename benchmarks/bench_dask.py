"""Batch scoring on Dask: rows per second on 2,000,000 rows of the sample panel (investment
panel, grouped rolling windows and group statistics) with 1 and 2 worker processes, against the
inference API in one process on the same rows.

The rows are 16 parquet files of 125,000 rows. Every case reads them and predicts them:
- one process, one batch: `marqolin.predict` of the whole table;
- one process, per file: `marqolin.predict` of each file's rows (the batches Dask scores);
- Dask, N worker processes (one thread each): `orvalis.dask.predict` on `dd.read_parquet`,
  computed to the client. Cluster start-up and the workers' first folder load are timed apart.
"""

from __future__ import annotations

import glob
import logging
import os
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
SRC = os.path.join(REPO, "src")
ROWS = 2_000_000
FILES = 16
REPEAT = 2


def sample_folder(work: str) -> tuple[str, list[str]]:
    """The panel folder that `make demo` builds (built here when absent), and its tables."""
    sys.path.insert(0, os.path.join(REPO, "tools"))
    sys.path.insert(0, SRC)
    import make_result_folder as tool

    demo = os.path.join(REPO, "build", "demo")
    tasks = tool.sample_tables(os.path.join(demo, "tables"))
    task = tasks["grunfeld"]
    path = os.path.join(demo, "results", "grunfeld")
    if not os.path.exists(os.path.join(path, "automl", "result")):
        path = os.path.join(work, "grunfeld")
        tool.build_result_folder(task["train"], {**task, "time_budget": 3}, path)
    return path, [task["train"], task["holdout"]]


def write_rows(tables: list[str], out: str) -> list[str]:
    import numpy as np
    import pandas as pd

    base = pd.concat([pd.read_csv(t) for t in tables], ignore_index=True)
    reps = -(-ROWS // len(base))
    rows = base.iloc[np.tile(np.arange(len(base)), reps)[:ROWS]].reset_index(drop=True)
    per = ROWS // FILES
    paths = []
    for k in range(FILES):
        path = os.path.join(out, f"part-{k:02d}.parquet")
        rows.iloc[k * per : (k + 1) * per].to_parquet(path, index=False)
        paths.append(path)
    return paths


def best(fn, repeat: int = REPEAT) -> float:
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def main() -> None:
    import pandas as pd

    with tempfile.TemporaryDirectory() as work:
        folder, tables = sample_folder(work)
        files = write_rows(tables, work)
        from orvalis import marqolin

        m = marqolin(folder)

        def one_batch():
            frame = pd.concat([pd.read_parquet(f) for f in files], ignore_index=True)
            assert len(m.predict(frame)) == ROWS

        def per_file():
            assert sum(len(m.predict(pd.read_parquet(f))) for f in files) == ROWS

        results = [("one process, one batch of 2,000,000 rows", best(one_batch))]
        results.append((f"one process, {FILES} batches (per file)", best(per_file)))

        import dask.dataframe as dd
        from distributed import Client, LocalCluster

        from orvalis import dask as odask

        for workers in (1, 2):
            t0 = time.perf_counter()
            cluster = LocalCluster(
                n_workers=workers,
                threads_per_worker=1,
                processes=True,
                dashboard_address=None,
                silence_logs=logging.ERROR,
                local_directory=work,
            )
            client = Client(cluster)
            client.run(odask.preload, folder)
            startup = time.perf_counter() - t0

            def score():
                pred = odask.predict(folder, dd.read_parquet(files)).compute()
                assert len(pred) == ROWS

            results.append((f"Dask, {workers} worker process(es), {FILES} partitions", best(score)))
            results.append((f"  (cluster start + folder load on the workers: {startup:.1f} s)", 0))
            client.close()
            cluster.close()

        print(f"\n## Dask batch scoring, {ROWS:,} rows of the sample panel (best of {REPEAT})")
        print(f"  {'case':<52} {'seconds':>8} {'rows/s':>12} {'vs one batch':>13}")
        reference = results[0][1]
        for name, seconds in results:
            if not seconds:
                print(f"  {name}")
                continue
            print(
                f"  {name:<52} {seconds:8.2f} {ROWS / seconds:12,.0f} {reference / seconds:12.2f}x"
            )
        print(f"  machine: {os.cpu_count()} cores; files: {len(glob.glob(work + '/*.parquet'))}")


if __name__ == "__main__":
    main()
