"""`make demo`: the inference API on a real result folder.

Builds the sample result folders under build/demo (a real FLAML search on the penguins table
and on an investment panel) when they are absent, then predicts held-out rows from a CSV file
and from a folder of CSV files, round-trips categorical values through the label codec, reports
the model configuration and the training/validation shapes, and writes six charts as PNG files
into demo-output/.
"""

from __future__ import annotations

import os
import subprocess
import sys

import numpy as np
import pandas as pd

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "src"))
sys.path.insert(0, HERE)

import make_result_folder as tool  # noqa: E402

from orvalis import marqolin  # noqa: E402

BUILD = os.path.join(REPO, "build", "demo")
OUT = os.path.join(REPO, "demo-output")


def section(title: str) -> None:
    print(f"\n=== {title} ===", flush=True)


def sample_folder(name: str, tasks: dict) -> str:
    path = os.path.join(BUILD, "results", name)
    if not os.path.exists(os.path.join(path, "automl", "result")):
        print(f"building the result folder {path} (FLAML search, a few seconds) ...", flush=True)
        tool.build_result_folder(tasks[name]["train"], {**tasks[name], "time_budget": 4}, path)
    return path


def main() -> None:
    tasks = tool.sample_tables(os.path.join(BUILD, "tables"))
    penguins = sample_folder("penguins", tasks)
    grunfeld = sample_folder("grunfeld", tasks)
    os.makedirs(OUT, exist_ok=True)

    section("load")
    m = marqolin(penguins)
    print(f"marqolin({penguins!r})")
    print(f"  task={m.task!r} target={m.target_name!r} engineered features={len(m.adv_features)}")
    print(f"  encoders for: {sorted(k for k in m.lec_record_dt if '###' not in k)}")

    section("predict")
    holdout = tasks["penguins"]["holdout"]
    rows = pd.read_csv(holdout)
    pred = m.predict(holdout)
    species = m.labeldecode(pd.Series(pred, name="species"))
    print(
        f"predict({os.path.basename(holdout)}): {len(pred)} rows, first codes {pred[:8].tolist()}"
    )
    print(
        f"  decoded: {species.iloc[:4].tolist()}; accuracy on held-out rows "
        f"{(species.to_numpy() == rows['species'].to_numpy()).mean():.3f}"
    )
    proba = m.predict_proba(holdout)
    print(f"predict_proba: shape {proba.shape}, first row {np.round(proba[0], 3).tolist()}")
    print(f"  its columns are the classes m.classes_: {m.classes_.tolist()}")
    parts = os.path.join(BUILD, "holdout_parts")
    os.makedirs(parts, exist_ok=True)
    half = len(rows) // 2
    rows.iloc[:half].to_csv(os.path.join(parts, "part1.csv"), index=False)
    rows.iloc[half:].to_csv(os.path.join(parts, "part2.csv"), index=False)
    from_folder = m.predict(parts)
    print(
        f"predict(folder of 2 CSV files): {len(from_folder)} rows, "
        f"same predictions as the file: {sorted(from_folder.tolist()) == sorted(pred.tolist())}"
    )

    section("label codec")
    islands = pd.Series(["Dream", "Biscoe", "Atlantis", None], name="island")
    codes = m.labelencode(islands)
    back = m.labeldecode(codes.rename("island"))
    for value, code, decoded in zip(islands, codes, back):
        print(f"  {value!r:>10} -> {code} -> {decoded!r}")
    print("  (Atlantis was never seen in training: it gets the out-of-vocabulary code)")

    section("model configuration")
    for key, value in m.obtain_model_configuration().items():
        print(f"  {key}: {value}")

    section("training and validation data")
    X_train, X_val, y_train, y_val = m.get_train_validation_data(tasks["penguins"]["train"])
    print(
        f"  X_train {X_train.shape}, X_val {X_val.shape},"
        f" y_train {y_train.shape}, y_val {y_val.shape}"
    )

    section("charts")
    X = m.preprocess(rows.copy(), return_y=True)
    y_true = X["species"].astype(int)
    charts = {
        "box.png": lambda p: m.plot_box(X, X[["species"]], "bill_length_mm", "species", p),
        "kde.png": lambda p: m.plot_kde(X, "body_mass_g", p),
        "trend.png": lambda p: m.plot_trend_comparison(X, "flipper_length_mm", "species", p),
        "roc.png": lambda p: m.plot_roc_curve(y_true, proba, path=p),
        "confusion.png": lambda p: m.plot_confusion_matrix(y_true, pred, normalize=True, path=p),
    }
    g = marqolin(grunfeld)
    g_rows = pd.read_csv(tasks["grunfeld"]["holdout"])
    charts["regression.png"] = lambda p: g.plot_regression_scatter(
        g_rows["invest"],
        g.predict(tasks["grunfeld"]["holdout"]),
        g.obtain_model_configuration()["model_type"],
        p,
    )
    for name, draw in charts.items():
        path = os.path.join(OUT, name)
        draw(path)
        print(f"  wrote {path}")

    features_demo = os.path.join(HERE, "demo_features.py")
    if os.path.exists(features_demo):
        section("feature engine")
        subprocess.run([sys.executable, features_demo], check=True)


if __name__ == "__main__":
    main()
