"""LaTeX rendering of feature names."""

from __future__ import annotations

import random

import pytest

# keyword -> (form, label), as the renderer is meant to read them
TEMPLATES = {
    "aggregate": ("agg", "Agg"),
    "add": ("infix", "+"),
    "subtract": ("infix", "-"),
    "multiply": ("infix", "\\times "),
    "crosscount": ("plain_grouped", "CrossCount"),
    "nunique": ("plain_grouped", "Nunique"),
    "histstat": ("plain_grouped", "Histstat"),
    "sine": ("unary", "sin"),
    "cosine": ("unary", "cos"),
    "square_root": ("sqrt", ""),
    "percentile": ("unary", "Percentile"),
    "entropy": ("unary", "Entropy"),
    "count": ("unary", "Count"),
    "divide": ("infix", "\\div "),
    "combine": ("binary", "Combine"),
    "minimize": ("binary", "Min"),
    "maximize": ("binary", "Max"),
    "quadratic": ("square", ""),
    "log": ("unary", "Log"),
    "sigmoid": ("unary", "Sigmoid"),
    "round": ("unary", "Round"),
    "residual": ("unary", "Residual"),
    "delay": ("binary", "Delay"),
    "equal": ("binary", "Equal"),
    "tcorrelation": ("binary", "Correlation"),
    "tcorvariance": ("binary", "Covariance"),
    "tsum": ("binary", "ts_sum"),
    "delta": ("binary", "Delta"),
    "decay_linear": ("binary", "Decay"),
    "ts_min": ("binary", "ts_min"),
    "ts_max": ("binary", "ts_max"),
    "ts_argmax": ("binary", "ts_argmax"),
    "ts_argmin": ("binary", "ts_argmin"),
    "ts_rank": ("binary", "ts_rank"),
    "ts_mean": ("binary", "ts_mean"),
    "ts_o": ("binary", "ts_o"),
    "stddev": ("binary", "Stddev"),
    "smaller": ("infix", "<"),
    "bigger": ("infix", ">"),
    "softmax": ("unary_grouped", "Softmax"),
    "orop": ("infix", "\\vee "),
}
ARITY = {"unary": 1, "sqrt": 1, "square": 1, "unary_grouped": 1, "agg": 3}


def reference(b, name):
    """A transcription in Python, using the module's own parser."""
    temp = b.split_features(name)
    for k in range(1, len(temp)):
        if not b.is_combination_feature(temp[k]):
            temp[k] = temp[k].replace("_", "\\_")
    if temp[0] not in TEMPLATES:
        return None
    form, label = TEMPLATES[temp[0]]

    def plain(k):
        return reference(b, temp[k]) if b.is_combination_feature(temp[k]) else temp[k]

    def grouped(k):
        return "(" + reference(b, temp[k]) + ")" if b.is_combination_feature(temp[k]) else temp[k]

    if form == "agg":
        return "Agg" + temp[1].capitalize() + "(" + grouped(2) + "," + plain(3) + ")"
    if form == "infix":
        return grouped(1) + label + grouped(2)
    if form == "plain_grouped":
        return label + "(" + plain(1) + "," + grouped(2) + ")"
    if form == "unary":
        return label + "(" + plain(1) + ")"
    if form == "sqrt":
        return "\\sqrt{" + grouped(1) + "}"
    if form == "binary":
        return label + "(" + grouped(1) + "," + grouped(2) + ")"
    if form == "square":
        return grouped(1) + "^2"
    return label + "(" + grouped(1) + ")"


@pytest.mark.parametrize(
    "name, formula",
    [
        ("add###a_b|||c$$$", "a\\_b+c"),
        ("subtract###a_b|||c$$$", "a\\_b-c"),
        ("subtract###add###x|||y$$$|||z$$$", "(x+y)-z"),
        ("multiply###add###x|||y$$$|||add###u|||v$$$$$$", "(x+y)\\times (u+v)"),
        ("square_root###x$$$", "\\sqrt{x}"),
        ("square_root###add###x|||y$$$$$$", "\\sqrt{(x+y)}"),
        ("delay###p|||3$$$", "Delay(p,3)"),
        ("delay###multiply###p|||q$$$|||3$$$", "Delay((p\\times q),3)"),
        ("minimize###a|||b$$$", "Min(a,b)"),
        ("softmax###x$$$", "Softmax(x)"),
        ("aggregate###mean|||v|||g$$$", "AggMean(v,g)"),
        ("aggregate###MEAN|||v|||g$$$", "AggMean(v,g)"),
        ("aggregate###my_stat|||add###a|||b$$$|||log###g$$$$$$", "AggMy\\_stat((a+b),Log(g))"),
        ("log###add###a|||b$$$$$$", "Log(a+b)"),
        ("crosscount###add###a|||b$$$|||add###c|||d$$$$$$", "CrossCount(a+b,(c+d))"),
        ("quadratic###add###a|||b$$$$$$", "(a+b)^2"),
        ("orop###a|||b_c$$$", "a\\vee b\\_c"),
        ("bigger###add###x|||y$$$|||2$$$", "(x+y)>2"),
        ("tcorrelation###a|||b|||5$$$", "Correlation(a,b)"),
        ("count###très_long$$$", "Count(très\\_long)"),
        ("aggregate###ärger|||v|||g$$$", "AggÄrger(v,g)"),
        ("aggregate###ǆx|||v|||g$$$", "Aggǅx(v,g)"),  # title case, as str.capitalize
        ("add###a__b|||_$$$", "a\\_\\_b+\\_"),
    ],
)
def test_examples(brevant, name, formula):
    assert brevant.name2formula(name) == formula


@pytest.mark.parametrize(
    "name",
    [
        "age",
        "",
        "target###a$$$",
        "product###a|||3$$$",
        "indneutralize###a|||b$$$",
        "sum###a|||b$$$",
        "year###d$$$",
        "crossrank###a|||b$$$",
    ],
)
def test_no_template(brevant, name):
    assert brevant.name2formula(name) is None


@pytest.mark.parametrize(
    "name, error",
    [
        ("add###a$$$", IndexError),  # a second operand is read
        ("aggregate###mean|||v$$$", IndexError),
        ("log###$$$", None),
        ("add###a|||b$", IndexError),  # the parser reads past the end
        ("a$$$", IndexError),  # a tail with no open head
        ("add###foo###x$$$|||b$$$", TypeError),  # the nested operand has no formula
        (3, TypeError),
        (None, TypeError),
    ],
)
def test_errors(brevant, name, error):
    if error is None:
        assert brevant.name2formula(name) == "Log()"
        return
    with pytest.raises(error):
        brevant.name2formula(name)


def test_deep_nesting_raises_instead_of_crashing(brevant):
    deep = "log###" * 5000 + "x" + "$$$" * 5000
    with pytest.raises(RecursionError):
        brevant.name2formula(deep)
    ok = "log###" * 200 + "x" + "$$$" * 200
    assert brevant.name2formula(ok) == "Log(" * 200 + "x" + ")" * 200


def test_surrogates_pass_through(brevant):
    assert brevant.name2formula("add###\udc80_|||b$$$") == "\udc80\\_+b"


def random_name(rng, depth):
    if depth == 0 or rng.random() < 0.3:
        return rng.choice(["a", "b_1", "x_y_z", "7", "_", "é_ö"])
    keyword = rng.choice(list(TEMPLATES) + ["product", "nosuch"])
    form = TEMPLATES.get(keyword, ("binary", ""))[0]
    n = ARITY.get(form, 2)
    if rng.random() < 0.1:
        n = max(1, n - 1)  # too few operands now and then
    args = [random_name(rng, depth - 1) for _ in range(n)]
    if keyword == "aggregate":
        args[0] = rng.choice(["mean", "MAX", "my_stat"])
    return keyword + "###" + "|||".join(args) + "$$$"


def test_random_names_match_transcription(brevant):
    rng = random.Random(11)
    for _ in range(3000):
        name = random_name(rng, 4)
        try:
            want = reference(brevant, name)
        except Exception as exc:  # noqa: BLE001 - the same kind of failure is expected
            with pytest.raises(type(exc)):
                brevant.name2formula(name)
            continue
        assert brevant.name2formula(name) == want, name
