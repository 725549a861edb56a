"""The command line, run as a subprocess on the sample result folders, against the Python API."""

from __future__ import annotations

import io
import json
import os
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SRC = os.path.join(REPO, "src")


def read_csv(source):
    # pandas' default float parser is not correctly rounded; the written text is exact
    return pd.read_csv(source, float_precision="round_trip")


def run(*args: str, env: dict | None = None, cwd: str | None = None):
    environ = {**os.environ, "PYTHONPATH": SRC + os.pathsep + os.environ.get("PYTHONPATH", "")}
    environ.update(env or {})
    return subprocess.run(
        [sys.executable, "-m", "orvalis", *map(str, args)],
        capture_output=True,
        text=True,
        env=environ,
        cwd=cwd,
        timeout=300,
    )


@pytest.fixture(scope="module")
def api(sample_folders):
    from orvalis import marqolin

    return {name: marqolin(folder.path) for name, folder in sample_folders.items()}


def folder_state(path: str) -> dict:
    return {
        os.path.join(root, name): os.stat(os.path.join(root, name)).st_mtime_ns
        for root, _, names in os.walk(path)
        for name in names
    }


@pytest.fixture(scope="module")
def work(sample_folders, tmp_path_factory):
    """Inputs in every form the command line reads, and the runs that load a folder (seconds
    each), started together; each test checks its own."""
    from concurrent.futures import ThreadPoolExecutor

    tmp = tmp_path_factory.mktemp("cli")
    f = sample_folders
    cancer = pd.read_csv(f["breast_cancer"].holdout)
    np.savez(tmp / "cancer.npz", **{col: cancer[col].to_numpy() for col in cancer.columns})
    panel = pd.read_csv(f["grunfeld"].holdout)
    (tmp / "parts").mkdir()
    panel.iloc[:15].to_csv(tmp / "parts" / "a.csv", index=False)
    panel.iloc[15:].to_csv(tmp / "parts" / "b.csv", index=False)
    pd.read_csv(f["penguins_plain"].holdout).to_excel(tmp / "plain.xlsx", index=False)
    (tmp / "out").mkdir()
    out = tmp / "out"
    penguins, grunfeld = f["penguins"], f["grunfeld"]
    # a user's data file named as the output, directly and through a link
    (tmp / "same.csv").write_bytes(open(penguins.holdout, "rb").read())
    os.symlink(tmp / "same.csv", tmp / "link.csv")
    os.symlink(os.path.join(penguins.path, "automl", "val_res"), tmp / "val_res.csv")
    pd.read_csv(penguins.holdout).drop(columns=["flipper_length_mm"]).to_csv(
        tmp / "lacking.csv", index=False
    )
    import shutil

    shutil.copytree(penguins.path, tmp / "no_record")
    os.remove(tmp / "no_record" / "autofe" / "labelencoder.pkl")
    commands = {
        "codes": ["predict", penguins.path, penguins.holdout],
        "proba": ["predict", penguins.path, penguins.holdout, "--proba", "--labels", "-o",
                  out / "proba.parquet"],
        "labels": ["predict", penguins.path, penguins.holdout, "--labels", "-o",
                   out / "labels.csv"],
        "cancer": ["predict", f["breast_cancer"].path, tmp / "cancer.npz", "--labels", "-o",
                   out / "cancer.csv"],
        "cancer_proba": ["predict", f["breast_cancer"].path, f["breast_cancer"].holdout,
                         "--proba"],
        "panel": ["predict", grunfeld.path, tmp / "parts"],
        "plain": ["predict", f["penguins_plain"].path, tmp / "plain.xlsx", "--labels"],
        "info_text": ["info", penguins.path],
        "info_panel": ["info", grunfeld.path, "--json"],
        "info_plain": ["info", f["penguins_plain"].path, "--json"],
        "features_grunfeld": ["features", grunfeld.path, grunfeld.holdout, "-o",
                              out / "features.csv"],
        "features_penguins": ["features", penguins.path, penguins.holdout, "-o",
                              out / "features.parquet"],
        # the panel's model on the penguins table: its engineered features lack their columns
        "failure": ["predict", grunfeld.path, penguins.holdout, "-o", out / "failed.csv"],
        "failure_verbose": ["predict", grunfeld.path, penguins.holdout, "-o",
                            out / "failed.csv", "--verbose"],
        "same_file": ["predict", penguins.path, tmp / "same.csv", "-o", tmp / "same.csv"],
        "same_link": ["features", penguins.path, tmp / "same.csv", "-o", tmp / "link.csv"],
        "in_data_folder": ["predict", grunfeld.path, tmp / "parts", "-o", tmp / "parts" / "a.csv"],
        "in_result_folder": ["predict", penguins.path, penguins.holdout, "-o",
                             tmp / "val_res.csv"],
        "new_folder": ["predict", penguins.path, penguins.holdout, "--proba", "-o",
                       out / "new" / "deeper" / "proba.csv"],
        "lacking": ["predict", penguins.path, tmp / "lacking.csv"],
        "no_record": ["predict", tmp / "no_record", penguins.holdout, "--labels"],
    }
    before = {name: folder_state(folder.path) for name, folder in f.items()}
    with ThreadPoolExecutor(max_workers=3) as pool:
        done = dict(zip(commands, pool.map(lambda args: run(*args), commands.values())))
    done["folders_unchanged"] = before == {
        name: folder_state(folder.path) for name, folder in f.items()
    }
    done["tmp"] = tmp
    return done


def succeeded(work, key):
    done = work[key]
    assert done.returncode == 0, done.stderr
    return done


# --- predict ------------------------------------------------------------------------------


def test_predict_stdout_is_the_api_prediction_in_input_order(sample_folders, api, work):
    done = succeeded(work, "codes")
    out = read_csv(io.StringIO(done.stdout))
    expected = api["penguins"].predict(sample_folders["penguins"].holdout)
    assert out.columns.tolist() == ["species"]
    np.testing.assert_array_equal(out["species"].to_numpy(), expected)
    assert done.stderr == ""  # no progress when standard error is not a terminal
    assert work["folders_unchanged"]


def test_predict_labels_decode_once_and_proba_columns(sample_folders, api, work):
    holdout = sample_folders["penguins"].holdout
    m = api["penguins"]
    succeeded(work, "labels")
    succeeded(work, "proba")
    decoded = m.labeldecode(pd.Series(m.predict(holdout), name="species"))
    labels = read_csv(work["tmp"] / "out" / "labels.csv")
    assert labels["species"].tolist() == decoded.tolist()
    assert set(labels["species"]) <= {"Adelie", "Chinstrap", "Gentoo"}
    proba = pd.read_parquet(work["tmp"] / "out" / "proba.parquet")
    names = m.labeldecode(pd.Series(m.model.classes_, name="species")).tolist()
    assert proba.columns.tolist() == [f"proba_{name}" for name in names]
    np.testing.assert_array_equal(proba.to_numpy(), m.predict_proba(holdout))


def test_predict_identifier_first_and_labels_without_encoder(sample_folders, api, work):
    # breast_cancer: "sample id" in the data is the identifier column "sample_id"; its target
    # is numeric, so --labels leaves the model's values as they are
    folder = sample_folders["breast_cancer"]
    m = api["breast_cancer"]
    raw = pd.read_csv(folder.holdout)
    succeeded(work, "cancer")
    out = read_csv(work["tmp"] / "out" / "cancer.csv")
    assert out.columns.tolist() == ["sample_id", "target"]
    np.testing.assert_array_equal(out["sample_id"], raw["sample id"])
    np.testing.assert_array_equal(out["target"], m.predict(str(work["tmp"] / "cancer.npz")))

    proba = read_csv(io.StringIO(succeeded(work, "cancer_proba").stdout))
    assert proba.columns.tolist() == ["sample_id", "proba_0", "proba_1"]
    np.testing.assert_array_equal(proba[["proba_0", "proba_1"]], m.predict_proba(folder.holdout))


def test_predict_folder_and_xlsx_inputs(sample_folders, api, work):
    # a regression panel with rolling windows and group statistics, read from a folder of CSV
    # files; the plain-estimator folder from an Excel file
    got = read_csv(io.StringIO(succeeded(work, "panel").stdout))
    rows = pd.read_csv(sample_folders["grunfeld"].holdout)
    assert got.columns.tolist() == ["invest"] and len(got) == len(rows)
    expected = api["grunfeld"].predict(str(work["tmp"] / "parts"))
    np.testing.assert_array_equal(got["invest"], expected)

    got = read_csv(io.StringIO(succeeded(work, "plain").stdout))
    m = api["penguins_plain"]
    expected = m.labeldecode(pd.Series(m.predict(str(work["tmp"] / "plain.xlsx")), name="species"))
    assert got["species"].tolist() == expected.tolist()


def test_an_output_that_is_an_input_is_refused_before_anything_is_read(sample_folders, work):
    tmp = work["tmp"]
    original = open(sample_folders["penguins"].holdout, "rb").read()
    for key, what in (
        ("same_file", "is DATA"),
        ("same_link", "is DATA"),
        ("in_data_folder", "is a file of DATA"),
        ("in_result_folder", "is a file of the result folder RESULT"),
    ):
        done = work[key]
        assert done.returncode == 2, done.stderr
        assert what in done.stderr and "choose another output file" in done.stderr
        assert done.stdout == ""
    assert (tmp / "same.csv").read_bytes() == original
    assert pd.read_csv(tmp / "parts" / "a.csv").columns.tolist()[0] == "invest"
    assert work["folders_unchanged"]
    assert not [p for p in os.listdir(tmp) if p.endswith(".part")]


def test_output_folders_are_created_and_probabilities_named_by_class(sample_folders, api, work):
    succeeded(work, "new_folder")
    got = read_csv(work["tmp"] / "out" / "new" / "deeper" / "proba.csv")
    # without --labels too: the columns are the classes as marqolin.classes_ names them
    assert got.columns.tolist() == ["proba_Adelie", "proba_Chinstrap", "proba_Gentoo"]
    want = api["penguins"].predict_proba(sample_folders["penguins"].holdout)
    np.testing.assert_array_equal(got.to_numpy(), want)


def test_a_mistake_is_one_line_that_says_what_is_wrong(work):
    done = work["lacking"]
    assert done.returncode == 1 and done.stdout == ""
    assert done.stderr.splitlines() == [
        "orvalis predict: error: KeyError: 数据缺少训练时的列 ['flipper_length_mm'] (共 1 列); "
        "数据中的列为 ['species', 'island', 'bill_length_mm', 'bill_depth_mm', 'body_mass_g', "
        "'sex', 'year']。"
    ]
    # a folder whose record is lost cannot give the training codes of a text column
    done = work["no_record"]
    assert done.returncode == 1 and done.stdout == ""
    assert done.stderr.startswith("orvalis predict: error: KeyError: 列 'island' 是文本")


def test_not_a_result_folder_is_one_line_before_the_heavy_imports(tmp_path, sample_folders):
    holdout = sample_folders["penguins"].holdout
    code = (
        "import sys, orvalis.cli as cli\n"
        f"status = cli.main(['predict', {str(tmp_path)!r}, {holdout!r}])\n"
        "print(status, 'pandas' in sys.modules, 'orvalis.orvalis' in sys.modules)\n"
    )
    environ = {**os.environ, "PYTHONPATH": SRC}
    done = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=environ, timeout=120
    )
    assert done.stdout.split() == ["1", "False", "False"], done.stderr
    assert done.stderr == (
        f"orvalis predict: error: {str(tmp_path)!r} is not a result folder: it has no "
        "config.yaml\n"
    )


def test_a_failed_write_leaves_the_old_output_whole(tmp_path):
    from orvalis import cli

    class Unprintable:
        def __str__(self):
            raise RuntimeError("the value cannot be written")

    # a write that fails after many rows are out: CSV written in chunks
    rows = pd.DataFrame({"a": np.arange(300_000, dtype=object)})
    rows.iloc[-1, 0] = Unprintable()
    for name in ("out.csv", "out.parquet"):
        out = tmp_path / name
        out.write_bytes(b"the previous run's output")
        os.chmod(out, 0o640)
        with pytest.raises(Exception) as info:
            cli.write_table(rows, str(out), None)
        assert f"while writing {out}" in info.value.__notes__
        assert out.read_bytes() == b"the previous run's output"
        assert sorted(os.listdir(tmp_path)) == sorted({"out.csv", name})
    cli.write_table(pd.DataFrame({"a": [1, 2]}), str(out), None)
    assert pd.read_parquet(out)["a"].tolist() == [1, 2]
    assert os.stat(out).st_mode & 0o777 == 0o640  # the file it replaced keeps its permissions
    assert sorted(os.listdir(tmp_path)) == ["out.csv", "out.parquet"]


# --- info ---------------------------------------------------------------------------------


def test_info_json_reports_task_encoders_features_and_model(sample_folders, api, work):
    from orvalis import brevant

    reports = {}
    for name, key in (("grunfeld", "info_panel"), ("penguins_plain", "info_plain")):
        folder, m = sample_folders[name], api[name]
        info = reports[name] = json.loads(succeeded(work, key).stdout)
        assert info["task"] == {
            "target": m.target_name,
            "task_type": m.task,
            "split_type": m.split_type,
            "test_share": m.test_size,
            "group_column": m.group_id,
            "time_column": m.time_index,
            "identifier_column": m.id_index,
            "ignored_features": list(m.ignore_features),
            "model_search": bool(m.automl_running),
        }
        table = brevant.feature2table(list(m.adv_features))
        assert [f["name"] for f in info["engineered_features"]] == list(m.adv_features)
        assert [f["formula"] for f in info["engineered_features"]] == table["latex"].tolist()
        assert [f["id"] for f in info["engineered_features"]] == table["id"].tolist()
        raw = pd.read_csv(folder.train)
        for col, count in info["encoders"].items():
            assert count == raw[col].fillna("na").astype(str).nunique()
    assert reports["penguins_plain"]["encoders"].keys() == {"species", "island", "sex"}
    assert reports["penguins_plain"]["model"]["model_type"] == "HistGradientBoostingClassifier"

    panel = reports["grunfeld"]
    expected = api["grunfeld"].obtain_model_configuration()
    assert panel["model"]["model_type"] == expected["model_type"]
    assert panel["model"]["model_params"].keys() == expected["model_params"].keys()
    assert panel["task"]["group_column"] == "firm" and panel["task"]["time_column"] == "year"


def test_info_text(work):
    out = succeeded(work, "info_text").stdout
    assert "  target:             species\n" in out
    assert "  ignored features:   year\n" in out
    assert "  island              3 classes\n" in out
    assert "combine###island|||sex$$$" in out and "Combine(island,sex)" in out
    assert "  type:               lgbm\n" in out


# --- features -----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, file", [("grunfeld", "features.csv"), ("penguins", "features.parquet")]
)
def test_features_is_the_preprocessed_frame(sample_folders, api, work, name, file):
    succeeded(work, f"features_{name}")
    out = work["tmp"] / "out" / file
    expected = api[name].preprocess(pd.read_csv(sample_folders[name].holdout))
    got = read_csv(out) if file.endswith(".csv") else pd.read_parquet(out)
    assert got.columns.tolist() == expected.columns.tolist()
    assert len(got) == len(expected)
    for col in expected.columns:
        want = expected[col]
        if isinstance(want.dtype, pd.CategoricalDtype):
            want = want.astype(str)
            have = got[col].astype(str)
        elif file.endswith(".csv") and want.dtype.kind == "M":
            have = pd.to_datetime(got[col])
        else:
            have = got[col]
        np.testing.assert_array_equal(have.to_numpy(), want.to_numpy(), err_msg=col)


# --- failures and usage errors ------------------------------------------------------------


@pytest.mark.parametrize(
    "args, message",
    [
        (["predict", "{folder}", "{data}", "-o", "out.txt"], "OUT must end in .csv or .parquet"),
        (["features", "{folder}", "{data}"], "the following arguments are required: -o/--output"),
        (["predict", "{folder}", "{data}", "--group-complete"], "--group-complete needs --dask"),
        (["predict", "{folder}", "{data}", "--dask", "x:1", "--workers", "2"], "not allowed"),
        (["predict", "{folder}", "{data}", "--workers", "0"], "at least 1"),
        (["info"], "the following arguments are required: RESULT"),
        (["frobnicate"], "invalid choice"),
    ],
)
def test_usage_errors_exit_2(sample_folders, tmp_path, args, message):
    folder = sample_folders["penguins"]
    args = [a.format(folder=folder.path, data=folder.holdout) for a in args]
    done = run(*args, cwd=tmp_path)
    assert done.returncode == 2, done.stderr
    assert message in done.stderr and done.stdout == ""
    assert os.listdir(tmp_path) == []


def test_failure_is_one_line_with_the_note_and_traceback_only_when_verbose(work, tmp_path):
    done = work["failure"]
    assert done.returncode == 1
    lines = done.stderr.splitlines()
    assert len(lines) == 1, done.stderr
    assert lines[0].startswith("orvalis predict: error: KeyError: ")
    assert not (work["tmp"] / "out" / "failed.csv").exists() and done.stdout == ""

    verbose = work["failure_verbose"]
    assert verbose.returncode == 1
    assert verbose.stderr.startswith("Traceback (most recent call last):")
    assert verbose.stderr.splitlines()[-1] == lines[0]

    missing = run("predict", work["tmp"], tmp_path / "nothing.csv")
    assert missing.returncode == 1
    assert missing.stderr.startswith("orvalis predict: error: FileNotFoundError: ")
    assert "nothing.csv" in missing.stderr and len(missing.stderr.splitlines()) == 1

    no_folder = run("info", tmp_path / "no-such-result")
    assert no_folder.returncode == 1 and "does not exist" in no_folder.stderr


def test_parquet_without_pyarrow_names_the_extra(sample_folders, tmp_path):
    blocker = tmp_path / "blocker"
    (blocker / "pyarrow").mkdir(parents=True)
    (blocker / "pyarrow" / "__init__.py").write_text("raise ImportError('no pyarrow here')\n")
    folder = sample_folders["penguins"]
    done = run(
        "predict",
        folder.path,
        folder.holdout,
        "-o",
        tmp_path / "out.parquet",
        env={"PYTHONPATH": f"{blocker}{os.pathsep}{SRC}"},
    )
    assert done.returncode == 1
    assert "pip install 'orvalis[parquet]'" in done.stderr
    assert not (tmp_path / "out.parquet").exists()


def test_help_of_every_subcommand_and_console_script_entry():
    for command in ([], ["predict"], ["info"], ["features"]):
        done = run(*command, "--help")
        assert done.returncode == 0 and done.stdout.startswith("usage: orvalis")
    import tomllib

    with open(os.path.join(REPO, "pyproject.toml"), "rb") as f:
        project = tomllib.load(f)["project"]
    assert project["scripts"]["orvalis"] == "orvalis.cli:main"
    # the command's own import stays light: the heavy modules come with the subcommand
    heavy = ("pandas", "numpy", "dask", "orvalis.orvalis", "brevant")
    code = f"import sys, orvalis.cli; print([m for m in {heavy!r} if m in sys.modules])"
    probe = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONPATH": SRC},
        check=True,
    )
    assert probe.stdout.strip() == "[]"
    assert {"dask", "parquet"} <= project["optional-dependencies"].keys()


def test_progress_names_the_step_once_it_takes_long(capsys):
    import time

    from orvalis.cli import Progress

    quiet = Progress(enabled=False, after=0.0)
    quiet.step("reading nothing")
    time.sleep(0.7)
    quiet.close()
    shown = Progress(enabled=True, after=0.0)
    shown.step("predicting 12 rows")
    time.sleep(1.2)
    shown.close()
    err = capsys.readouterr().err
    assert "reading nothing" not in err
    assert "orvalis: predicting 12 rows ... " in err and err.endswith("\r\x1b[K")


def test_freeze_then_predict_with_the_statistics(sample_folders, api, tmp_path):
    import orvalis

    folder = sample_folders["grunfeld"]
    stats_file = tmp_path / "frozen.npz"
    done = run("freeze", folder.path, folder.train, "-o", stats_file, "--extend")
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(f"{stats_file}: ") and "window histories" in done.stdout
    out = tmp_path / "pred.csv"
    done = run("predict", folder.path, folder.holdout, "--statistics", stats_file, "-o", out)
    assert done.returncode == 0, done.stderr
    stats = orvalis.frozen_statistics.load(stats_file)
    np.testing.assert_array_equal(
        read_csv(out)["invest"], api["grunfeld"].predict(folder.holdout, statistics=stats)
    )
    # the statistics of another folder, or no file of statistics at all
    done = run("predict", sample_folders["penguins"].path, sample_folders["penguins"].holdout,
               "--statistics", stats_file)
    assert done.returncode == 1 and "ValueError" in done.stderr and "grunfeld" in done.stderr
    done = run("predict", folder.path, folder.holdout, "--statistics", folder.holdout)
    assert done.returncode == 1 and "frozen_statistics" in done.stderr
