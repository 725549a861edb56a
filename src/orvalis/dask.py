"""Batch scoring of Dask DataFrames with a result folder.

    from orvalis.dask import predict
    pred = predict("results/panel", ddf)             # a Dask Series, one value per row of ddf
    proba = predict("results/panel", ddf, proba=True) # a Dask DataFrame, one column per class

Every partition of ``ddf`` is one batch: it is preprocessed and predicted exactly as
``marqolin(path).predict(rows)`` of that partition's rows would be (statistics over the batch,
such as standardisation, percentiles, median fill, softmax and the batch side of the group
statistics, are those of the partition). Each worker process loads the folder once and keeps it;
the record of group statistics starts from the folder's own for every partition, so a partition's
predictions never depend on which partitions the same worker scored before.

``group_complete=True`` first moves all rows of each group (the folder's grouping column) into
one partition, keeping their original order, so that rolling windows see a group's whole
history; the result is then put back on ``ddf``'s partitions and row index.

``statistics=`` (frozen statistics of the folder, or the path of a file that holds them) scores
every partition with the same statistics instead of the partition's own, so the predictions no
longer depend on how the rows are partitioned.

Needs the optional extra ``orvalis[dask]`` (dask[dataframe] and distributed).
"""

from __future__ import annotations

import os
import threading
from typing import Any

__all__ = ["predict", "preload", "score_files"]

INSTALL_HINT = "pip install 'orvalis[dask]'"
POSITION = "__orvalis_position__"
# Row positions are partition number * 2**40 + row within the partition: unique, ordered as the
# rows of ddf, and computed without a pass over the data.
_STRIDE = 1 << 40


def _dask_dataframe():
    try:
        import dask.dataframe as dd
    except ImportError as e:
        raise ImportError(f"orvalis.dask needs Dask: {INSTALL_HINT}") from e
    return dd


# --- the per-process cache of loaded folders ---------------------------------------------------

_cache: dict[str, tuple[Any, dict, threading.Lock]] = {}
_cache_lock = threading.Lock()


def _folder(path: str) -> tuple[Any, dict, threading.Lock]:
    """The folder loaded in this process (once per resolved path): the inference object, the
    record as loaded, and the lock that serialises its use (it is not safe for concurrent use)."""
    with _cache_lock:
        entry = _cache.get(path)
        if entry is None:
            from orvalis import marqolin

            m = marqolin(path)
            entry = (m, dict(m.lec_record_dt), threading.Lock())
            _cache[path] = entry
        return entry


def _resolved(result_path: Any) -> str:
    path = os.path.realpath(os.fspath(result_path))
    if not isinstance(path, str):
        raise TypeError(f"result_path must be a text path, got {type(result_path).__name__}")
    return path


_statistics: dict[Any, Any] = {}


def _frozen(source):
    """The frozen statistics a task was given, read once per process: ("file", path, mtime, size)
    or ("bytes", digest, data) as predict() packs them."""
    if source is None:
        return None
    key = source[:3] if source[0] == "file" else source[:2]
    with _cache_lock:
        stats = _statistics.get(key)
        if stats is None:
            from orvalis import frozen_statistics
            from orvalis.orvalis import _frozen_statistics_from_bytes

            if source[0] == "file":
                stats = frozen_statistics.load(source[1])
            else:
                stats = _frozen_statistics_from_bytes(source[2])
            _statistics[key] = stats
        return stats


def _pack_statistics(statistics, m):
    """`statistics` (an object or a file path) as a task argument, checked against the folder
    here once: a file by its path (every worker reads it), an object by its bytes."""
    if statistics is None:
        return None
    from orvalis import frozen_statistics

    if isinstance(statistics, (str, os.PathLike)):
        path = os.path.realpath(os.fspath(statistics))
        frozen_statistics.load(path)._bind(m)
        info = os.stat(path)
        return ("file", path, (info.st_mtime_ns, info.st_size))
    if isinstance(statistics, frozen_statistics):
        import hashlib

        statistics._bind(m)
        data = statistics.__reduce__()[1][0]
        return ("bytes", hashlib.sha256(data).hexdigest(), data)
    raise TypeError(
        "statistics must be orvalis.frozen_statistics or the path of a file saved by "
        f"frozen_statistics.save, got {type(statistics).__name__}"
    )


def preload(result_path) -> None:
    """Load the folder into this process's cache now, e.g. on every worker before the first
    partition arrives: ``client.run(orvalis.dask.preload, path)``."""
    _folder(_resolved(result_path))


# --- output shape ------------------------------------------------------------------------------


def _classes(m) -> list[Any]:
    """The probability columns' names: the classes as `marqolin.classes_` names them."""
    try:
        return list(m.classes_)
    except AttributeError:
        raise TypeError(
            f"proba=True needs a classification model; {m.task!r} model "
            f"{type(m.model).__name__} has no classes_"
        ) from None


def _meta(m, proba: bool):
    import numpy as np
    import pandas as pd

    if proba:
        return pd.DataFrame({c: pd.Series(dtype="float64") for c in _classes(m)})
    classes = getattr(m.model, "classes_", None)
    if m.task == "classification" and classes is not None:
        dtype = np.asarray(classes).dtype
    else:
        dtype = np.dtype("float64")
    return pd.Series(dtype=dtype, name=m.target_name)


# --- one partition -----------------------------------------------------------------------------


def _score(part, path: str, proba: bool, meta, statistics=None):
    """Predictions of one partition's rows, on the partition's row index."""
    import numpy as np
    import pandas as pd

    if len(part) == 0:
        return meta.iloc[:0].set_axis(part.index[:0], axis=0)
    m, record, lock = _folder(path)
    # the inference API works on the frame in place and by row position
    frame = part.copy()
    frame.index = pd.RangeIndex(len(frame))
    _object_text(frame)
    stats = _frozen(statistics)
    with lock:
        m.lec_record_dt = dict(record)
        method = m.predict_proba if proba else m.predict
        values = method(frame, statistics=stats)
    values = np.asarray(values)
    if len(values) != len(part):
        raise RuntimeError(f"the model gave {len(values)} predictions for {len(part)} rows")
    if proba:
        return pd.DataFrame(values, index=part.index, columns=meta.columns)
    if values.dtype != meta.dtype and np.can_cast(values.dtype, meta.dtype, "same_kind"):
        values = values.astype(meta.dtype)
    return pd.Series(values, index=part.index, name=meta.name)


def _object_text(frame) -> None:
    """Text columns as pandas reads them from a file: dtype object, NaN for missing values.

    Dask stores text as pyarrow-backed strings by default; the inference API encodes only text
    columns of dtype object, so a partition must look like the rows read by pandas.
    """
    import numpy as np
    import pandas as pd

    for col, dtype in list(frame.dtypes.items()):
        if isinstance(dtype, pd.StringDtype):
            frame[col] = frame[col].to_numpy(dtype=object, na_value=np.nan)


def _tag(part, partition_info=None):
    import numpy as np

    number = partition_info["number"] if partition_info else 0
    out = part.copy(deep=False)
    out[POSITION] = number * _STRIDE + np.arange(len(part), dtype="int64")
    return out


def _score_grouped(part, path: str, proba: bool, meta, statistics=None):
    """Predictions of a partition holding whole groups, with each row's position."""
    import pandas as pd

    part = part.sort_values(POSITION, kind="stable")
    position = part[POSITION].to_numpy()
    scored = _score(part.drop(columns=[POSITION]), path, proba, meta, statistics)
    out = scored.to_frame() if isinstance(scored, pd.Series) else scored
    out = out.set_axis(pd.RangeIndex(len(out)), axis=0)
    out[POSITION] = position
    return out


def _realign(original, scored, proba: bool, meta):
    """The scored rows of one original partition (already in row order) on its row index."""
    import pandas as pd

    if len(scored) != len(original):
        raise RuntimeError(
            f"a partition of {len(original)} rows came back with {len(scored)} predictions"
        )
    if proba:
        return pd.DataFrame(scored[list(meta.columns)].to_numpy(), index=original.index,
                            columns=meta.columns)
    return pd.Series(scored[meta.name].to_numpy(), index=original.index, name=meta.name)


def _raw_column(columns, name):
    for col in columns:
        if isinstance(col, str) and col.strip().replace(" ", "_") == name:
            return col
    return None


# --- the public entry --------------------------------------------------------------------------


def predict(result_path, ddf, proba: bool = False, group_complete: bool = False, statistics=None):
    """Predict every row of the Dask DataFrame `ddf` with the result folder `result_path`.

    Returns a Dask Series (the model's predictions, named after the target) or, with
    ``proba=True``, a Dask DataFrame with one probability column per class; either is aligned
    with ``ddf``'s partitions and row index. Each partition is preprocessed and predicted as one
    batch, exactly as the inference API predicts that partition's rows. The folder must be
    readable at the same path from this process and from every worker.

    ``group_complete=True`` moves every group of the folder's grouping column into one
    partition (rows in their original order) before scoring, so that rolling-window features
    see the whole history of each group; batch statistics are then those of these partitions.

    ``statistics``: frozen statistics of the folder (``marqolin.freeze_statistics``), or the
    path of a file saved by ``frozen_statistics.save`` (readable from every worker). Every
    partition is then scored with them, as ``marqolin.predict(rows, statistics=...)`` scores
    it in one process, so the predictions do not depend on the partitioning.
    """
    dd = _dask_dataframe()
    path = _resolved(result_path)
    if not isinstance(ddf, dd.DataFrame):
        raise TypeError(f"ddf must be a dask DataFrame, got {type(ddf).__name__}")
    m, _, _ = _folder(path)
    meta = _meta(m, bool(proba))
    source = _pack_statistics(statistics, m)
    if not group_complete:
        return ddf.map_partitions(_score, path, bool(proba), meta, source, meta=meta)

    group = m.group_id
    if group is None:
        raise ValueError(
            'group_complete=True needs a grouping column ("GroupIndex" in the folder\'s '
            "configuration); this folder has none"
        )
    column = _raw_column(ddf.columns.tolist(), group)
    if column is None:
        raise KeyError(f"the grouping column {group!r} is not a column of ddf")
    import numpy as np

    n = ddf.npartitions
    tagged_meta = ddf._meta.assign(**{POSITION: np.int64(0)})
    tagged = ddf.map_partitions(_tag, meta=tagged_meta)
    grouped = tagged.shuffle(on=column, npartitions=n)
    scored_meta = (meta.to_frame() if not proba else meta).assign(
        **{POSITION: np.int64(0)}
    )
    scored = grouped.map_partitions(
        _score_grouped, path, bool(proba), meta, source, meta=scored_meta
    )
    divisions = [k * _STRIDE for k in range(n)] + [n * _STRIDE - 1]
    ordered = scored.set_index(POSITION, divisions=divisions, sorted=False)
    return dd.map_partitions(
        _realign, ddf, ordered, bool(proba), meta, meta=meta, align_dataframes=False
    )


# --- the command line's Dask path --------------------------------------------------------------


def data_files(data: str) -> tuple[list[str], str]:
    """The files of DATA (a file, a folder or a glob pattern) and their kind, "csv" or "parquet"."""
    import glob

    if os.path.isdir(data):
        files = sorted(
            glob.glob(os.path.join(glob.escape(data), "*.csv"))
            + glob.glob(os.path.join(glob.escape(data), "*.parquet"))
        )
    elif glob.has_magic(data):
        files = sorted(glob.glob(data))
    else:
        if not os.path.exists(data):
            raise FileNotFoundError(f"no such file or folder: {data!r}")
        files = [data]
    if not files:
        raise FileNotFoundError(f"no CSV or parquet files in {data!r}")
    kinds = {os.path.splitext(f)[1].lower() for f in files}
    if not kinds <= {".csv", ".parquet"}:
        raise ValueError(f"DATA must be CSV or parquet files; {data!r} gives {sorted(kinds)}")
    if len(kinds) > 1:
        raise ValueError(f"{data!r} mixes CSV and parquet files; give one kind")
    return files, kinds.pop()[1:]


def score_files(
    m,
    result_path: str,
    data: str,
    proba: bool = False,
    address: str | None = None,
    workers: int | None = None,
    group_complete: bool = False,
    blocksize: str | int = "64MB",
    statistics: str | None = None,
):
    """Score DATA on a Dask cluster (at `address`, or a local one of `workers` processes).

    Returns (identifier values or None, predictions as a NumPy array) in the rows' order: files
    in name order, rows in file order.
    """
    import logging
    import tempfile

    dd = _dask_dataframe()
    try:
        from distributed import Client, LocalCluster
    except ImportError as e:
        raise ImportError(f"scoring on a cluster needs distributed: {INSTALL_HINT}") from e
    files, kind = data_files(data)
    with tempfile.TemporaryDirectory(prefix="orvalis-dask-") as scratch:
        if address is not None:
            client = Client(address)
            cluster = None
        else:
            cluster = LocalCluster(
                n_workers=workers or 1,
                threads_per_worker=1,
                processes=True,
                dashboard_address=None,
                local_directory=scratch,
                silence_logs=logging.ERROR,
            )
            client = Client(cluster)
        try:
            if kind == "csv":
                ddf = dd.read_csv(files, blocksize=blocksize)
            else:
                ddf = dd.read_parquet(files)
            result = predict(
                result_path, ddf, proba=proba, group_complete=group_complete, statistics=statistics
            )
            id_col = _raw_column(ddf.columns.tolist(), m.id_index)
            if id_col is not None:
                ids, values = client.compute([ddf[id_col], result], sync=True)
                ids = ids.to_numpy()
            else:
                ids, values = None, client.compute(result, sync=True)
        finally:
            client.close()
            if cluster is not None:
                cluster.close()
    return ids, values.to_numpy()
