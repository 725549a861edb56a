"""name2feature: argument patterns, recursion for missing arguments, drops, errors."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest


@pytest.fixture
def table():
    rng = np.random.default_rng(3)
    return pd.DataFrame(
        {"a": rng.normal(size=20), "b": rng.normal(size=20), "c": rng.integers(1, 9, size=20)}
    )


def test_empty_list_returns_table_unchanged(brevant, table):
    before = table.copy()
    assert brevant.name2feature(table, []) is table
    pd.testing.assert_frame_equal(table, before)


@pytest.mark.parametrize("feature_space", [("add###a|||b$$$",), "add###a|||b$$$", None, {"x"}])
def test_feature_space_must_be_a_list(brevant, table, feature_space):
    with pytest.raises(AssertionError) as err:
        brevant.name2feature(table, feature_space)
    assert str(err.value) == ""
    assert list(table.columns) == ["a", "b", "c"]


@pytest.mark.parametrize(
    "key",
    [
        "age",
        "target###a$$$",
        "indneutralize###a|||3$$$",
        "sum###a|||b$$$",
        "year###a$$$",
        "day_of_week###a$$$",
    ],
)
def test_unsupported_keywords(brevant, table, key):
    with pytest.raises(RuntimeError) as err:
        brevant.name2feature(table, [key])
    assert str(err.value) == "Do not support this OP: " + key


def test_nested_argument_is_built_and_dropped(brevant, table):
    out = brevant.name2feature(table, ["log###add###a|||b$$$$$$"])
    assert list(out.columns) == ["a", "b", "c", "log###add###a|||b$$$$$$"]
    expected = brevant.add(table[["a", "b"]].copy(), "a", "b")["add###a|||b$$$"]
    expected = np.log(1e-06 + expected - expected.min())
    np.testing.assert_allclose(out["log###add###a|||b$$$$$$"], expected, rtol=1e-12)


def test_existing_argument_is_used_not_rebuilt_and_kept(brevant, table):
    table["add###a|||b$$$"] = 5.0  # a stale value the dispatcher must use as it is
    brevant.name2feature(table, ["log###add###a|||b$$$$$$"])
    assert "add###a|||b$$$" in table
    assert (table["add###a|||b$$$"] == 5.0).all()
    np.testing.assert_allclose(table["log###add###a|||b$$$$$$"], np.log(1e-06))


def test_doubly_nested_and_repeated_arguments(brevant, table):
    names = ["add###log###a$$$|||log###a$$$$$$", "sine###add###log###b$$$|||c$$$$$$"]
    out = brevant.name2feature(table, names)
    assert list(out.columns) == ["a", "b", "c", *names]
    la = np.log(1e-06 + table["a"] - table["a"].min())
    s = 2 * la
    np.testing.assert_allclose(out[names[0]], (s - s.mean()) / s.std(), rtol=1e-12)


def test_name_listed_twice_is_recomputed_in_place(brevant, table):
    out = brevant.name2feature(table, ["sine###a$$$", "add###a|||c$$$", "sine###a$$$"])
    assert list(out.columns) == ["a", "b", "c", "sine###a$$$", "add###a|||c$$$"]


def test_failure_keeps_earlier_columns_and_intermediates(brevant, table):
    with pytest.raises(RuntimeError, match="Do not support this OP: target###add###a"):
        brevant.name2feature(table, ["sine###a$$$", "target###add###a|||b$$$$$$"])
    assert list(table.columns) == ["a", "b", "c", "sine###a$$$", "add###a|||b$$$"]


def test_two_argument_keyword_with_one_argument_prints_keyword(brevant, table, capsys):
    with pytest.raises(ValueError, match="one argument"):
        brevant.name2feature(table, ["add###a$$$"])
    assert capsys.readouterr().out == "add\n"


@pytest.mark.parametrize("key", ["tcorrelation###a|||b$$$", "aggregate###mean|||a$$$"])
def test_missing_parts_of_longer_patterns_are_index_errors(brevant, table, key):
    with pytest.raises(IndexError):
        brevant.name2feature(table, [key])


def test_operators_are_found_in_the_module_namespace(brevant, table, monkeypatch):
    calls = []

    def fake_round(df, i):
        calls.append(i)
        df["seen"] = 1
        return df

    monkeypatch.setattr(brevant, "round", fake_round)
    brevant.name2feature(table, ["round###a$$$"])
    assert calls == ["a"] and "seen" in table


@pytest.mark.parametrize(
    "key, call",
    [
        ("aggregate###mean|||price|||shop$$$", ("price", "shop", ["mean"], "REC")),
        ("crosscount###shop|||item$$$", (["shop", "item"], "REC")),
        ("nunique###user|||shop$$$", ("user", "shop", "REC")),
        ("count###shop$$$", ("shop", "REC")),
        ("tcorvariance###a|||b|||7$$$", ("a", "b", "7")),
        ("delay###a|||3$$$", ("a", "3")),
    ],
)
def test_argument_patterns(brevant, table, monkeypatch, key, call):
    record = {"marker": 1}
    seen = []
    op = key.split("###")[0]

    def fake(df, *args):
        seen.append(tuple("REC" if a is record else a for a in args))
        return df

    monkeypatch.setattr(brevant, op, fake, raising=False)
    brevant.name2feature(table, [key], record)
    assert seen == [call]


def test_default_record_is_shared_between_calls(brevant, table, monkeypatch):
    records = []

    def fake_count(df, col, rec):
        records.append(rec)
        rec.setdefault("hits", 0)
        rec["hits"] += 1
        return df

    monkeypatch.setattr(brevant, "count", fake_count, raising=False)
    brevant.name2feature(table, ["count###a$$$"])
    brevant.name2feature(table, ["count###b$$$"], cfg={"ignored": True})
    assert records[0] is records[1] and records[0]["hits"] >= 2
    explicit = {}
    brevant.name2feature(table, ["count###a$$$"], explicit)
    assert explicit == {"hits": 1}


def test_operator_returning_a_new_table_is_continued_with(brevant, table, monkeypatch):
    def fake_count(df, col, rec):
        new = df.copy()
        new["count###" + col + "$$$"] = 1
        return new

    monkeypatch.setattr(brevant, "count", fake_count, raising=False)
    out = brevant.name2feature(table, ["sine###count###a$$$$$$"], {})
    assert out is not table
    assert list(out.columns) == ["a", "b", "c", "sine###count###a$$$$$$"]
