"""Feature-name grammar: constants, split_features (against a transcription of the scan) and
is_combination_feature."""

from __future__ import annotations

import random

import pytest


def reference_split(key):
    """The scan, written out plainly in Python; IndexError where it reads past the end."""
    left = right = 0
    separator1 = separator2 = -1
    stack = []
    left_count = 0
    i = 0
    while i < len(key):
        if key[i] == "#" and key[i + 1] == "#" and key[i + 2] == "#":
            left_count += 1
            if left_count == 1:
                left = i
            stack.append(i)
            i += 2
        elif key[i] == "$" and key[i + 1] == "$" and key[i + 2] == "$":
            stack.pop()
            if not stack:
                right = i
            i += 2
        elif key[i] == "|" and key[i + 1] == "|" and key[i + 2] == "|" and len(stack) == 1:
            if separator1 < 0:
                separator1 = i
            else:
                separator2 = i
        i += 1
    if separator2 < 0 and separator1 != -1:
        return [key[:left], key[left + 3 : separator1], key[separator1 + 3 : right]]
    if separator2 < 0:
        return [key[:left], key[left + 3 : right]]
    return [
        key[:left],
        key[left + 3 : separator1],
        key[separator1 + 3 : separator2],
        key[separator2 + 3 : right],
    ]


def outcome(fn, key):
    try:
        return ("ok", fn(key))
    except IndexError as e:
        return ("IndexError", str(e))


@pytest.mark.parametrize(
    "key, expected",
    [
        ("age", ["", ""]),
        ("log###age$$$", ["log", "age"]),
        ("add###age|||income$$$", ["add", "age", "income"]),
        ("add###log###age$$$|||income$$$", ["add", "log###age$$$", "income"]),
        ("aggregate###mean|||price|||shop$$$", ["aggregate", "mean", "price", "shop"]),
        ("f###a|||b|||c|||d$$$", ["f", "a", "b|||c", "d"]),
        ("add###a|||b$$$xyz", ["add", "a", "b"]),
        ("add###a|||b", ["add", "a", ""]),
        ("add###a||||b$$$", ["add", "a", "", "b"]),
        ("tcorrelation###add###a|||b$$$|||c|||7$$$", ["tcorrelation", "add###a|||b$$$", "c", "7"]),
        ("", ["", ""]),
        ("log###âge_€$$$", ["log", "âge_€"]),
        ("log###日本|||𝔘$$$", ["log", "日本", "𝔘"]),
    ],
)
def test_split_features_examples(brevant, key, expected):
    assert brevant.split_features(key) == expected
    assert reference_split(key) == expected


@pytest.mark.parametrize("key", ["a#", "a$", "a|", "a##", "a$$", "a||", "log###a$$$|", "#"])
def test_split_features_index_error_past_end(brevant, key):
    with pytest.raises(IndexError, match="string index out of range"):
        brevant.split_features(key)


@pytest.mark.parametrize("key", ["$$$", "a$$$###", "log###a$$$$$$"])
def test_split_features_index_error_empty_stack(brevant, key):
    with pytest.raises(IndexError, match="pop from empty list"):
        brevant.split_features(key)


class Text(str):
    pass


@pytest.mark.parametrize(
    "key, typename", [(None, "NoneType"), (3, "int"), (b"a###b$$$", "bytes"), (Text("x"), "Text")]
)
def test_split_features_requires_exact_str(brevant, key, typename):
    with pytest.raises(TypeError) as err:
        brevant.split_features(key)
    assert str(err.value) == f"Argument 'key' has incorrect type (expected str, got {typename})"


def test_split_features_fuzz_against_reference(brevant):
    rng = random.Random(20261208)
    alphabet = "a_#$|"
    for _ in range(20000):
        n = rng.randint(0, 24)
        # bias towards runs of delimiters, which is where the scan's corner cases live
        key = "".join(rng.choice(alphabet) * rng.choice((1, 1, 2, 3, 4)) for _ in range(n))
        assert outcome(brevant.split_features, key) == outcome(reference_split, key), key


def test_split_features_fuzz_wide_characters(brevant):
    rng = random.Random(7)
    alphabet = ["a", "#", "$", "|", "é", "日", "𝔘"]
    for _ in range(5000):
        key = "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 16)))
        assert outcome(brevant.split_features, key) == outcome(reference_split, key), key


@pytest.mark.parametrize(
    "text, expected",
    [
        ("age", False),
        ("log###age", False),
        ("log###age$$$", True),
        ("a#b#c#d$e$f$", True),
        ("##$$$#", True),
        ("$$$##", False),
        ("", False),
    ],
)
def test_is_combination_feature(brevant, text, expected):
    assert brevant.is_combination_feature(text) is expected


def test_constants(brevant):
    assert (brevant.Const.feature_separator, brevant.Const.head_character) == ("|||", "###")
    assert (brevant.Const.tail_character, brevant.Const.time_feature_separator) == ("$$$", "@@@")
    assert brevant.FeatureType.__doc__ == "Feature Type class"
    assert brevant.TimeFeatureType.__doc__ == "Time Feature Type Class"
    assert brevant.FeatureType.ADD == "add"
    assert brevant.TimeFeatureType.TCOVARIANCE == "tcorvariance"
    assert brevant.AGGREGATE_TYPE == ["min", "max", "mean", "median", "var"]
    assert brevant.ADD_PROBABILITY == [0.5] and brevant.TIME_SPAN == [1, 2, 3]

    def upper(cls):
        return [k for k in vars(cls) if k.isupper()]

    assert len(upper(brevant.FeatureType)) == 23
    assert len(upper(brevant.TimeFeatureType)) == 31
    assert upper(brevant.TimeFeatureType)[:4] == ["DAY_OF_YEAR", "DAY_OF_WEEK", "MONTH", "YEAR"]
    for cls in (brevant.FeatureType, brevant.TimeFeatureType):
        for attr in upper(cls):
            value = getattr(cls, attr)
            if value not in ("target", "sum"):
                # every keyword names the operator that computes it
                assert callable(getattr(brevant, value)), value
    shared = {"COUNT", "SUBTRACT", "MULTIPLY", "DIVIDE"}
    for attr in shared:
        assert getattr(brevant.FeatureType, attr) == getattr(brevant.TimeFeatureType, attr)
