"""scikit-learn's own LabelEncoder tests, run against LabelEncoderWithOOV.

The test functions are imported from the installed scikit-learn and called with their own
parameters; the name LabelEncoder inside their module is pointed at our class for the call.

With ``oov_token=None`` the class is the base encoder for every test that applies. With the
default token, the differences are the class's purpose or its documented interface:
- unseen labels get the token's code instead of raising (test_label_encoder,
  test_label_encoder_negative_ints end with that check; they are run up to it, then the token's
  code is checked);
- transform on an unfitted encoder with a token raises AttributeError for classes_, not
  NotFittedError (test_label_encoder_errors' first check; the rest is run);
- transform walks any iterable, so a text is read as its characters instead of being refused as
  not one-dimensional (test_label_encoder_str_bad_shape does not apply, with or without token);
- fit returns None, so test_label_encoder_array_api_compliance's ``le = le.fit(y)`` does not
  apply (and its array libraries other than NumPy are not installed);
- with ``oov_token=None`` an unseen label reaches the base class as None, which a numeric
  classes array turns into a TypeError or NaN instead of "unseen labels": the unseen-label checks
  of the int64 cases do not apply;
- a label is kept only when ``label in classes_`` holds, so a NaN label is unseen by text classes
  even where a NaN was fitted among the texts (as the class "nan"): test_nan_label_encoder's NaN
  gets the token's code, or with no token the base class's refusal of the None in its place.
"""

from __future__ import annotations

import numpy as np
import pytest
from sklearn.preprocessing.tests import test_label as sk

from orvalis.module.dataprocess.strendal import LabelEncoderWithOOV


def parameters(test):
    """The (values, ids) of the test's own parametrize mark."""
    (mark,) = [m for m in test.pytestmark if m.name == "parametrize"]
    return pytest.mark.parametrize(mark.args[0], mark.args[1], ids=mark.kwargs.get("ids"))


@pytest.fixture(params=["OOV", None], ids=["token", "no-token"])
def token(request, monkeypatch):
    monkeypatch.setattr(sk, "LabelEncoder", lambda: LabelEncoderWithOOV(request.param))
    return request.param


def runs_up_to_its_unseen_label_check(test, *args):
    """Run a scikit-learn test whose last statement expects unseen labels to raise: every check
    before it passes, and the last one finds no error."""
    with pytest.raises(pytest.fail.Exception, match="DID NOT RAISE"):
        test(*args)


@parameters(sk.test_label_encoder)
def test_label_encoder(token, values, classes, unknown):
    if token is None:
        if values.dtype.kind == "i":  # the unseen 4 reaches the base class as None
            runs_up_to_its_unseen_label_check_or_other_error(sk.test_label_encoder, values, classes, unknown)
            return
        sk.test_label_encoder(values, classes, unknown)
        return
    runs_up_to_its_unseen_label_check(sk.test_label_encoder, values, classes, unknown)
    enc = LabelEncoderWithOOV()
    enc.fit(values)
    assert enc.transform(np.concatenate([unknown, values])).tolist() == [3, 1, 0, 2, 0, 2]
    np.testing.assert_array_equal(enc.inverse_transform([1, 0, 2, 0, 2]), values)
    assert enc.inverse_transform([3]).tolist() == ["OOV"]


def runs_up_to_its_unseen_label_check_or_other_error(test, *args):
    with pytest.raises((TypeError, pytest.fail.Exception)):
        test(*args)


def test_label_encoder_negative_ints(token):
    if token is None:
        runs_up_to_its_unseen_label_check_or_other_error(sk.test_label_encoder_negative_ints)
        return
    runs_up_to_its_unseen_label_check(sk.test_label_encoder_negative_ints)
    enc = LabelEncoderWithOOV()
    enc.fit([1, 1, 4, 5, -1, 0])
    assert enc.transform([0, 6]).tolist() == [1, 5]
    assert enc.inverse_transform([1, 5]).tolist() == [0, "OOV"]


def test_label_encoder_errors(token):
    if token is None:
        sk.test_label_encoder_errors()
        return
    with pytest.raises(AttributeError, match="classes_"):
        sk.test_label_encoder_errors()
    # the checks after the first: inverse_transform is the base class's
    enc = LabelEncoderWithOOV()
    with pytest.raises(ValueError):
        enc.inverse_transform([])
    enc.fit([1, 2, 3, -1, 1])
    enc.transform([1])
    for codes in ([-2], [-2, -3, -4], [5]):
        with pytest.raises(ValueError, match="contains previously unseen labels"):
            enc.inverse_transform(codes)
    with pytest.raises(ValueError, match=r"should be a 1d array.+shape \(\)"):
        enc.inverse_transform("")


@parameters(sk.test_label_encoder_empty_array)
def test_label_encoder_empty_array(token, values):
    sk.test_label_encoder_empty_array(values)


def test_nan_label_encoder(token):
    if token is None:
        with pytest.raises(ValueError, match="unseen labels"):
            sk.test_nan_label_encoder()
        return
    with pytest.raises(AssertionError):
        sk.test_nan_label_encoder()
    enc = LabelEncoderWithOOV()
    enc.fit(["a", "a", "b", np.nan])
    assert enc.transform([np.nan, "nan", "b"]).tolist() == [3, 2, 1]
    assert enc.inverse_transform([2, 3]).tolist() == ["nan", "OOV"]


def test_label_encoders_do_not_have_set_output(token):
    sk.test_label_encoders_do_not_have_set_output(LabelEncoderWithOOV(token))
