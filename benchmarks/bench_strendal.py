"""LabelEncoderWithOOV.transform against the per-label membership loop it replaces."""

from __future__ import annotations

import numpy as np
import pandas as pd
from common import Table, best_of
from sklearn.preprocessing import LabelEncoder

import orvalis  # noqa: F401
from orvalis.module.dataprocess.strendal import LabelEncoderWithOOV


def loop_transform(enc, y):
    """The pure Python form: one NumPy membership test per label, then the base transform."""
    kept = [label if label in enc.classes_ else enc.oov_token for label in y]
    return LabelEncoder.transform(enc, kept)


def main() -> None:
    rng = np.random.default_rng(7)
    classes = np.array([f"class_{k:04d}" for k in range(1000)], dtype=object)
    n = 1_000_000
    labels = classes[rng.integers(0, len(classes), n)].copy()
    unseen = rng.random(n) < 0.10
    labels[unseen] = np.array(
        [f"new_{k}" for k in rng.integers(0, 5000, unseen.sum())], dtype=object
    )
    y = pd.Series(labels)

    enc = LabelEncoderWithOOV()
    enc.fit(pd.Series(classes))
    enc.transform([])  # classes_ now ends with the token, as after any earlier transform

    table = Table("LabelEncoderWithOOV.transform, 1,000 classes, 10% unseen", reference="loop")
    table.header()
    for size in (10_000, 1_000_000):
        part = y.iloc[:size]
        native = best_of(lambda: enc.transform(part), repeat=3)
        # the loop costs ~10 us per label: one run of it is enough
        ref = best_of(lambda: loop_transform(enc, part), repeat=1)
        np.testing.assert_array_equal(enc.transform(part), loop_transform(enc, part))
        table.add(f"{size:,} labels", native, ref, ">= 50x")


if __name__ == "__main__":
    main()
