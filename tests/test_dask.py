"""Batch scoring on a real local Dask cluster of two worker processes, against the Python API."""

from __future__ import annotations

import io
import logging
import os
import pickle
import shutil
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SRC = os.path.join(REPO, "src")

ROLLING_ONLY = [
    "ts_mean###value|||3$$$",
    "delay###capital|||1$$$",
    "tsum###value|||2$$$",
    "delta###capital|||2$$$",
]


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        dashboard_address=None,
        silence_logs=logging.ERROR,
    )
    client = distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()


@pytest.fixture(scope="module")
def rolling_folder(sample_tasks, tmp_path_factory):
    """The panel task with rolling-window features only (grouped by firm): no statistic over
    the batch, so whole groups in order give the predictions of the whole table."""
    from conftest import tool
    from module.common import task_config

    saved = task_config._loaded
    task = {**sample_tasks["grunfeld"], "features": ROLLING_ONLY, "time_budget": 2}
    path = tool().build_result_folder(
        task["train"], task, str(tmp_path_factory.mktemp("rolling") / "panel")
    )
    task_config._loaded = saved
    return path


def panel(sample_tasks) -> pd.DataFrame:
    """Training and held-out rows of the panel, firms interleaved in time order."""
    task = sample_tasks["grunfeld"]
    return pd.concat([pd.read_csv(task["train"]), pd.read_csv(task["holdout"])], ignore_index=True)


def partition_bounds(ddf) -> np.ndarray:
    return np.cumsum([0] + ddf.map_partitions(len).compute().tolist())


def per_partition(path, rows: pd.DataFrame, bounds, method="predict"):
    """The inference API on each partition's rows, a freshly loaded folder each time."""
    from orvalis import marqolin

    out = []
    for a, b in zip(bounds[:-1], bounds[1:]):
        if b > a:
            part = rows.iloc[a:b].reset_index(drop=True)
            out.append(getattr(marqolin(path), method)(part))
    return np.concatenate(out)


def test_each_partition_is_one_batch(client, sample_folders):
    from orvalis.dask import predict

    # the panel's standardised features and group statistics depend on the batch: each
    # partition must be scored exactly as the API scores that partition's rows
    for name, nparts in (("grunfeld", 3), ("penguins", 4)):
        folder = sample_folders[name]
        rows = pd.concat(
            [pd.read_csv(folder.train), pd.read_csv(folder.holdout)], ignore_index=True
        )
        framed = rows.set_axis(np.arange(len(rows)) * 10 + 7, axis=0)  # a row index of its own
        ddf = dd.from_pandas(framed, npartitions=nparts, sort=False)
        bounds = partition_bounds(ddf)
        result = predict(folder.path, ddf)
        assert result.npartitions == ddf.npartitions
        got = result.compute()
        assert got.index.equals(framed.index) and got.name == folder.target
        np.testing.assert_array_equal(got.to_numpy(), per_partition(folder.path, rows, bounds))
        whole = per_partition(folder.path, rows, [0, len(rows)])
        if name == "grunfeld":
            assert not np.array_equal(got.to_numpy(), whole)  # the batches do matter here

    proba = predict(folder.path, ddf, proba=True).compute()
    # the columns are the classes by name, as marqolin.classes_ gives them
    from orvalis import marqolin

    classes = marqolin(folder.path).classes_.tolist()
    assert classes == ["Adelie", "Chinstrap", "Gentoo"]
    assert proba.columns.tolist() == classes and proba.index.equals(framed.index)
    np.testing.assert_array_equal(
        proba.to_numpy(), per_partition(folder.path, rows, bounds, "predict_proba")
    )


def test_empty_partitions_and_text_columns_as_dask_stores_them(client, sample_folders):
    from orvalis.dask import predict

    folder = sample_folders["penguins"]
    rows = pd.read_csv(folder.holdout)
    ddf = dd.concat(
        [dd.from_pandas(rows.iloc[:0], npartitions=1), dd.from_pandas(rows, npartitions=2)]
    )
    # dask keeps text as pyarrow strings; the folder's encoders apply all the same
    assert not (ddf.dtypes == object).any()
    got = predict(folder.path, ddf).compute()
    np.testing.assert_array_equal(
        got.to_numpy(), per_partition(folder.path, rows, partition_bounds(ddf))
    )


def test_group_complete_sees_every_groups_whole_history(client, sample_tasks, rolling_folder):
    from orvalis import marqolin
    from orvalis.dask import predict

    rows = panel(sample_tasks)
    ddf = dd.from_pandas(rows, npartitions=4, sort=False)
    whole = marqolin(rolling_folder).predict(rows.copy())

    got = predict(rolling_folder, ddf, group_complete=True)
    assert got.npartitions == ddf.npartitions
    got = got.compute()
    assert got.index.equals(rows.index)
    np.testing.assert_array_equal(got.to_numpy(), whole)

    # cut at partition boundaries, the windows lose their history
    cut = predict(rolling_folder, ddf).compute()
    assert not np.array_equal(cut.to_numpy(), whole)


def test_each_worker_loads_the_folder_once_and_starts_every_batch_from_its_record(
    client, sample_folders, sample_tasks, tmp_path
):
    from orvalis import marqolin
    from orvalis.dask import predict

    # a folder whose record lacks a group statistic: the first batch creates the entry, which
    # must not leak into the batches that the same worker scores later
    folder = sample_folders["grunfeld"]
    path = str(tmp_path / "partial")
    shutil.copytree(folder.path, path)
    record_path = os.path.join(path, "autofe", "labelencoder.pkl")
    with open(record_path, "rb") as f:
        record = pickle.load(f)
    del record["aggregate###mean|||value|||firm$$$"]
    with open(record_path, "wb") as f:
        pickle.dump(record, f)

    rows = panel(sample_tasks)
    ddf = dd.from_pandas(rows, npartitions=3, sort=False)
    bounds = partition_bounds(ddf)
    expected = per_partition(path, rows, bounds)
    one_object = marqolin(path)
    carried = np.concatenate(
        [
            one_object.predict(rows.iloc[a:b].reset_index(drop=True))
            for a, b in zip(bounds, bounds[1:])
        ]
    )
    assert not np.array_equal(carried, expected)  # the record does carry over in one object

    for _ in range(2):
        np.testing.assert_array_equal(predict(path, ddf).compute().to_numpy(), expected)

    def loaded():
        from orvalis import dask as odask

        return {key: id(entry[0]) for key, entry in odask._cache.items()}

    first = client.run(loaded)
    predict(path, ddf).compute()
    assert client.run(loaded) == first
    resolved = os.path.realpath(path)
    assert any(resolved in cache for cache in first.values())


def run_cli(*args):
    env = {**os.environ, "PYTHONPATH": SRC + os.pathsep + os.environ.get("PYTHONPATH", "")}
    return subprocess.run(
        [sys.executable, "-m", "orvalis", *map(str, args)],
        capture_output=True,
        text=True,
        env=env,
        timeout=300,
    )


def test_command_line_on_a_cluster_and_on_local_workers(
    client, sample_folders, sample_tasks, rolling_folder, tmp_path
):
    from orvalis import marqolin

    # a glob of two CSV files on the running cluster: one partition per (small) file
    folder = sample_folders["breast_cancer"]
    rows = pd.read_csv(folder.holdout)
    rows.iloc[:40].to_csv(tmp_path / "part-1.csv", index=False)
    rows.iloc[40:].to_csv(tmp_path / "part-2.csv", index=False)
    out = tmp_path / "pred.csv"
    done = run_cli(
        "predict", folder.path, tmp_path / "part-*.csv", "--proba",
        "--dask", client.scheduler.address, "-o", out,
    )
    assert done.returncode == 0, done.stderr
    got = pd.read_csv(out, float_precision="round_trip")
    assert got.columns.tolist() == ["sample_id", "proba_0", "proba_1"]
    np.testing.assert_array_equal(got["sample_id"], rows["sample id"])
    expected = np.concatenate(
        [marqolin(folder.path).predict_proba(str(tmp_path / f"part-{k}.csv")) for k in (1, 2)]
    )
    np.testing.assert_array_equal(got[["proba_0", "proba_1"]].to_numpy(), expected)

    # parquet files on a local cluster, whole groups: the whole table's predictions
    table = panel(sample_tasks)
    parts = tmp_path / "panel"
    parts.mkdir()
    table.iloc[:120].to_parquet(parts / "a.parquet", index=False)
    table.iloc[120:].to_parquet(parts / "b.parquet", index=False)
    done = run_cli("predict", rolling_folder, parts, "--workers", "1", "--group-complete")
    assert done.returncode == 0, done.stderr
    got = pd.read_csv(io.StringIO(done.stdout), float_precision="round_trip")
    np.testing.assert_array_equal(got["invest"], marqolin(rolling_folder).predict(table.copy()))

    mixed = tmp_path / "mixed"
    mixed.mkdir()
    table.to_csv(mixed / "a.csv", index=False)
    table.to_parquet(mixed / "b.parquet", index=False)
    done = run_cli("predict", rolling_folder, mixed, "--dask", client.scheduler.address)
    assert done.returncode == 1 and "mixes CSV and parquet" in done.stderr


@pytest.mark.parametrize("nparts", [1, 3, 7])
def test_frozen_statistics_make_the_partitioning_irrelevant(client, sample_folders, sample_tasks,
                                                            nparts, tmp_path):
    from orvalis import marqolin
    from orvalis.dask import predict

    # penguins: statistics only; the panel: windows too, so its groups are kept whole
    folder = sample_folders["penguins"]
    rows = pd.read_csv(folder.holdout)
    m = marqolin(folder.path)
    stats = m.freeze_statistics(folder.train)
    ddf = dd.from_pandas(rows, npartitions=nparts, sort=False)
    want = m.predict_proba(rows.copy(), statistics=stats)
    got = predict(folder.path, ddf, proba=True, statistics=stats).compute()
    np.testing.assert_array_equal(got.to_numpy(), want)

    panel_folder = sample_folders["grunfeld"]
    table = panel(sample_tasks)
    g = marqolin(panel_folder.path)
    stats = g.freeze_statistics(panel_folder.train)
    stats.save(tmp_path / "panel.npz")
    want = g.predict(table.copy(), statistics=stats)
    ddf = dd.from_pandas(table, npartitions=nparts, sort=False)
    got = predict(panel_folder.path, ddf, group_complete=True, statistics=tmp_path / "panel.npz")
    np.testing.assert_array_equal(got.compute().to_numpy(), want)


def test_a_worker_killed_mid_run_changes_nothing(sample_folders):
    import signal
    import threading
    import time

    from orvalis import marqolin
    from orvalis.dask import predict

    folder = sample_folders["penguins"]
    rows = pd.concat([pd.read_csv(folder.train)] * 4, ignore_index=True)
    m = marqolin(folder.path)
    stats = m.freeze_statistics(folder.train)
    want = m.predict(rows.copy(), statistics=stats)
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
        silence_logs=logging.CRITICAL,
    )
    client = distributed.Client(cluster)
    try:
        ddf = dd.from_pandas(rows, npartitions=40, sort=False)
        future = client.compute(predict(folder.path, ddf, statistics=stats))
        pids = client.run(os.getpid)
        victim = sorted(pids)[0]

        def kill_when_busy():
            # once the first partitions are done, the worker dies without cleaning up
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline and not future.done():
                if sum(len(v) for v in client.processing().values()) and client.run(
                    lambda dask_worker: len(dask_worker.data), workers=[victim]
                ).get(victim, 0):
                    os.kill(pids[victim], signal.SIGKILL)
                    return
                time.sleep(0.01)

        killer = threading.Thread(target=kill_when_busy)
        killer.start()
        got = future.result(timeout=240)
        killer.join()
        np.testing.assert_array_equal(got.to_numpy(), want)
        assert victim not in client.scheduler_info()["workers"]  # it did die
    finally:
        client.close()
        cluster.close()
