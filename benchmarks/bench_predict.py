"""marqolin.predict on 100,000 and 1,000,000 rows of the sample result folder and of a folder of
60 engineered features: rows per second and where the time goes (reading, label encoding,
engineered features, the model's input transformation, the trained estimator). "encode" is the
processing step less the feature building: the text conversion and encoding of the categorical
columns, name clean-up and column drops; "transform" is what is left besides the other stages
(the model's input transformation, done once, and the glue). For the 60-feature folder, the
feature step alone is also timed against the pandas formulation."""

from __future__ import annotations

import os
import sys
import tempfile
import time
from contextlib import contextmanager

import numpy as np
import pandas as pd

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "tools"))
sys.path.insert(0, os.path.join(REPO, "tests"))
import make_result_folder as tool  # noqa: E402
import pandas_formulation as ref  # noqa: E402
from common import Table, best_of  # noqa: E402

import orvalis.orvalis as api  # noqa: E402

BUILD = os.path.join(REPO, "build", "demo")


class Stopwatch:
    """Seconds per stage."""

    def __init__(self) -> None:
        self.seconds: dict[str, float] = {}

    def wrap(self, stage: str, fn):
        def timed(*args, **kwargs):
            t0 = time.perf_counter()
            try:
                return fn(*args, **kwargs)
            finally:
                self.seconds[stage] = self.seconds.get(stage, 0.0) + time.perf_counter() - t0

        return timed


@contextmanager
def patched(obj, name, value):
    old = getattr(obj, name)
    setattr(obj, name, value)
    try:
        yield
    finally:
        setattr(obj, name, old)


def report(m, base: pd.DataFrame, title: str, compare_features=None) -> None:
    """Rows per second of m.predict on 100,000 and 1,000,000 rows repeated from `base`, with the
    share of each stage. `compare_features`, when given, is handed the table, names and record
    that the 100,000-row run built its features from."""
    print(f"\n## marqolin.predict, {title} (FLAML model: {m.model.best_estimator})")
    print(
        f"  {'rows':>10} {'seconds':>8} {'rows/s':>10}   {'read':>6} {'encode':>7} {'features':>8} "
        f"{'transform':>9} {'model':>6}"
    )
    seen: dict = {}

    def keep_input(fn):
        def build(df, names, record):
            if "df" not in seen:
                seen.update(df=df.copy(), names=list(names), record=dict(record))
            return fn(df, names, record)

        return build

    with tempfile.TemporaryDirectory() as tmp:
        for n in (100_000, 1_000_000):
            rows = base.iloc[np.arange(n) % len(base)].reset_index(drop=True)
            path = os.path.join(tmp, f"rows_{n}.csv")
            rows.to_csv(path, index=False)
            watch = Stopwatch()
            model = m.model
            with (
                patched(api.pd, "read_csv", watch.wrap("read", pd.read_csv)),
                patched(api, "name2feature",
                        watch.wrap("features", keep_input(api.name2feature) if n == 100_000
                                   else api.name2feature)),
            ):
                m._process_data = watch.wrap("process", m._process_data)
                t0 = time.perf_counter()
                # the trained estimator, which predict calls on the once-transformed frame
                estimator = model._trained_estimator
                estimator.predict = watch.wrap("model", estimator.predict)
                try:
                    result = m.predict(path)
                finally:
                    del estimator.predict
                    del m._process_data
                total = time.perf_counter() - t0
            assert len(result) == n
            s = watch.seconds
            share = {k: s.get(k, 0.0) / total for k in ("read", "features", "model")}
            # encoding: the processing step less the feature building (names, drops: negligible)
            share["encode"] = (s.get("process", 0.0) - s.get("features", 0.0)) / total
            share["transform"] = 1.0 - sum(share.values())
            print(
                f"  {n:>10,} {total:8.2f} {n / total:10,.0f}   "
                + " ".join(
                    f"{share[k]:6.0%}".rjust(w)
                    for k, w in (
                        ("read", 6),
                        ("encode", 7),
                        ("features", 8),
                        ("transform", 9),
                        ("model", 6),
                    )
                ),
                flush=True,
            )
    if compare_features is not None and "df" in seen:
        compare_features(seen)


def sixty_feature_folder() -> tuple[str, pd.DataFrame]:
    """A result folder whose run engineered 60 features of every family (nested ones, grouped
    windows over a text series key, group statistics over text and integer keys): trained on
    20,000 rows, predicted on rows of the same shape."""
    folder = os.path.join(BUILD, "results", "sixty_features")
    train, holdout, task = ref.sixty_feature_run(40_000, 20_000, 200, time_budget=4)
    if not os.path.exists(os.path.join(folder, "automl", "result")):
        tool.build_result_folder(train, task, folder)
    return folder, holdout


def main() -> None:
    tasks = tool.sample_tables(os.path.join(BUILD, "tables"))
    folder = os.path.join(BUILD, "results", "penguins")
    if not os.path.exists(os.path.join(folder, "automl", "result")):
        tool.build_result_folder(
            tasks["penguins"]["train"], {**tasks["penguins"], "time_budget": 4}, folder
        )
    report(api.marqolin(folder), pd.read_csv(tasks["penguins"]["holdout"]),
           "sample folder 'penguins'")

    folder, base = sixty_feature_folder()

    def compare(seen):
        # the feature step alone on the table predict handed it, native and pandas formulation
        import brevant
        from module.common import task_config

        held: dict = {}

        def setup():  # a fresh copy of the input and the record before every run, untimed
            held.update(df=seen["df"].copy(), record=dict(seen["record"]))

        def native():
            return brevant.name2feature(held["df"], seen["names"], held["record"])

        def pandas():
            return ref.name2feature(held["df"], seen["names"], held["record"], "series")

        t = Table("the 60 features of that folder on the 100,000 rows predict built them from")
        with task_config.active({"Feature": {"GroupIndex": "series"}}):
            # the same table, or the timing means nothing
            setup()
            got = native()
            setup()
            ref.pd.testing.assert_frame_equal(got, pandas(), check_exact=True)
            t.header()
            t.add("name2feature, stored record", best_of(native, 3, setup),
                  best_of(pandas, 1, setup))

    report(api.marqolin(folder), base, "a folder of 60 engineered features", compare)


if __name__ == "__main__":
    main()
