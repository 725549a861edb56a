"""Frozen statistics on the folder of 60 engineered features: predicting 200,000 rows with them
against the batch predict of the same rows (target: at most 1.0x), freezing them from 200,000
rows against one batch predict (target: at most 1.5x), one row with them against the model's own
one-row predict (target: at most 3 ms more). Then, on the sample folders, how far the holdout
predictions with statistics frozen from the training table are from the batch predictions."""

from __future__ import annotations

import os
import sys

import numpy as np
import pandas as pd

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(REPO, "tools"))
import bench_predict  # noqa: E402
import make_result_folder as tool  # noqa: E402
from common import Table, best_of  # noqa: E402

import orvalis.orvalis as api  # noqa: E402

ROWS = 200_000


def one_row(m, stats, one: pd.DataFrame, title: str) -> None:
    """predict of one row with frozen statistics, against the model's own one-row predict (the
    search object's) and its trained estimator's on the transformed row."""
    X = m.preprocess(one.copy(), statistics=stats)
    model_one = best_of(lambda: m.model.predict(X), 30)
    estimator = m.model._trained_estimator
    Xt = m.model._state.task.preprocess(X, m.model._transformer)
    estimator_one = best_of(lambda: estimator.predict(Xt), 30)
    with_stats = best_of(lambda: m.predict(one.copy(), statistics=stats), 30)
    print(
        f"  one row, {title:<24} {with_stats * 1e3:9.2f}ms  model's predict "
        f"{model_one * 1e3:.2f}ms (+{(with_stats - model_one) * 1e3:.2f}), trained estimator "
        f"{estimator_one * 1e3:.2f}ms (+{(with_stats - estimator_one) * 1e3:.2f}); target +3 ms"
    )


def timings() -> None:
    folder, base = bench_predict.sixty_feature_folder()
    rows = pd.concat([base] * (ROWS // len(base) + 1), ignore_index=True).iloc[:ROWS]
    m = api.marqolin(folder)
    stats = m.freeze_statistics(rows)
    held: dict = {}

    def fresh():  # predict works on the frame in place: a new copy before every run, untimed
        held["df"] = rows.copy()

    def batch():
        return m.predict(held["df"])

    def frozen():
        return m.predict(held["df"], statistics=stats)

    def freeze():
        return m.freeze_statistics(held["df"])

    # the two roads give the same predictions on these rows, or the timing means nothing
    fresh()
    want = batch()
    fresh()
    assert np.array_equal(frozen(), want)

    t = Table(f"{ROWS:,} rows of the 60-feature folder", reference="batch")
    t.header()
    batch_s = best_of(batch, 3, fresh)
    t.add("predict(rows, statistics=S)", best_of(frozen, 3, fresh), batch_s, "<= 1.0x: ratio >= 1")
    t.add("freeze_statistics(rows)", best_of(freeze, 3, fresh), batch_s, "<= 1.5x: ratio >= 0.67")

    one_row(m, stats, rows.iloc[[0]], "60-feature folder")
    # what pandas itself costs to add 70 columns to a one-row frame one by one and drop 12 (the
    # feature list's own columns and intermediates), nothing computed: a floor under one row
    def grow():
        df = rows.iloc[[0]].copy()
        for k in range(70):
            df[f"f{k}"] = np.zeros(1)
        for k in range(12):
            del df[f"f{k}"]

    print(f"  {'floor: 70 inserts + 12 deletes':<34} {best_of(grow, 30) * 1e3:9.2f}ms")
    path = os.path.join(REPO, "build", "frozen_sixty.npz")
    stats.save(path)
    print(
        f"  file of the statistics: {os.path.getsize(path):,} bytes for {len(stats)} quantities "
        f"({ROWS:,} rows)"
    )


def holdout_errors() -> None:
    from sklearn.metrics import accuracy_score, log_loss, r2_score

    tasks = tool.sample_tables(os.path.join(REPO, "build", "demo", "tables"))
    print("\n## holdout: batch predictions against statistics frozen from the training table")
    for name in ("penguins", "breast_cancer", "grunfeld"):
        folder = os.path.join(REPO, "build", "demo", "results", name)
        if not os.path.exists(os.path.join(folder, "automl", "result")):
            tool.build_result_folder(tasks[name]["train"], {**tasks[name], "time_budget": 4}, folder)
        m = api.marqolin(folder)
        rows = pd.read_csv(tasks[name]["holdout"])
        target = tasks[name]["TargetName"]
        stats = m.freeze_statistics(tasks[name]["train"])
        if name == "penguins":
            one_row(m, stats, rows.iloc[[0]], "sample folder penguins")
        if m.task == "classification":
            codes = m.lec_record_dt[target].transform(rows[target].astype(str)) \
                if target in m.lec_record_dt else rows[target].to_numpy()
            for label, kw in (("batch", {}), ("frozen", {"statistics": stats})):
                pred = api.marqolin(folder).predict(rows.copy(), **kw)
                proba = api.marqolin(folder).predict_proba(rows.copy(), **kw)
                print(
                    f"  {name:<14} {label:<7} accuracy {accuracy_score(codes, pred):.4f}  "
                    f"log loss {log_loss(codes, proba, labels=range(proba.shape[1])):.4f}"
                )
        else:
            y = rows[target].to_numpy()
            for label, kw in (("batch", {}), ("frozen", {"statistics": stats})):
                pred = api.marqolin(folder).predict(rows.copy(), **kw)
                print(f"  {name:<14} {label:<7} R2 {r2_score(y, pred):.4f}")


if __name__ == "__main__":
    timings()
    holdout_errors()
