"""Frozen statistics: every batch-level quantity captured from a reference table and replayed on
any rows. Replaying on the reference gives the batch result bit for bit; with the statistics a
row's features no longer depend on the rows that arrive with it; windows continue from a kept
history; the statistics survive a file, and a damaged or foreign file is refused."""

from __future__ import annotations

import copy
import os
import pickle
import zipfile

import numpy as np
import pandas as pd
import pytest
from pandas.testing import assert_frame_equal

import pandas_formulation as ref
from module.common import task_config

WINDOW_KEYWORDS = (
    "delay", "delta", "ts_o", "tsum", "ts_mean", "ts_max", "ts_min", "stddev", "ts_rank",
    "product", "ts_argmax", "ts_argmin", "decay_linear", "tcorrelation", "tcorvariance",
)


def has_window(name: str) -> bool:
    return any(k + "###" in name for k in WINDOW_KEYWORDS)


ROW_WISE = [n for n in ref.MIXED_60 if not has_window(n)]
WINDOWED = [n for n in ref.MIXED_60 if has_window(n)]


def run(brevant, df, names, record, entries, mode, history=None, new_history=None):
    return brevant._name2feature_frozen(
        df, list(names), record, entries, history or {}, new_history if new_history is not None
        else {}, mode
    )


def fitted(brevant, seed=31, rows=300):
    """A record fitted on a training table, as a result folder keeps it."""
    record: dict = {}
    brevant.name2feature(ref.random_table(seed, rows), list(ref.MIXED_60), record)
    return record


def scoring_table(seed: int, n: int) -> pd.DataFrame:
    """Rows like the training table's, with values and keys the training never saw and gaps
    where the training had none."""
    df = ref.random_table(seed, n)
    rng = np.random.default_rng(seed)
    if n > 3:
        df.loc[rng.random(n) < 0.2, "shop"] = "s_new"
        df.loc[rng.random(n) < 0.2, "item"] = 99
        df.loc[rng.random(n) < 0.1, "qty"] = 40
        df["const"] = df["const"].where(rng.random(n) > 0.1)
    return df


def float_values(frame: pd.DataFrame) -> pd.DataFrame:
    return frame.apply(lambda c: c.astype(float) if pd.api.types.is_numeric_dtype(c) else c)


@pytest.mark.parametrize("group", [None, "series"], ids=["whole", "grouped"])
@pytest.mark.parametrize(
    "rows, index",
    [(180, "range"), (1, "range"), (7, "range"), (60, "repeated"), (60, "shuffled")],
    ids=["table", "one row", "short", "repeated index", "shuffled index"],
)
def test_replay_on_the_reference_equals_the_batch(brevant, group, rows, index):
    record = fitted(brevant)
    reference = scoring_table(32, rows)
    if index == "repeated":
        reference.index = np.arange(rows) // 3
    elif index == "shuffled":
        reference.index = np.random.default_rng(3).permutation(rows) + 1000
    with task_config.active({"Feature": {"GroupIndex": group}}):
        batch_record = copy.deepcopy(record)
        batch = brevant.name2feature(reference.copy(), list(ref.MIXED_60), batch_record)
        entries: list = []
        shadow = copy.deepcopy(record)
        captured = run(brevant, reference.copy(), ref.MIXED_60, shadow, entries, "capture")
        replayed = run(brevant, reference.copy(), ref.MIXED_60, {}, entries, "replay")
    for got in (captured, replayed):
        assert list(got.columns) == list(batch.columns)
        assert_frame_equal(got, batch, check_exact=True, check_index_type=True)
    # capturing updates the record it is given exactly as the batch does
    assert sorted(shadow) == sorted(batch_record)
    roles = {role for _, role, _ in entries}
    assert {"table", "moments", "fill", "percentile", "ranks", "groups", "min"} <= roles


@pytest.mark.parametrize("group", [None, "series"], ids=["whole", "grouped"])
def test_rows_alone_in_chunks_or_reversed_get_the_features_they_get_together(brevant, group):
    record = fitted(brevant)
    reference = scoring_table(32, 120)
    rows = scoring_table(33, 40)
    with task_config.active({"Feature": {"GroupIndex": group}}):
        entries: list = []
        run(brevant, reference, ROW_WISE, copy.deepcopy(record), entries, "capture")
        together = float_values(run(brevant, rows.copy(), ROW_WISE, {}, entries, "replay"))
        alone = pd.concat(
            [
                float_values(
                    run(brevant, rows.iloc[[i]].reset_index(drop=True), ROW_WISE, {}, entries,
                        "replay")
                )
                for i in range(len(rows))
            ],
            ignore_index=True,
        )
        backwards = float_values(
            run(brevant, rows.iloc[::-1].reset_index(drop=True), ROW_WISE, {}, entries,
                "replay")
        ).iloc[::-1].reset_index(drop=True)
        chunks = pd.concat(
            [
                float_values(
                    run(brevant, rows.iloc[a:b].reset_index(drop=True), ROW_WISE, {}, entries,
                        "replay")
                )
                for a, b in ((0, 13), (13, 14), (14, 40))
            ],
            ignore_index=True,
        )
    for got in (alone, backwards, chunks):
        assert_frame_equal(got, together, check_exact=True, check_dtype=False)
    # a key the reference never saw got the frozen median of its feature
    unseen = rows["shop"].eq("s_new").to_numpy()
    assert unseen.any() and together.loc[unseen, "count###shop$$$"].nunique() == 1


@pytest.mark.parametrize("group", [None, "series"], ids=["whole", "grouped"])
@pytest.mark.parametrize(
    "bounds", [(0, 1, 2, 30, 31, 60), (0, 20, 40, 60)], ids=["single rows", "thirds"]
)
def test_windows_continue_from_the_extended_history(brevant, group, bounds):
    record = fitted(brevant)
    reference = scoring_table(32, 90)
    rows = scoring_table(34, 60)
    with task_config.active({"Feature": {"GroupIndex": group}}):
        entries: list = []
        run(brevant, reference, ref.MIXED_60, copy.deepcopy(record), entries, "capture")
        together = run(brevant, rows.copy(), ref.MIXED_60, {}, entries, "replay")
        history: dict = {}
        parts = []
        for a, b in zip(bounds[:-1], bounds[1:]):
            chunk = rows.iloc[a:b].reset_index(drop=True)
            parts.append(run(brevant, chunk.copy(), ref.MIXED_60, {}, entries, "replay", history))
            following: dict = {}
            run(brevant, chunk.copy(), ref.MIXED_60, {}, entries, "extend", history, following)
            history = following
        got = pd.concat(parts, ignore_index=True)
    for name in WINDOWED:
        if name not in together.columns:
            continue
        # the running sums of a window start elsewhere: equal up to their rounding
        np.testing.assert_allclose(
            got[name].astype(float), together[name].astype(float), rtol=1e-9, atol=1e-12,
            err_msg=name,
        )
    others = [c for c in together.columns if c not in WINDOWED]
    assert_frame_equal(float_values(got[others]), float_values(together[others]),
                       check_dtype=False)


def test_values_never_seen(brevant):
    """A key absent from every table is missing, then the frozen median; a value ranked by
    percentile or crossrank ranks as if inserted among the reference's values."""
    reference = pd.DataFrame(
        {"g": ["a", "a", "b", "b", "b"], "x": [1.0, 2.0, 2.0, 4.0, 8.0]}
    )
    names = ["count###g$$$", "percentile###x$$$", "crossrank###g|||x$$$", "histstat###x|||g$$$"]
    entries: list = []
    frozen_ref = run(brevant, reference.copy(), names, {}, entries, "capture")
    rows = pd.DataFrame({"g": ["z", "a", "b", "b", "a"], "x": [2.0, 3.0, 0.0, 9.0, np.nan]})
    got = run(brevant, rows, names, {}, entries, "replay")
    count = got["count###g$$$"]
    # z: no count, so the fill's frozen median of the standardised counts
    assert count[0] == frozen_ref["count###g$$$"].median()
    assert count[1] == frozen_ref["count###g$$$"][0]
    # percentile: 2.0 is held by the reference (its own rank 2.5 of 5); 3.0 and 0.0 are not
    np.testing.assert_array_equal(
        got["percentile###x$$$"].to_numpy(), [0.5, 4 / 6, 1 / 6, 6 / 6, 0.5]
    )
    # ... missing x: percentile gap, which the fill replaced only because count asked for it
    np.testing.assert_array_equal(got["crossrank###g|||x$$$"].to_numpy()[1:4], [3.0, 1.0, 4.0])
    assert np.isnan(got["crossrank###g|||x$$$"][0]) or got["crossrank###g|||x$$$"][0] > 0
    assert np.isnan(got["histstat###x|||g$$$"][0])  # group z: no per-group value


def test_a_replay_of_other_names_says_what_is_missing(brevant):
    entries: list = []
    df = ref.random_table(5, 30)
    run(brevant, df.copy(), ["add###price|||qty$$$"], {}, entries, "capture")
    with pytest.raises(ValueError, match=r"hold no 'moments'.*multiply###price\|\|\|qty\$\$\$"):
        run(brevant, df.copy(), ["multiply###price|||qty$$$"], {}, entries, "replay")
    with pytest.raises(ValueError, match="mode must be"):
        run(brevant, df.copy(), ["add###price|||qty$$$"], {}, entries, "frozen")


# --- result folders --------------------------------------------------------------------------


@pytest.fixture(scope="module")
def folders(sample_folders):
    return sample_folders


def record_bytes(m) -> bytes:
    return pickle.dumps(m.lec_record_dt)


@pytest.mark.parametrize("name", ["penguins", "breast_cancer", "grunfeld"])
def test_freezing_the_rows_and_scoring_them_equals_the_batch(folders, name):
    from orvalis import marqolin

    folder = folders[name]
    rows = pd.read_csv(folder.holdout)
    m = marqolin(folder.path)
    before = record_bytes(m)
    given = rows.copy()
    stats = m.freeze_statistics(given)
    assert_frame_equal(given, rows)  # the caller's frame is not touched
    assert record_bytes(m) == before  # nor the folder's record
    for method in ("predict", "predict_proba") if m.task == "classification" else ("predict",):
        batch = getattr(marqolin(folder.path), method)(rows.copy())
        np.testing.assert_array_equal(getattr(m, method)(rows.copy(), statistics=stats), batch)
    assert_frame_equal(
        m.preprocess(rows.copy(), statistics=stats), marqolin(folder.path).preprocess(rows.copy())
    )
    assert record_bytes(m) == before  # replaying neither reads nor writes batch tables


def test_one_row_at_a_time_gets_its_prediction_of_the_whole_batch(folders):
    from orvalis import marqolin

    folder = folders["penguins"]
    m = marqolin(folder.path)
    stats = m.freeze_statistics(folder.train)
    rows = pd.read_csv(folder.holdout)
    together = m.predict_proba(rows.copy(), statistics=stats)
    alone = np.concatenate(
        [m.predict_proba(rows.iloc[[i]].copy(), statistics=stats) for i in range(len(rows))]
    )
    np.testing.assert_array_equal(alone, together)
    # without the statistics a lone row's features are not the batch's
    x_alone = marqolin(folder.path).preprocess(rows.iloc[[0]].copy())
    x_batch = marqolin(folder.path).preprocess(rows.copy()).iloc[[0]]
    assert not np.allclose(x_alone.select_dtypes("number").to_numpy(float),
                           x_batch.select_dtypes("number").to_numpy(float))


def test_a_stream_scored_row_by_row_with_extended_history_equals_the_rows_together(folders):
    from orvalis import marqolin

    folder = folders["grunfeld"]
    m = marqolin(folder.path)
    train = pd.read_csv(folder.train)
    rows = pd.read_csv(folder.holdout)
    stats = m.freeze_statistics(train).extended(train)
    together = m.predict(rows.copy(), statistics=stats)
    current, got = stats, []
    for i in range(len(rows)):
        one = rows.iloc[[i]].copy()
        got.append(m.predict(one.copy(), statistics=current))
        current = current.extended(one)
    np.testing.assert_allclose(np.concatenate(got), together, rtol=1e-12)
    # rows scored right after the reference see its last rows in their windows
    fresh = m.predict(rows.copy(), statistics=m.freeze_statistics(train))
    assert not np.allclose(fresh, together)


def test_the_sixty_feature_folder(sixty_feature_folder):
    from orvalis import marqolin

    path, rows = sixty_feature_folder
    m = marqolin(path)
    stats = m.freeze_statistics(rows)
    batch = marqolin(path).preprocess(rows.copy())
    assert_frame_equal(m.preprocess(rows.copy(), statistics=stats), batch)
    np.testing.assert_array_equal(
        m.predict_proba(rows.copy(), statistics=stats), marqolin(path).predict_proba(rows.copy())
    )
    # the names without windows give every row its own features, whatever the chunking
    names = [n for n in m.adv_features if not has_window(n)]
    X = m.preprocess(rows.copy(), statistics=stats)
    Xc = pd.concat(
        [m.preprocess(rows.iloc[a:a + 7].copy(), statistics=stats) for a in range(0, 49, 7)],
        ignore_index=True,
    )
    cols = [c for c in names if c in X.columns]
    assert len(cols) > 30
    assert_frame_equal(float_values(Xc[cols]), float_values(X[cols].iloc[:49]), check_dtype=False)


# --- files -----------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def grunfeld_stats(folders):
    from orvalis import marqolin

    folder = folders["grunfeld"]
    m = marqolin(folder.path)
    return m, m.freeze_statistics(folder.train).extended(folder.train)


def test_a_file_holds_the_statistics_and_their_history(folders, grunfeld_stats, tmp_path):
    import orvalis
    from orvalis import marqolin

    m, stats = grunfeld_stats
    path = tmp_path / "sub" / "stats.npz"  # a missing folder is made
    stats.save(path)
    assert os.listdir(tmp_path / "sub") == ["stats.npz"]  # no temporary file left
    loaded = orvalis.frozen_statistics.load(path)
    assert loaded.fingerprint == stats.fingerprint and len(loaded) == len(stats)
    rows = pd.read_csv(folders["grunfeld"].holdout)
    other = marqolin(folders["grunfeld"].path)
    want = m.predict(rows.copy(), statistics=stats)
    np.testing.assert_array_equal(other.predict(rows.copy(), statistics=loaded), want)
    # once used it is bound to the folder, and can be extended there
    assert len(loaded.extended(rows.iloc[:3]).__reduce__()[1][0]) > 0
    # a pickle carries the same plain data
    again = pickle.loads(pickle.dumps(stats))
    np.testing.assert_array_equal(other.predict(rows.copy(), statistics=again), want)
    with zipfile.ZipFile(path) as z:
        assert not any(n.endswith(".pkl") for n in z.namelist())


def test_statistics_of_another_folder_are_refused_naming_both(folders, grunfeld_stats):
    from orvalis import marqolin

    _, stats = grunfeld_stats
    penguins = marqolin(folders["penguins"].path)
    with pytest.raises(ValueError, match="grunfeld.*penguins"):
        penguins.predict(folders["penguins"].holdout, statistics=stats)
    with pytest.raises(TypeError, match="frozen_statistics"):
        penguins.predict(folders["penguins"].holdout, statistics={"a": 1})
    with pytest.raises(TypeError):
        penguins.predict(folders["penguins"].holdout, stats)  # keyword only


def damaged_copies(source: bytes, tmp_path) -> dict[str, bytes]:
    """The file cut short, one byte flipped in the middle, a header edited consistently (the
    zip rewritten, only the digest stale), another format version, and not a zip at all."""
    import io
    import json

    def rewritten(edit) -> bytes:
        with np.load(io.BytesIO(source), allow_pickle=False) as z:
            members = {k: z[k] for k in z.files}
        header = json.loads(members["header"].tobytes())
        edit(header, members)
        members["header"] = np.frombuffer(json.dumps(header).encode(), dtype="uint8")
        out = io.BytesIO()
        np.savez(out, **members)
        return out.getvalue()

    def version(header, members):
        header["version"] = 99

    def fingerprint(header, members):
        header["fingerprint"] = "0" * 64

    def objects(header, members):
        members["a0"] = np.array([print], dtype=object)

    flipped = bytearray(source)
    flipped[len(source) // 2] ^= 0xFF
    return {
        "truncated": source[: len(source) * 2 // 3],
        "flipped": bytes(flipped),
        "edited": rewritten(fingerprint),
        "version": rewritten(version),
        "pickled object": rewritten(objects),
        "text": b"not a file of statistics",
        "empty": b"",
    }


def test_a_damaged_or_foreign_file_is_refused_clearly(grunfeld_stats, tmp_path):
    import orvalis

    _, stats = grunfeld_stats
    good = tmp_path / "good.npz"
    stats.save(good)
    for kind, data in damaged_copies(good.read_bytes(), tmp_path).items():
        bad = tmp_path / f"{kind}.npz"
        bad.write_bytes(data)
        expected = "版本为 99" if kind == "version" else "frozen_statistics"
        with pytest.raises(ValueError, match=expected):
            orvalis.frozen_statistics.load(bad)
    with pytest.raises(FileNotFoundError):
        orvalis.frozen_statistics.load(tmp_path / "absent.npz")


def test_statistics_read_from_a_file_extend_only_once_bound(grunfeld_stats, tmp_path):
    import orvalis

    _, stats = grunfeld_stats
    stats.save(tmp_path / "s.npz")
    loaded = orvalis.frozen_statistics.load(tmp_path / "s.npz")
    with pytest.raises(ValueError, match="尚未与结果文件夹绑定"):
        loaded.extended(pd.DataFrame({"a": [1]}))
    with pytest.raises(TypeError, match="不能直接构造"):
        orvalis.frozen_statistics()


@pytest.mark.parametrize(
    "tamper",
    ["offset past the end", "negative offset", "zero count", "values out of order",
     "lengths differ", "not a table"],
)
def test_a_ranking_that_does_not_fit_together_is_refused(brevant, tamper):
    """Recorded rankings are checked before the kernel reads them (a file's digest can be
    recomputed by whoever edits it)."""
    df = pd.DataFrame({"g": ["a", "a", "b"], "x": [1.0, 2.0, 3.0]})
    names = ["percentile###x$$$", "crossrank###g|||x$$$"]
    entries: list = []
    run(brevant, df.copy(), names, {}, entries, "capture")
    for k, (feature, role, table) in enumerate(entries):
        keys, offsets, values, counts, ranks = table
        if tamper == "offset past the end":
            offsets = offsets.copy()
            offsets[-1] = 1_000_000
        elif tamper == "negative offset":
            offsets = offsets.copy()
            offsets[0] = -5
        elif tamper == "zero count":
            counts = np.zeros_like(counts)
        elif tamper == "values out of order":
            values = values[::-1].copy()
        elif tamper == "lengths differ":
            ranks = ranks[:-1]
        entries[k] = (feature, role, (keys, offsets, values, counts, ranks))
        if tamper == "not a table":
            entries[k] = (feature, role, (keys, offsets))
    with pytest.raises(ValueError, match="damaged"):
        run(brevant, df.copy(), names, {}, entries, "replay")


@pytest.mark.parametrize("rows", [50, 6000], ids=["searched", "walked"])
def test_ranks_against_the_reference_as_if_inserted(brevant, rows):
    """percentile and crossrank of later rows, few (a search per row) or many (one walk in value
    order), against the rule written in NumPy."""
    rng = np.random.default_rng(rows)
    reference = pd.DataFrame(
        {"g": rng.choice(["a", "b", "c"], 7000), "x": rng.integers(0, 400, 7000) / 4.0}
    )
    reference.loc[rng.random(7000) < 0.05, "x"] = np.nan
    names = ["percentile###x$$$", "crossrank###g|||x$$$"]
    entries: list = []
    frozen = run(brevant, reference.copy(), names, {}, entries, "capture")
    later = pd.DataFrame(
        {"g": rng.choice(["a", "b", "c", "z"], rows), "x": rng.integers(-20, 440, rows) / 8.0}
    )
    later.loc[rng.random(rows) < 0.05, "x"] = np.nan
    got = run(brevant, later.copy(), names, {}, entries, "replay")

    def expected(ref_x, ref_rank, x, fraction):
        known = dict(zip(ref_x[~np.isnan(ref_x)], ref_rank[~np.isnan(ref_x)]))
        values = np.sort(ref_x[~np.isnan(ref_x)])
        out = np.full(len(x), np.nan)
        for i, v in enumerate(x):
            if np.isnan(v):
                continue
            under = np.searchsorted(values, v, side="left")
            out[i] = known.get(v, (under + 1) / (len(values) + 1) if fraction else under + 1)
        return out

    np.testing.assert_array_equal(
        got["percentile###x$$$"],
        expected(reference["x"].to_numpy(), frozen["percentile###x$$$"].to_numpy(),
                 later["x"].to_numpy(), True),
    )
    for g in ("a", "b", "c", "z"):
        mine, theirs = later["g"] == g, reference["g"] == g
        want = expected(reference.loc[theirs, "x"].to_numpy(),
                        frozen.loc[theirs, "crossrank###g|||x$$$"].to_numpy(),
                        later.loc[mine, "x"].to_numpy(), False)
        if g == "z":
            want[:] = np.nan  # a group the reference lacks
        np.testing.assert_array_equal(got.loc[mine, "crossrank###g|||x$$$"], want)
