"""Every native entry point of brevant and strendal fed random and hostile input in-process.

Each call must either return or raise an ordinary Python exception; a crash takes the whole run
down, which is the failure these tests exist to catch. A SystemError is a failure too: it is how
the interpreter reports an extension that broke the C-API contract (a result with an exception
set, an error without one).

The inputs: names of every Unicode width with lone surrogates, NUL and delimiter fragments at
either end, nested and deeply nested; windows such as "0", "-1", non-ASCII digits and values far
beyond int64; tables that are empty, one row or all missing, on read-only and strided buffers,
of every pandas dtype (nullable, string, category, tz-aware dates, sparse, complex...), with
duplicate or non-text column labels and MultiIndex rows; records holding junk under the keys the
group statistics read.

ORVALIS_FUZZ_EXAMPLES sets the examples per entry point (default 25, about a minute for the
file); ORVALIS_FUZZ_SEED draws other cases than the fixed ones; ORVALIS_FUZZ_REPORT names a file
that receives the per-entry-point counts of the run.
"""

from __future__ import annotations

import ast
import collections
import json
import os
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, seed, settings
from hypothesis import strategies as st

from module.common import task_config
from orvalis.module.dataprocess.strendal import LabelEncoderWithOOV

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = os.path.dirname(os.path.abspath(__import__("orvalis").__file__))

EXAMPLES = int(os.environ.get("ORVALIS_FUZZ_EXAMPLES", "25"))
SEED = os.environ.get("ORVALIS_FUZZ_SEED")  # other cases than the fixed ones, for longer runs


def fuzz(*args, **kwargs):
    """given(...) with the suite's settings: the same cases on every run unless SEED is set."""

    def decorate(fn):
        fn = given(*args, **kwargs)(fn)
        fn = settings(
            max_examples=EXAMPLES,
            deadline=None,
            derandomize=SEED is None,
            database=None,
            suppress_health_check=list(HealthCheck),
        )(fn)
        return seed(int(SEED))(fn) if SEED is not None else fn

    return decorate

# cases, returned, raised: per entry point, for the run's report, with one message per error type
COUNTS: dict[str, collections.Counter] = collections.defaultdict(collections.Counter)
SAMPLES: dict[str, dict[str, str]] = collections.defaultdict(dict)


@pytest.fixture(autouse=True)
def _report():
    yield  # written after every test, so that a run cut short still leaves its counts
    path = os.environ.get("ORVALIS_FUZZ_REPORT")
    if path:
        with open(path, "w", encoding="utf-8") as f:
            report = {k: {**v, "samples": SAMPLES[k]} for k, v in sorted(COUNTS.items())}
            json.dump(report, f, indent=1, ensure_ascii=True)


def call(entry, fn, *args, **kwargs):
    """fn(*args): returns, or raises an ordinary exception (never SystemError)."""
    COUNTS[entry]["cases"] += 1
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            result = fn(*args, **kwargs)
    except SystemError as e:
        raise AssertionError(f"{entry}: the extension broke the C-API contract: {e!r}") from e
    except Exception as e:  # noqa: BLE001  (any ordinary exception is an acceptable answer)
        COUNTS[entry]["raised"] += 1
        COUNTS[entry][f"raised {type(e).__name__}"] += 1
        SAMPLES[entry].setdefault(type(e).__name__, str(e)[:200])
        return None
    COUNTS[entry]["returned"] += 1
    return result


# --- the entry points, as the stubs list them ------------------------------------------------


def stub_functions(path):
    with open(path, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    return {n.name for n in tree.body if isinstance(n, ast.FunctionDef)}


def stub_methods(path, cls):
    with open(path, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    (node,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == cls]
    return {n.name for n in node.body if isinstance(n, ast.FunctionDef)}


ONE_COLUMN = ["entropy", "sine", "cosine", "square_root", "percentile", "quadratic", "log",
              "round", "sigmoid", "residual", "softmax"]  # fmt: skip
TWO_COLUMN = ["add", "subtract", "multiply", "divide", "minimize", "maximize", "bigger",
              "smaller", "equal", "orop", "combine", "crossrank"]  # fmt: skip
WINDOWED = ["delay", "delta", "ts_o", "tsum", "ts_mean", "ts_max", "ts_min", "stddev", "ts_rank",
            "product", "ts_argmax", "ts_argmin", "decay_linear", "indneutralize"]  # fmt: skip
PAIR_WINDOWED = ["tcorrelation", "tcorvariance"]
CALENDAR = ["year", "month", "day_of_week", "day_of_year"]
GROUP_STATS = ["count", "crosscount", "aggregate", "nunique", "histstat"]
NAMES_ONLY = ["split_features", "is_combination_feature", "name2formula", "feature2table"]
DRIVERS = ["name2feature", "name2timefeature", "left_merge", "concat"]
FUZZED = set(ONE_COLUMN + TWO_COLUMN + WINDOWED + PAIR_WINDOWED + CALENDAR + GROUP_STATS)
FUZZED |= set(NAMES_ONLY + DRIVERS)


def test_every_native_entry_point_is_fuzzed(brevant):
    stubbed = stub_functions(os.path.join(PACKAGE, "brevant.pyi"))
    assert stubbed == FUZZED
    assert all(callable(getattr(brevant, name)) for name in stubbed)
    methods = stub_methods(
        os.path.join(PACKAGE, "module", "dataprocess", "strendal.pyi"), "LabelEncoderWithOOV"
    )
    assert methods == {"__init__", "fit", "transform"}


# --- names ----------------------------------------------------------------------------------

KEYWORDS = sorted(set(ONE_COLUMN + TWO_COLUMN + WINDOWED + PAIR_WINDOWED + GROUP_STATS)) + [
    "target", "sum", "", "x", "LOG", "log ", "ts_rank\x00",
]  # fmt: skip
FRAGMENTS = ["#", "##", "###", "$", "$$", "$$$", "|", "||", "|||", "@", "@@@", "####", "$$$$"]

characters = st.one_of(
    st.sampled_from("#$|@ _-.0a"),
    st.integers(0x20, 0x7E).map(chr),  # ASCII
    st.integers(0x80, 0xFF).map(chr),  # Latin-1: still one byte per unit in CPython
    st.integers(0x100, 0xD7FF).map(chr),  # two bytes per unit
    st.integers(0xE000, 0xFFFF).map(chr),
    st.integers(0x10000, 0x10FFFF).map(chr),  # four bytes per unit
    st.integers(0xD800, 0xDFFF).map(chr),  # lone surrogates: no UTF-8 form
    st.just("\x00"),
)
plain_names = st.text(characters, max_size=8)


def engineered(leaves):
    """keyword###arg|||arg$$$ trees over the given leaves."""
    return st.recursive(
        leaves,
        lambda inner: st.tuples(st.sampled_from(KEYWORDS), st.lists(inner, min_size=1, max_size=4))
        .map(lambda t: t[0] + "###" + "|||".join(t[1]) + "$$$"),
        max_leaves=8,
    )


@st.composite
def deep(draw, leaves):
    """A name nested `depth` levels; kept to depths the C stack of any thread survives."""
    depth = draw(st.integers(1, 40))
    keyword = draw(st.sampled_from(["log", "add", "ts_rank", "count", "sine"]))
    leaf = draw(leaves)
    if keyword == "add":  # add###add###a|||a$$$|||a$$$
        return "add###" * depth + leaf + ("|||" + leaf + "$$$") * depth
    if keyword == "ts_rank":
        return "ts_rank###" * depth + leaf + "|||2$$$" * depth
    return (keyword + "###") * depth + leaf + "$$$" * depth


@st.composite
def mangled(draw, names):
    """A name with a delimiter fragment glued to an end, or cut short anywhere."""
    name = draw(names)
    how = draw(st.sampled_from(["as is", "prefix", "suffix", "both", "cut"]))
    if how == "cut" and name:
        return name[: draw(st.integers(0, len(name)))]
    if how in ("prefix", "both"):
        name = draw(st.sampled_from(FRAGMENTS)) + name
    if how in ("suffix", "both"):
        name = name + draw(st.sampled_from(FRAGMENTS))
    return name


def names_over(leaves):
    return st.one_of(
        mangled(engineered(leaves)), deep(leaves), mangled(leaves), st.sampled_from(FRAGMENTS)
    )


any_names = names_over(plain_names)

# --- windows --------------------------------------------------------------------------------

# Windows between about 10**7 and 2**40 are left out on purpose: pandas' own formulation of
# decay_linear allocates a weight per window row, and on a shared machine such an allocation may
# succeed and then exhaust memory. Beyond 2**40 every allocation fails at once.
window_texts = st.one_of(
    st.sampled_from(
        ["0", "-1", "1", "2", "3", "-2", "-0", "+3", " 2", "2 ", "1_0", "٣", "３", "߃", "𝟑",
         "2.5", "1e3", "", "abc", "nan", "inf", "0x10", "\x00", "3\ud800"]
    ),  # fmt: skip
    st.integers(-40, 40).map(str),
    st.sampled_from([2**40, 2**62, 2**63 - 1, 2**63, 2**64 + 1, 10**30, -(2**63), -(2**63) - 1])
    .map(str),  # fmt: skip
)
windows = st.one_of(
    window_texts, st.sampled_from([3, 0, -1, 2.0, None, b"2", [2], 2**63]), window_texts
)

# --- tables ---------------------------------------------------------------------------------

ROWS = [0, 1, 1, 2, 3, 5, 8, 17, 40]
KINDS = [
    "float64", "all_nan", "float32", "float16", "int64", "int8", "uint64", "uint8", "bool",
    "object_mixed", "object_text", "Int64", "Float64", "boolean", "string", "string[pyarrow]",
    "category", "category_int", "datetime", "datetime_tz", "timedelta", "date_text", "complex",
    "sparse", "period", "interval", "constant",
]  # fmt: skip
floats = st.floats(allow_nan=True, allow_infinity=True, width=64)
atoms = st.one_of(
    plain_names, st.none(), st.just(np.nan), st.just(pd.NA), st.integers(-(2**70), 2**70), floats,
    st.booleans(), st.just(pd.NaT), st.tuples(st.integers(0, 3)),
)  # fmt: skip


def column(draw, kind, n):
    def nums(elements):
        return draw(st.lists(elements, min_size=n, max_size=n))

    if kind in ("float64", "float32", "float16"):
        with np.errstate(over="ignore"):  # large values become inf, which is wanted
            return np.array(nums(floats), dtype=kind)
    if kind == "all_nan":
        return np.full(n, np.nan)
    if kind == "constant":
        return np.full(n, draw(st.sampled_from([0.0, 1.0, -7.5, 1e308])))
    if kind in ("int64", "int8", "uint64", "uint8"):
        info = np.iinfo(kind)
        return np.array(nums(st.integers(int(info.min), int(info.max))), dtype=kind)
    if kind == "bool":
        return np.array(nums(st.booleans()), dtype=bool)
    if kind == "object_mixed":
        return np.array(nums(atoms) + [None], dtype=object)[:n]
    if kind == "object_text":
        return np.array(nums(plain_names) + [""], dtype=object)[:n]
    if kind == "Int64":
        return pd.array(nums(st.one_of(st.none(), st.integers(-(2**62), 2**62))), dtype="Int64")
    if kind == "Float64":
        return pd.array(nums(st.one_of(st.none(), floats)), dtype="Float64")
    if kind == "boolean":
        return pd.array(nums(st.one_of(st.none(), st.booleans())), dtype="boolean")
    if kind in ("string", "string[pyarrow]"):
        # pyarrow strings are UTF-8 and refuse lone surrogates
        text = st.text(st.characters(exclude_categories=["Cs"]), max_size=5)
        values = nums(st.one_of(st.none(), text if kind != "string" else plain_names))
        return pd.array(values, dtype=kind)
    if kind == "category":
        return pd.Categorical(nums(st.one_of(st.none(), st.sampled_from(["a", "b", "\ud800", "ü"]))))
    if kind == "category_int":
        return pd.Categorical(nums(st.one_of(st.none(), st.integers(-3, 3))))
    if kind in ("datetime", "datetime_tz"):
        stamps = nums(st.one_of(st.none(), st.integers(-(2**62), 2**62)))
        values = pd.to_datetime(pd.array(stamps, dtype="Int64"), unit="ns")
        return values.tz_localize("Asia/Kolkata") if kind == "datetime_tz" else values
    if kind == "timedelta":
        return pd.to_timedelta(pd.array(nums(st.one_of(st.none(), st.integers(-99, 99))), "Int64"))
    if kind == "date_text":
        dates = st.sampled_from(["2021-01-31", "1999-12-31 23:59", "garbage", "", "0", "2021-02-30"])
        return np.array(nums(st.one_of(st.none(), dates)), dtype=object)
    if kind == "complex":
        with np.errstate(invalid="ignore"):  # inf * 1j has a NaN real part, which is wanted
            return np.array(nums(floats), dtype=complex) * 1j
    if kind == "sparse":
        return pd.arrays.SparseArray(nums(st.one_of(st.just(np.nan), floats)))
    if kind == "period":
        return pd.period_range("2020-01", periods=n, freq="M").array
    if kind == "interval":
        return pd.arrays.IntervalArray.from_breaks(np.arange(n + 1.0))
    raise AssertionError(kind)


def oddly_stored(draw, values):
    """A NumPy column on a strided and/or read-only buffer (the frame keeps it with copy=False)."""
    if not isinstance(values, np.ndarray) or values.dtype == object:
        return values
    if draw(st.booleans()):
        strided = np.empty(2 * len(values), dtype=values.dtype)[::2]
        strided[:] = values
        values = strided
    if draw(st.booleans()):
        values = values.copy() if values.flags.writeable is False else values
        values.flags.writeable = False
    return values


text_labels = st.one_of(st.sampled_from(["a", "b", "c", "price", "shop", "x y"]), plain_names)
label_atoms = st.one_of(
    text_labels, text_labels, text_labels, st.integers(-2, 2), st.just(np.nan), st.none(),
    st.booleans(), st.just(("a", 1)), st.just(2.5),
)  # fmt: skip


@st.composite
def row_index(draw, n):
    kind = draw(st.sampled_from(["range", "range", "shuffled", "repeated", "text", "multi", "dates"]))
    if kind == "range" or n == 0:
        return pd.RangeIndex(n) if kind == "range" else pd.Index([], dtype=object)
    if kind == "shuffled":
        return pd.Index(draw(st.permutations(list(range(n)))))
    if kind == "repeated":
        return pd.Index([k % 2 for k in range(n)])
    if kind == "text":
        return pd.Index([f"r{k % 3}\ud800" for k in range(n)])
    if kind == "multi":
        return pd.MultiIndex.from_arrays([[k % 2 for k in range(n)], [f"s{k}" for k in range(n)]])
    return pd.date_range("2021-03-28", periods=n, freq="h", tz="Europe/Paris")


@st.composite
def tables(draw, min_cols=1, max_cols=4):
    n = draw(st.sampled_from(ROWS))
    ncols = draw(st.integers(min_cols, max_cols))
    labels = []
    for _ in range(ncols):
        if labels and draw(st.integers(0, 5)) == 0:
            labels.append(draw(st.sampled_from(labels)))  # a duplicate label
        else:
            labels.append(draw(label_atoms))
    layout = draw(st.sampled_from(["columns", "columns", "block", "block_strided"]))
    if layout == "columns":
        data = [oddly_stored(draw, column(draw, draw(st.sampled_from(KINDS)), n)) for _ in labels]
        df = pd.DataFrame(dict(enumerate(data)), copy=False)
        df.columns = pd.Index(labels, dtype=object, tupleize_cols=False)
    else:
        # one 2-D float block: read-only, and strided per column when the frame holds its rows
        block = np.array(draw(st.lists(floats, min_size=n * ncols, max_size=n * ncols)))
        block = block.reshape(n, ncols)
        if layout == "block_strided":
            block = np.asfortranarray(block)[:, :]
        block.flags.writeable = False
        df = pd.DataFrame(block, copy=False)
        df.columns = pd.Index(labels, dtype=object, tupleize_cols=False)
    df.index = draw(row_index(n))
    return df


def labels_of(df):
    return list(df.columns)


@st.composite
def column_args(draw, df):
    """A column argument: mostly a label of the table, sometimes anything."""
    labels = labels_of(df)
    choice = draw(st.integers(0, 9))
    if labels and choice < 7:
        return draw(st.sampled_from(labels))
    if choice == 7:
        return draw(any_names)
    return draw(st.sampled_from([None, 0, 1.5, ["a"], ("a", 1), b"a", object()]))


@st.composite
def groupings(draw, df):
    """The task's grouping column for the call: none, a label, several, a missing one."""
    labels = labels_of(df)
    choice = draw(st.integers(0, 5))
    if choice <= 1 or not labels:
        return None
    if choice <= 3:
        return draw(st.sampled_from(labels))
    if choice == 4:
        return draw(st.lists(st.sampled_from(labels), min_size=1, max_size=2))
    return draw(st.sampled_from(["nowhere", 17, ("a", 1)]))


def grouped_call(entry, group, fn, *args):
    with task_config.active({"Feature": {"GroupIndex": group}}):
        return call(entry, fn, *args)


# --- the operators of a table ---------------------------------------------------------------


@pytest.mark.parametrize("op", ONE_COLUMN)
def test_one_column_operators(brevant, op):
    @fuzz(data=st.data())
    def run(data):
        df = data.draw(tables())
        call(op, getattr(brevant, op), df, data.draw(column_args(df)))

    run()


@pytest.mark.parametrize("op", TWO_COLUMN)
def test_two_column_operators(brevant, op):
    @fuzz(data=st.data())
    def run(data):
        df = data.draw(tables())
        c1, c2 = data.draw(column_args(df)), data.draw(column_args(df))
        grouped_call(op, data.draw(groupings(df)), getattr(brevant, op), df, c1, c2)

    run()


@pytest.mark.parametrize("op", WINDOWED)
def test_window_operators(brevant, op):
    @fuzz(data=st.data())
    def run(data):
        df = data.draw(tables())
        col, d = data.draw(column_args(df)), data.draw(windows)
        grouped_call(op, data.draw(groupings(df)), getattr(brevant, op), df, col, d)

    run()


@pytest.mark.parametrize("op", PAIR_WINDOWED)
def test_pair_window_operators(brevant, op):
    @fuzz(data=st.data())
    def run(data):
        df = data.draw(tables())
        c1, c2, d = data.draw(column_args(df)), data.draw(column_args(df)), data.draw(windows)
        grouped_call(op, data.draw(groupings(df)), getattr(brevant, op), df, c1, c2, d)

    run()


@pytest.mark.parametrize("op", CALENDAR)
def test_calendar_operators(brevant, op):
    @fuzz(data=st.data())
    def run(data):
        df = data.draw(tables())
        call(op, getattr(brevant, op), df, data.draw(column_args(df)))

    run()


junk_records = st.sampled_from(
    [None, 0, "x", [], {}, pd.DataFrame(), pd.DataFrame({"a": [1]}), pd.Series([1.0]), np.nan]
)
stat_lists = st.one_of(
    st.lists(st.sampled_from(["min", "max", "mean", "median", "var", "sum", "std", "nope", ""]),
             max_size=3),  # fmt: skip
    st.sampled_from([None, "mean", ("min",), [1], [None]]),
)


@pytest.mark.parametrize("op", GROUP_STATS)
def test_group_statistics(brevant, op):
    """Each operator once with a fresh record, then again after its entries became junk."""

    @fuzz(data=st.data())
    def run(data):
        df = data.draw(tables())
        a, b = data.draw(column_args(df)), data.draw(column_args(df))
        record = data.draw(st.sampled_from([{}, {}, None, [], "record"]))
        f = getattr(brevant, op)
        if op == "count":
            args = (a, record)
        elif op == "crosscount":
            cols = data.draw(st.one_of(st.just([a, b]), st.just([a]), st.just(a), st.just([])))
            args = (cols, record)
        elif op == "histstat":
            args = (a, b, data.draw(stat_lists))
        elif op == "aggregate":
            args = (a, b, data.draw(stat_lists), record)
        else:
            args = (a, b, record)
        call(op, f, df.copy(), *args)
        if isinstance(record, dict) and record:
            for key in list(record):
                record[key] = data.draw(junk_records)
            call(op, f, df.copy(), *args)

    run()


# --- names, dispatch, tables ----------------------------------------------------------------


def test_name_functions(brevant):
    @fuzz(name=st.one_of(any_names, st.sampled_from([None, 3, b"log###a$$$", ["a"]])))
    def run(name):
        call("split_features", brevant.split_features, name)
        call("is_combination_feature", brevant.is_combination_feature, name)
        call("name2formula", brevant.name2formula, name)

    run()


def test_feature2table(brevant):
    @fuzz(names=st.one_of(st.lists(any_names, max_size=4), st.sampled_from([None, "a", ("a",)])))
    def run(names):
        call("feature2table", brevant.feature2table, names)

    run()


@st.composite
def feature_lists(draw, df):
    text_labels = [c for c in labels_of(df) if isinstance(c, str)]
    leaves = st.one_of(st.sampled_from(text_labels), window_texts) if text_labels else plain_names
    names = st.lists(names_over(leaves), max_size=3)
    return draw(st.one_of(names, names, st.sampled_from([None, "log###a$$$", ("log###a$$$",)])))


def test_name2feature(brevant):
    @fuzz(data=st.data())
    def run(data):
        df = data.draw(tables())
        names = data.draw(feature_lists(df))
        record = data.draw(st.sampled_from([{}, {}, None, ["x"]]))
        group = data.draw(groupings(df))
        grouped_call("name2feature", group, brevant.name2feature, df, names, record)

    run()


def test_name2timefeature(brevant):
    @fuzz(data=st.data())
    def run(data):
        df = data.draw(tables())
        cols = st.one_of(column_args(df), plain_names)
        keyword = st.sampled_from(CALENDAR + ["", "week", "YEAR"])
        name = st.builds(lambda k, c, sep: f"{k}{sep}{c}", keyword, cols,
                         st.sampled_from(["@@@", "@@@", "@@", "###", "@@@@@@"]))  # fmt: skip
        names = data.draw(st.one_of(st.lists(name, max_size=3), st.sampled_from([None, "a"])))
        call("name2timefeature", brevant.name2timefeature, df, names)

    run()


def test_left_merge_and_concat(brevant):
    @fuzz(data=st.data())
    def run(data):
        left, right = data.draw(tables()), data.draw(tables())
        on = data.draw(st.one_of(column_args(left), st.lists(column_args(right), max_size=2)))
        call("left_merge", brevant.left_merge, left, right, on)
        parts = data.draw(st.lists(st.sampled_from([left, right, None, 3, "x"]), max_size=3))
        call("concat", brevant.concat, [p.copy() if isinstance(p, pd.DataFrame) else p
                                        for p in parts])  # fmt: skip

    run()


# --- the label encoder ----------------------------------------------------------------------

label_values = st.one_of(
    st.lists(st.sampled_from(["a", "b", "OOV", "", "\ud800", "ü", "a\x00"]), max_size=12),
    st.lists(st.one_of(st.integers(-2, 2), st.just(np.nan)), max_size=12),
    st.lists(atoms, max_size=12),
)


@st.composite
def label_inputs(draw):
    values = draw(label_values)
    how = draw(st.sampled_from(["list", "tuple", "object", "text", "series", "category", "gen"]))
    if how == "tuple":
        return tuple(values)
    if how == "object":
        return np.array(values + [None], dtype=object)[: len(values)]
    if how == "text":
        return np.array([str(v) for v in values], dtype=str)
    if how == "series":
        return pd.Series(values, dtype=object)
    if how == "category":
        return pd.Series(pd.Categorical([str(v) for v in values]))
    if how == "gen":
        return iter(values)
    return values


def test_label_encoder(brevant):
    @fuzz(
        token=st.one_of(st.sampled_from(["OOV", None, "", "\ud800", 0, np.nan]), plain_names),
        fitted=label_inputs(),
        seen=label_inputs(),
        classes=st.sampled_from(
            [None, ["a", "b"], np.array([["a"], ["b"]]), np.array([1, "a", None], dtype=object),
             np.array([], dtype=str), "ab", 3, np.array(["a", "\ud800"], dtype=object)]
        ),  # fmt: skip
    )
    def run(token, fitted, seen, classes):
        enc = call("__init__", LabelEncoderWithOOV, token)
        if enc is None:
            return
        call("transform", enc.transform, seen)  # before fit
        call("fit", enc.fit, fitted)
        call("transform", enc.transform, seen)
        call("transform", enc.transform, [token, token])
        call("transform", enc.transform, seen)  # the classes now end with the token
        enc.classes_ = classes  # as an old or hand-edited pickle may carry them
        call("transform", enc.transform, seen)

    run()


# --- crashes that take the interpreter down, run in a child process ----------------------------


def run_child(code, *flags):
    env = {**os.environ, "PYTHONPATH": os.path.dirname(PACKAGE)}
    return subprocess.run(
        [sys.executable, *flags, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=env,
        timeout=300,
    )


def child_survives(code, *flags):
    """Run code in a fresh interpreter; it must end normally and print 'ok'."""
    done = run_child(code, *flags)
    assert done.returncode == 0 and done.stdout.strip().endswith("ok"), (
        f"exit status {done.returncode}\n{done.stderr[-2000:]}"
    )


def test_deep_nesting_raises_recursion_error():
    child_survives(
        """
        import pandas as pd, orvalis, brevant
        n = 20000
        name = "log###" * n + "a" + "$$$" * n
        try:
            brevant.name2feature(pd.DataFrame({"a": [1.0]}), [name], {})
        except RecursionError:
            print("ok")
        """
    )


ARGS_AFTER = {"name2feature": ", {}", "name2timefeature": "", "crosscount": ", {}"}


@pytest.mark.parametrize("entry", sorted(ARGS_AFTER))
def test_text_where_a_list_belongs_under_optimisation(entry):
    """With assertions off the list checks are skipped; what was given must then be iterated or
    refused with an ordinary exception, never read as a list (a crash, or a SystemError)."""
    child_survives(
        f"""
        import pandas as pd, orvalis, brevant
        df = pd.DataFrame({{"a": [1.0, 2.0], "b": [3, 4]}})
        for names in ("log###a$$$", {{"log###a$$$": 1, "b": 2}}, ("year@@@a",), None, 3, "ab"):
            try:
                brevant.{entry}(df.copy(), names{ARGS_AFTER[entry]})
            except SystemError:
                raise
            except Exception:
                pass
        print("ok")
        """,
        "-O",
    )


def test_label_whose_comparison_empties_the_list():
    child_survives(
        """
        import orvalis
        from orvalis.module.dataprocess.strendal import LabelEncoderWithOOV

        class Emptier:
            def __init__(self, victim):
                self.victim = victim
            def __eq__(self, other):
                self.victim.clear()
                return False
            __hash__ = object.__hash__

        enc = LabelEncoderWithOOV()
        enc.fit(["a", "b"])
        for n in (10, 1_000_000):
            labels = ["a"] * n
            labels[0] = Emptier(labels)
            try:
                codes = enc.transform(labels)
            except Exception:
                continue
            assert len(codes) in (0, n), len(codes)
        print("ok")
        """
    )


def test_deep_formula_on_a_small_thread_stack():
    """name2formula renders 900 nested levels on a 256 KiB thread stack (it used to overflow it
    at about 400) and refuses deeper nesting with RecursionError, on any thread."""
    child_survives(
        """
        import threading, orvalis, brevant

        def nested(n):
            return "log###" * n + "a" + "$$$" * n

        results = []

        def render():
            results.append(brevant.name2formula(nested(901)))
            for n in (902, 20000):
                try:
                    brevant.name2formula(nested(n))
                except RecursionError:
                    results.append(n)

        threading.stack_size(256 * 1024)
        worker = threading.Thread(target=render)
        worker.start()
        worker.join()
        formula, *refused = results
        assert formula == "Log(" * 901 + "a" + ")" * 901 and refused == [902, 20000], results
        print("ok")
        """
    )
