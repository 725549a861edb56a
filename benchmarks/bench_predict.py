"""marqolin.predict on 100,000 and 1,000,000 rows of the sample result folder: rows per second
and where the time goes (reading, label encoding, engineered features, the model's own input
transformation, the model). "encode" is the processing step less the feature building: the text
conversion and encoding of the categorical columns, name clean-up and column drops."""

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

import make_result_folder as tool  # noqa: E402

import orvalis.orvalis as api  # noqa: E402

BUILD = os.path.join(REPO, "build", "demo")


class Stopwatch:
    """Seconds per stage; the model's input transformation run inside the model's own predict
    is booked as "transform_in_model"."""

    def __init__(self) -> None:
        self.seconds: dict[str, float] = {}
        self.in_model = False

    def wrap(self, stage: str, fn):
        def timed(*args, **kwargs):
            name = "transform_in_model" if stage == "transform" and self.in_model else stage
            self.in_model |= stage == "model"
            t0 = time.perf_counter()
            try:
                return fn(*args, **kwargs)
            finally:
                self.seconds[name] = self.seconds.get(name, 0.0) + time.perf_counter() - t0
                if stage == "model":
                    self.in_model = False

        return timed


@contextmanager
def patched(obj, name, value):
    old = getattr(obj, name)
    setattr(obj, name, value)
    try:
        yield
    finally:
        setattr(obj, name, old)


def main() -> None:
    tasks = tool.sample_tables(os.path.join(BUILD, "tables"))
    folder = os.path.join(BUILD, "results", "penguins")
    if not os.path.exists(os.path.join(folder, "automl", "result")):
        tool.build_result_folder(
            tasks["penguins"]["train"], {**tasks["penguins"], "time_budget": 4}, folder
        )
    m = api.marqolin(folder)
    base = pd.read_csv(tasks["penguins"]["holdout"])
    print(
        "\n## marqolin.predict, sample folder 'penguins' (FLAML model:",
        m.model.best_estimator + ")",
    )
    print(
        f"  {'rows':>10} {'seconds':>8} {'rows/s':>10}   {'read':>6} {'encode':>7} {'features':>8} "
        f"{'transform':>9} {'model':>6} {'other':>6}"
    )
    with tempfile.TemporaryDirectory() as tmp:
        for n in (100_000, 1_000_000):
            rows = base.iloc[np.arange(n) % len(base)].reset_index(drop=True)
            path = os.path.join(tmp, f"rows_{n}.csv")
            rows.to_csv(path, index=False)
            watch = Stopwatch()
            model = m.model
            with (
                patched(api.pd, "read_csv", watch.wrap("read", pd.read_csv)),
                patched(api, "name2feature", watch.wrap("features", api.name2feature)),
                patched(
                    model._state.task,
                    "preprocess",
                    watch.wrap("transform", model._state.task.preprocess),
                ),
            ):
                m._process_data = watch.wrap("process", m._process_data)
                t0 = time.perf_counter()
                # the model's predict applies its input transformation again: booked as transform
                predict = model.predict
                model.predict = watch.wrap("model", predict)
                try:
                    result = m.predict(path)
                finally:
                    del model.predict
                    del m._process_data
                total = time.perf_counter() - t0
            assert len(result) == n
            s = watch.seconds
            inner = s.get("transform_in_model", 0.0)
            share = {k: s.get(k, 0.0) / total for k in ("read", "features")}
            # encoding: the processing step less the feature building (names, drops: negligible)
            share["encode"] = (s.get("process", 0.0) - s.get("features", 0.0)) / total
            share["transform"] = (s.get("transform", 0.0) + inner) / total
            share["model"] = (s.get("model", 0.0) - inner) / total
            other = 1.0 - sum(share.values())
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
                )
                + f" {other:6.0%}",
                flush=True,
            )


if __name__ == "__main__":
    main()
