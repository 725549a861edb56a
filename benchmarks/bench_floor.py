"""marqolin.predict against its floor, on 200,000 rows of the 60-feature folder read from CSV.

- predict(path) against the floor: reading the CSV + processing (label encoding and all 60
  engineered features) + the trained estimator on the once-transformed frame (target: predict
  within 1.3x of it);
- the model search's input transformation, native against FLAML's own transform of the same
  processed frame (target: at least 8x);
- predict(path) against the whole job written in pandas: the CSV read, the encoding and the
  features in their pandas formulation, FLAML's transformation, then the search object's own
  predict, which transforms a second time (target: at least 15x);
- one row: predict of a one-row frame against the trained estimator's own predict of that row
  (target: within 3 ms of it), for the sample folder and for the 60-feature folder.

Every figure is the best of several runs in this process.
"""

from __future__ import annotations

import copy
import os
import sys
import tempfile

import numpy as np
import pandas as pd

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "tools"))
sys.path.insert(0, os.path.join(REPO, "tests"))
import make_result_folder as tool  # noqa: E402
import pandas_formulation as ref  # noqa: E402
from bench_predict import BUILD, sixty_feature_folder  # noqa: E402
from common import Table, best_of  # noqa: E402

import orvalis.orvalis as api  # noqa: E402

ROWS = 200_000


def pandas_road(m, path: str):
    """The whole job as the Parts write it, in pandas: read, encode, build the features, drop,
    FLAML's transformation, then the search object's own predict."""
    from module.common import task_config

    df = pd.read_csv(path, encoding="utf-8")
    df.columns = [c.strip() for c in df.columns.tolist()]
    record = copy.deepcopy(m.lec_record_dt)
    for col in df.columns.tolist():
        dtype = df[col].dtype
        if (dtype == "object" or dtype == "datetime64[ns]") and col != m.time_index:
            if col in record:
                df.loc[:, col] = record[col].transform(df.loc[:, col].fillna("na").astype(str))
    df.columns = [c.replace(" ", "_") for c in df.columns.tolist()]
    with task_config.active(m._task_cfg):
        df = ref.name2feature(df, list(m.adv_features), record, m.group_id)
    if m.id_index in df.columns:
        df = df.drop(columns=[m.id_index])
    for col in m.ignore_features:
        if col in df.columns and col not in (m.time_index, m.group_id):
            df = df.drop(columns=[col])
    if m.time_index is not None:
        df[m.time_index] = pd.to_datetime(df[m.time_index])
    X = m.model._state.task.preprocess(df, m.model._transformer)
    return np.array(m.model.predict(X))


def one_row(title: str, m, row: pd.DataFrame) -> None:
    estimator = m.model._trained_estimator
    X = api._model_input(m.model, m._process_data(row.copy()))
    own = best_of(lambda: estimator.predict(X), 50)
    held: dict = {}
    whole = best_of(lambda: m.predict(held["row"]), 50, lambda: held.update(row=row.copy()))
    print(
        f"  {title:<20} predict {whole * 1e3:7.2f} ms   estimator {own * 1e3:7.2f} ms   "
        f"difference {(whole - own) * 1e3:6.2f} ms   target <= 3 ms",
        flush=True,
    )


def main() -> None:
    folder, base = sixty_feature_folder()
    m = api.marqolin(folder)
    print(f"\n## predict at its floor: {ROWS:,} rows of the 60-feature folder from CSV")
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "rows.csv")
        base.iloc[np.arange(ROWS) % len(base)].reset_index(drop=True).to_csv(path, index=False)

        raw = pd.read_csv(path)
        processed = m._process_data(raw.copy())
        once = api._model_input(m.model, processed)
        flaml = m.model._state.task.preprocess(processed, m.model._transformer)
        pd.testing.assert_frame_equal(once, flaml, check_exact=True)
        got = m.predict(path)
        np.testing.assert_array_equal(got, pandas_road(m, path))

        read = best_of(lambda: pd.read_csv(path), 3)
        held: dict = {}
        process = best_of(
            lambda: m._process_data(held["raw"]), 3, lambda: held.update(raw=raw.copy())
        )
        estimate = best_of(lambda: m.model._trained_estimator.predict(once), 3)
        predict = best_of(lambda: m.predict(path), 3)
        native = best_of(lambda: api._model_input(m.model, processed), 5)
        theirs = best_of(
            lambda: m.model._state.task.preprocess(processed, m.model._transformer), 3
        )
        road = best_of(lambda: pandas_road(m, path), 1)

        floor = read + process + estimate
        print(
            f"  read {read:.3f}s  processing {process:.3f}s  estimator {estimate:.3f}s  "
            f"= floor {floor:.3f}s"
        )
        print(
            f"  predict {predict:.3f}s = {predict / floor:.2f}x the floor   target <= 1.3x",
            flush=True,
        )
        t = Table("the same predict and its transformation, against their references")
        t.header()
        t.add("transformation vs FLAML's", native, theirs, ">= 8x")
        t.add("predict vs the pandas road", predict, road, ">= 15x")

    print("\n## one row: predict of a one-row frame against the estimator's own predict")
    tasks = tool.sample_tables(os.path.join(BUILD, "tables"))
    sample = os.path.join(BUILD, "results", "penguins")
    if not os.path.exists(os.path.join(sample, "automl", "result")):
        task = {**tasks["penguins"], "time_budget": 4}
        tool.build_result_folder(task["train"], task, sample)
    one_row("sample folder", api.marqolin(sample), pd.read_csv(tasks["penguins"]["holdout"])[:1])
    one_row("60-feature folder", m, base.iloc[:1])


if __name__ == "__main__":
    main()
