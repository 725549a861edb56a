"""LabelEncoderWithOOV: a scikit-learn LabelEncoder that codes unseen labels as a token."""

from __future__ import annotations

import inspect
import os
import pickle
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from sklearn.base import clone
from sklearn.preprocessing import LabelEncoder

from orvalis.module.dataprocess.strendal import LabelEncoderWithOOV

SRC = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src")


def rule_transform(enc, y):
    """The membership rule written out in Python: a label stays when the classes array holds it,
    otherwise the token takes its place; the token is appended unless classes_ ends with it."""
    if enc.oov_token is not None:
        extended = np.append(enc.classes_, enc.oov_token)
        n = len(enc.classes_)
        if not (n and extended[n - 1] == extended[n]):
            enc.classes_ = extended
    kept = [label if label in enc.classes_ else enc.oov_token for label in y]
    return LabelEncoder.transform(enc, kept)


class TestEstimatorContract:
    def test_is_a_label_encoder_with_its_parameter(self):
        enc = LabelEncoderWithOOV()
        assert isinstance(enc, LabelEncoder)
        assert enc.oov_token == "OOV"
        assert enc.get_params() == {"oov_token": "OOV"}
        assert str(inspect.signature(LabelEncoderWithOOV)) == "(oov_token='OOV')"
        assert str(inspect.signature(LabelEncoderWithOOV.__init__)) == "(self, oov_token='OOV')"
        assert list(inspect.signature(enc.transform).parameters) == ["y"]
        assert list(inspect.signature(enc.fit).parameters) == ["y"]
        assert LabelEncoderWithOOV.__module__ == "orvalis.module.dataprocess.strendal"

    def test_parameters_are_stored_unchanged_and_cloned(self):
        token = ("not", "a", "text")
        enc = LabelEncoderWithOOV(oov_token=token)
        assert enc.oov_token is token
        # clone rebuilds from get_params and refuses an __init__ that alters its parameters
        assert clone(enc).oov_token == token
        assert clone(LabelEncoderWithOOV(None)).oov_token is None
        assert LabelEncoderWithOOV("X").get_params()["oov_token"] == "X"
        assert "oov_token='X'" in repr(LabelEncoderWithOOV("X"))

    def test_fit_returns_none_and_does_not_add_the_token(self):
        enc = LabelEncoderWithOOV()
        assert enc.fit(["b", "a"]) is None
        assert list(enc.classes_) == ["a", "b"]
        # fit_transform is the base class's: no token
        assert list(LabelEncoderWithOOV().fit_transform(["b", "a", "b"])) == [1, 0, 1]

    def test_wrong_argument_count_is_a_type_error(self):
        enc = LabelEncoderWithOOV()
        enc.fit(["a"])
        with pytest.raises(TypeError):
            enc.transform()
        with pytest.raises(TypeError):
            enc.transform(["a"], ["b"])


class TestTransform:
    def test_first_transform_codes_unseen_as_n(self):
        enc = LabelEncoderWithOOV()
        enc.fit(["b", "a"])
        assert list(enc.transform(["a", "c"])) == [0, 2]
        assert list(enc.classes_) == ["a", "b", "OOV"]
        assert list(enc.inverse_transform([2, 0])) == ["OOV", "a"]
        # the token itself counts as seen
        assert list(enc.transform(["OOV"])) == [2]

    def test_repeated_transform_keeps_classes_and_codes(self):
        enc = LabelEncoderWithOOV()
        enc.fit(["b", "a"])
        first = enc.transform(["a", "c", "b"])
        for _ in range(5):
            assert list(enc.transform(["a", "c", "b"])) == list(first)
            assert list(enc.transform(["c"])) == [2]
        assert list(enc.classes_) == ["a", "b", "OOV"]

    def test_encoder_loaded_with_repeated_tokens_keeps_them(self):
        # pickles written by earlier versions may carry several trailing tokens
        enc = LabelEncoderWithOOV()
        enc.fit(["a", "b"])
        enc.classes_ = np.array(["a", "b", "OOV", "OOV"])
        enc = pickle.loads(pickle.dumps(enc))
        codes = [list(enc.transform(["a", "zz"])) for _ in range(3)]
        assert codes == [[0, 3]] * 3
        assert len(enc.classes_) == 4

    def test_empty_input_still_adds_the_token(self):
        enc = LabelEncoderWithOOV()
        enc.fit(["x"])
        assert len(enc.transform([])) == 0
        assert list(enc.classes_) == ["x", "OOV"]

    def test_none_token_behaves_like_the_base_encoder(self):
        enc = LabelEncoderWithOOV(oov_token=None)
        enc.fit(["a", "b"])
        assert list(enc.transform(["b", "a"])) == [1, 0]
        assert list(enc.classes_) == ["a", "b"]
        with pytest.raises(ValueError):
            enc.transform(["c"])

    def test_unfitted(self):
        with pytest.raises(AttributeError, match="classes_"):
            LabelEncoderWithOOV().transform(["a"])
        from sklearn.exceptions import NotFittedError

        with pytest.raises(NotFittedError):
            LabelEncoderWithOOV(oov_token=None).transform([])

    @pytest.mark.parametrize("seed", range(12))
    def test_text_labels_equal_the_membership_rule(self, seed):
        rng = np.random.default_rng(seed)
        alphabet = ["a", "b", "é", "日本", "", " ", "a\0", "\0b", "OOV", "x" * 40, "na"]
        vocab = list({str(rng.choice(alphabet)) + str(rng.integers(3)) for _ in range(8)} | {"na"})
        labels = [
            str(rng.choice(alphabet)) + str(rng.integers(4))
            for _ in range(int(rng.integers(1, 60)))
        ]
        fit_as = [vocab, pd.Series(vocab, dtype=object), np.array(vocab)][seed % 3]
        give_as = [
            lambda v: v,
            lambda v: pd.Series(v, index=rng.permutation(len(v)) + 10, dtype=object),
            lambda v: np.array(v),
            lambda v: [np.str_(x) for x in v],
            lambda v: tuple(v),
            lambda v: iter(v),
        ][seed % 6]
        native, rule = LabelEncoderWithOOV(), LabelEncoderWithOOV()
        native.fit(fit_as)
        rule.fit(fit_as)
        for _ in range(2):
            got = native.transform(give_as(labels))
            want = rule_transform(rule, list(give_as(labels)))
            assert got.dtype == want.dtype
            np.testing.assert_array_equal(got, want)
            np.testing.assert_array_equal(native.classes_, rule.classes_)

    @pytest.mark.parametrize(
        "fitted, labels, token",
        [
            (["a", "b"], ["a", 3, None, "b"], "OOV"),
            (["a", "b"], ["a", "zz"], 0),
            (["a", "b"], ["a", "\ud800"], "OOV"),  # a lone surrogate has no UTF-8 form
            # labels that print as fitted texts but equal none of them
            (["1", "None", "True", "a", "nan"], [None, float("nan"), 1, True, np.int64(1), "a"],
             "OOV"),
        ],
        ids=["mixed-labels", "int-token", "surrogate", "printed-as-fitted"],
    )
    def test_other_kinds_follow_the_membership_rule(self, fitted, labels, token):
        native, rule = LabelEncoderWithOOV(token), LabelEncoderWithOOV(token)
        native.fit(fitted)
        rule.fit(fitted)
        try:
            want = rule_transform(rule, labels)
        except Exception as exc:  # the base encoder's own refusal must be the same
            with pytest.raises(type(exc)):
                native.transform(labels)
            return
        np.testing.assert_array_equal(native.transform(labels), want)
        np.testing.assert_array_equal(native.classes_, rule.classes_)


def same_value(a, b):
    return (a == b and type(a) is type(b)) or (a != a and b != b)


class TestLabelsThatAreNotTexts:
    """Numbers and booleans keep the codes the base encoder fits; unseen ones get the token's."""

    @pytest.mark.parametrize(
        "fitted, labels, token, codes",
        [
            ([2, 1, 3, 1, 3], [2, 1, 3, 1, 3, 4], "OOV", [1, 0, 2, 0, 2, 3]),
            ([1, 2, 3], [1, 5, 3], -1, [0, 3, 2]),
            ([1, 1, 4, 5, -1, 0], [0, 1, 4, 4, 5, -1, -1, 6], "OOV", [1, 2, 3, 3, 4, 0, 0, 5]),
            ([1.5, 2.5], [2.5, np.nan, 7.0], "OOV", [1, 2, 2]),
            ([1.5, np.nan], [float("nan"), np.float32("nan"), 1.5, 2.0], "OOV", [1, 1, 0, 2]),
            ([True, False], [True, True, False], "OOV", [1, 1, 0]),
            ([0.5, 2.0], [2, 0.5, 1], None, None),  # no token: the base encoder's refusal
        ],
        ids=["ints", "int-token", "negative-ints", "floats", "nan-fitted", "bools", "no-token"],
    )
    def test_codes_and_inverse(self, fitted, labels, token, codes):
        enc = LabelEncoderWithOOV(token)
        enc.fit(fitted)
        fitted_classes = enc.classes_.copy()
        if token is None:
            assert list(enc.transform(labels[:2])) == [1, 0]
            with pytest.raises(ValueError, match="unseen"):  # the base class gets None for it
                enc.transform(labels)
            return
        for _ in range(3):
            assert enc.transform(labels).tolist() == codes
            assert enc.transform(np.array(labels)).tolist() == codes
        assert len(enc.classes_) == len(fitted_classes) + 1  # one token however many calls
        back = enc.inverse_transform(codes)
        for label, value, code in zip(labels, back, codes):
            own = fitted_classes[code] if code < len(fitted_classes) else token
            assert same_value(value, own)
            if code < len(fitted_classes):
                assert value == label or (label != label and value != value)

    @pytest.mark.parametrize("seed", range(10))
    def test_random_labels_keep_the_base_encoders_codes(self, seed):
        rng = np.random.default_rng(seed)
        kind = ["int64", "uint8", "float64", "float32", "bool", "negative"][seed % 6]
        if kind == "bool":
            fitted = rng.random(20) < 0.5
            fresh = np.array([], dtype=bool)
        elif kind == "negative":
            fitted = rng.integers(-50, 0, 30)
            fresh = rng.integers(0, 5, 5)
        else:
            fitted = rng.integers(0, 40, 30).astype(kind)
            fresh = (rng.integers(0, 10, 5) + 100).astype(kind)
        if kind.startswith("float"):
            fitted[::7] = np.nan
        labels = np.concatenate([rng.permutation(fitted), fresh])
        base = LabelEncoder().fit(fitted)
        n = len(base.classes_)
        seen = np.isin(labels, base.classes_) | (np.isnan(labels) if kind[0] == "f" else False)
        want = np.full(len(labels), n)
        want[seen] = base.transform(labels[seen])
        enc = LabelEncoderWithOOV()
        enc.fit(fitted)
        given = [labels, labels.tolist(), pd.Series(labels, index=np.arange(len(labels)) * 3)]
        for y in given + [list(labels)]:
            np.testing.assert_array_equal(enc.transform(y), want)
        back = enc.inverse_transform(want[seen])
        assert {type(v) for v in back} == {type(v) for v in base.classes_}  # the fitted values
        np.testing.assert_array_equal(
            back.astype(base.classes_.dtype), base.inverse_transform(want[seen])
        )
        assert enc.inverse_transform([n])[0] == "OOV"

    def test_text_labels_keep_their_text_classes(self):
        enc = LabelEncoderWithOOV()
        enc.fit(np.array(["b", "a"]))
        enc.transform(["a", "c"])
        assert enc.classes_.dtype.kind == "U"
        assert enc.classes_.tolist() == ["a", "b", "OOV"]


class TestPickle:
    def _fitted(self):
        enc = LabelEncoderWithOOV("UNK")
        enc.fit(["red", "green", "blue"])
        enc.transform(["red", "pink"])
        return enc

    def test_round_trip_in_a_fresh_interpreter(self, tmp_path):
        path = tmp_path / "enc.pkl"
        path.write_bytes(pickle.dumps(self._fitted()))
        code = (
            "import pickle,sys; e=pickle.load(open(sys.argv[1],'rb'));"
            "print(type(e).__module__, e.oov_token, e.classes_.tolist(),"
            " e.transform(['blue','x']).tolist());"
            "open(sys.argv[1],'wb').write(pickle.dumps(e))"
        )
        out = subprocess.run(
            [sys.executable, "-c", code, str(path)],
            env={**os.environ, "PYTHONPATH": SRC},
            capture_output=True,
            text=True,
            check=True,
        ).stdout.split()
        assert out == [
            "orvalis.module.dataprocess.strendal",
            "UNK",
            "['blue',",
            "'green',",
            "'red',",
            "'UNK']",
            "[0,",
            "3]",
        ]
        back = pickle.loads(path.read_bytes())
        assert type(back) is LabelEncoderWithOOV
        assert list(back.transform(["green", "??"])) == [1, 3]


@pytest.mark.parametrize(
    "y",
    [
        None,
        5,
        np.array([["a", "b"], ["c", "d"]]),
        {"a": 1},
        {"a", "zz"},
        (x for x in ["a", "zz"]),
        pd.Series(["a", "zz", None]),
        pd.Series(["a", "zz"], dtype="category"),
        pd.Series(["a", "zz"], dtype="string"),
        pd.Index(["b", "zz"]),
        np.array([], dtype=object),
    ],
    ids=[
        "None",
        "int",
        "2d",
        "dict",
        "set",
        "generator",
        "series-none",
        "category",
        "string",
        "index",
        "empty-object",
    ],
)
def test_odd_inputs_match_the_rule_or_its_error(y):
    native, rule = LabelEncoderWithOOV(), LabelEncoderWithOOV()
    native.fit(["a", "b"])
    rule.fit(["a", "b"])
    twin = y
    if hasattr(y, "__next__"):
        y, twin = iter(["a", "zz"]), iter(["a", "zz"])
    try:
        want = rule_transform(rule, twin)
    except Exception as exc:
        with pytest.raises(type(exc)):
            native.transform(y)
        return
    np.testing.assert_array_equal(native.transform(y), want)


# --- labels that change under the encoder ---------------------------------------------------
# Each case runs in a child interpreter: an encoder reading freed memory may crash it, which must
# show as this test failing, not as the test run dying.

CLEARING_LABEL = """
import sys
from orvalis.module.dataprocess.strendal import LabelEncoderWithOOV
import numpy as np, pandas as pd

class Clearing:
    # a label whose comparison empties the caller's list of labels
    def __init__(self, victim, hashed):
        self.victim, self.hashed = victim, hashed
    def __eq__(self, other):
        self.victim.clear()
        return False
    def __hash__(self):  # meets a class in a hash lookup too
        return hash(self.hashed)

for fit_as in sys.argv[2:]:
    for n in map(int, sys.argv[1].split(",")):
        vocab = {"texts": np.array(["a", "b"]), "objects": pd.Series(["a", "b"], dtype=object),
                 "ints": np.array([1, 2])}[fit_as]
        seen = 2 if fit_as == "ints" else "b"
        enc = LabelEncoderWithOOV()
        enc.fit(vocab)
        labels = [seen if k % 2 else "zz" + str(k) for k in range(n)]
        labels.insert(0, Clearing(labels, 1 if fit_as == "ints" else "a"))
        codes = enc.transform(labels)
        # the list was emptied, and every label was coded as it was when transform began
        print(fit_as, n, labels == [], codes.tolist() == [2] + [k % 2 or 2 for k in range(n)])
"""

EMPTIED_BY_A_THREAD = """
import sys, threading
from orvalis.module.dataprocess.strendal import LabelEncoderWithOOV

# The main thread keeps the interpreter lock until transform releases it for its text lookup;
# only then does the other thread run, empty the list (freeing its texts) and fill the freed
# memory with other texts.
sys.setswitchinterval(30)
n = int(sys.argv[1])
enc = LabelEncoderWithOOV()
enc.fit(["v%03d" % k + "-" * 300 for k in range(40)])
enc.transform([])
ok, raced = True, 0
for attempt in range(4):
    # each text is made here and owned by the list alone, so emptying the list frees it
    labels = [("v%03d" % (k % 60)) + "-" * 300 for k in range(n)]
    go = threading.Event()
    def empty():
        go.wait()
        labels.clear()
        junk = ["w%03d" % (k % 60) + "-" * 300 for k in range(n)]
    thread = threading.Thread(target=empty)
    thread.start()
    go.set()
    codes = enc.transform(labels)
    thread.join()
    # the codes of the list as transform found it: whole, or already emptied (the other thread
    # may get the lock before transform reads the labels)
    whole = codes.tolist() == [k % 60 if k % 60 < 40 else 40 for k in range(n)]
    ok = ok and (whole or len(codes) == 0) and labels == []
    raced += whole
print(ok, raced > 0)
"""


def run_child(code, *args):
    return subprocess.run(
        [sys.executable, "-c", code, *map(str, args)],
        env={**os.environ, "PYTHONPATH": SRC},
        capture_output=True,
        text=True,
        timeout=300,
    )


def test_label_that_empties_the_callers_list():
    kinds = ["texts", "objects", "ints"]
    result = run_child(CLEARING_LABEL, "10,300000", *kinds)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.splitlines() == [
        f"{kind} {n} True True" for kind in kinds for n in (10, 300000)
    ]


def test_thread_that_empties_the_callers_list():
    result = run_child(EMPTIED_BY_A_THREAD, 400_000)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.split() == ["True", "True"]
