"""The same answer every time: a frame predicted twice, folders read in a defined order, text
columns of any pandas text dtype, and two result folders served at once from two threads."""

from __future__ import annotations

import os
import threading
import warnings

import numpy as np
import pandas as pd
import pytest
from hand_preprocess import predict_by_hand

from orvalis import marqolin


def assert_same(got, want):
    got, want = np.asarray(got), np.asarray(want)
    assert got.shape == want.shape
    if got.dtype.kind == "f":
        np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-12)
    else:
        np.testing.assert_array_equal(got, want)


def folder_of(sample_folders, int_code_folders, variant):
    """(folder, codes): the sample folders hold object-typed codes, the others int64 ones."""
    name, codes = variant
    return (int_code_folders if codes == "int64" else sample_folders)[name], codes


VARIANTS = [
    ("penguins", "object"),
    ("penguins", "int64"),
    ("grunfeld", "object"),
    ("grunfeld", "int64"),
]
IDS = [f"{name}-{codes}-codes" for name, codes in VARIANTS]


@pytest.mark.parametrize("variant", VARIANTS, ids=IDS)
class TestSameFrameTwice:
    """A frame is encoded in place; passing it again must not encode the codes once more."""

    def test_predict_twice_and_after_preprocess(self, sample_folders, int_code_folders, variant):
        folder, codes = folder_of(sample_folders, int_code_folders, variant)
        m = marqolin(folder.path)
        raw = pd.read_csv(folder.holdout)
        want = predict_by_hand(folder.path, raw, codes=codes)
        method = "predict_proba" if m.task == "classification" else "predict"
        want_scores = predict_by_hand(folder.path, raw, method, codes=codes)

        frame = raw.copy()
        assert_same(m.predict(frame), want)
        assert_same(m.predict(frame), want)  # the frame now holds codes
        assert_same(getattr(m, method)(frame), want_scores)

        frame = raw.copy()
        m.preprocess(frame)  # a natural notebook sequence
        assert_same(m.predict(frame), want)
        assert_same(getattr(m, method)(frame), want_scores)

    def test_codes_reach_the_model_as_integers_without_warnings(
        self, sample_folders, int_code_folders, variant
    ):
        folder, codes = folder_of(sample_folders, int_code_folders, variant)
        m = marqolin(folder.path)
        frame = pd.read_csv(folder.holdout)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            m.predict(frame)
        messages = [str(w.message) for w in caught]
        assert not [t for t in messages if "Downcasting object dtype arrays" in t], messages
        inputs = set(m.model.feature_names_in_)
        encoded = [c for c in frame.columns if c in m.lec_record_dt and c in inputs]
        assert encoded  # the folder has text columns among the model inputs
        assert all(frame[c].dtype == "int64" for c in encoded)
        # FLAML recorded which of them it treats as categories; the codes match what it saw
        transformer = m.model._transformer
        cats = set(transformer._cat_columns)
        assert set(encoded) <= (cats if codes == "object" else set(transformer._num_columns))


@pytest.mark.parametrize(
    "make",
    [
        lambda s: s.astype("category"),
        lambda s: s.astype("string"),
        lambda s: s.astype("string[pyarrow]"),
        lambda s: s.astype(pd.ArrowDtype(__import__("pyarrow").string())),
    ],
    ids=["category", "string", "string-pyarrow", "arrow-dtype"],
)
@pytest.mark.parametrize("name", ["penguins", "grunfeld"])
def test_text_columns_of_every_text_dtype_are_encoded(sample_folders, name, make):
    folder = sample_folders[name]
    m = marqolin(folder.path)
    raw = pd.read_csv(folder.holdout)
    want = predict_by_hand(folder.path, raw)
    typed = raw.copy()
    texts = [c for c in typed.columns if typed[c].dtype == object and c in m.lec_record_dt]
    assert texts
    for c in texts:
        typed[c] = make(typed[c])
    assert_same(m.predict(typed), want)
    assert_same(m.predict(typed), want)  # and once encoded, not again


def test_read_csv_with_the_pyarrow_backend_predicts_the_same(sample_folders):
    folder = sample_folders["penguins"]
    m = marqolin(folder.path)
    raw = pd.read_csv(folder.holdout)
    arrow = pd.read_csv(folder.holdout, dtype_backend="pyarrow")
    assert_same(m.predict(arrow), predict_by_hand(folder.path, raw))


@pytest.mark.parametrize("name", ["grunfeld", "penguins"])
def test_folder_files_are_read_in_name_order(sample_folders, tmp_path, name):
    """A panel split into one file per period: the rows must come in file-name order, whatever
    order the file system lists the entries in."""
    folder = sample_folders[name]
    raw = pd.read_csv(folder.holdout)
    parts = tmp_path / "parts"
    parts.mkdir()
    chunks = np.array_split(np.arange(len(raw)), 12)
    # written in reverse, with names whose creation order differs from their name order
    for k in reversed(range(len(chunks))):
        raw.iloc[chunks[k]].to_csv(parts / f"part_{k:02d}.csv", index=False)
    names = sorted(os.listdir(parts))
    in_order = pd.concat([pd.read_csv(parts / n) for n in names])
    m = marqolin(folder.path)
    loaded = m._load_data_from_file(str(parts))
    pd.testing.assert_frame_equal(loaded, in_order)
    assert_same(m.predict(str(parts)), predict_by_hand(folder.path, in_order))


def test_two_folders_in_two_threads_each_see_their_own_configuration(sample_folders):
    """A server holding two models: grunfeld's rolling windows group by firm, penguins has no
    grouping; neither may see the other's configuration, however the threads interleave."""
    grunfeld, penguins = sample_folders["grunfeld"], sample_folders["penguins"]
    models = {"grunfeld": marqolin(grunfeld.path), "penguins": marqolin(penguins.path)}
    rows = {n: pd.read_csv(sample_folders[n].holdout) for n in models}
    want = {n: predict_by_hand(sample_folders[n].path, rows[n]) for n in models}
    failures: list[str] = []
    barrier = threading.Barrier(2)

    def serve(name):
        barrier.wait()
        for _ in range(15):
            got = models[name].predict(rows[name].copy())
            if not np.allclose(np.asarray(got, dtype=float), np.asarray(want[name], dtype=float)):
                failures.append(name)

    threads = [threading.Thread(target=serve, args=(n,)) for n in models]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def test_active_configuration_is_per_thread_and_exits_restore_each_threads_own():
    from module.common import task_config

    seen: dict[str, list] = {"a": [], "b": []}
    inside = threading.Barrier(2)
    a_exited = threading.Event()

    def run(name, cfg, exit_first):
        with task_config.active(cfg):
            inside.wait()
            if not exit_first:
                a_exited.wait(5)  # the other thread leaves its block first
            seen[name].append(task_config.TaskConfig().cfg)
        if exit_first:
            a_exited.set()
        seen[name].append(task_config.TaskConfig().cfg)

    cfg_a, cfg_b = {"Feature": {"GroupIndex": "firm"}}, {"Feature": {}}
    threads = [
        threading.Thread(target=run, args=("a", cfg_a, True)),
        threading.Thread(target=run, args=("b", cfg_b, False)),
    ]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert seen["a"][0] is cfg_a and seen["b"][0] is cfg_b
    assert seen["a"][1] == seen["b"][1] == {"Feature": {}}  # nothing loaded: the default
