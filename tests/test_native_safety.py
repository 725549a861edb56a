"""Native entry points never crash the interpreter: deep nesting raises RecursionError (also on a
thread with a small stack), and argument checks skipped under `python -O` fall back to what the
Python form would do instead of reading a non-list as a list."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import pandas as pd
import pytest

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run(code: str, *flags: str) -> subprocess.CompletedProcess:
    env = dict(os.environ, PYTHONPATH=os.path.join(REPO, "src"))
    prelude = "import orvalis, brevant, pandas as pd, threading, sys\n"
    return subprocess.run(
        [sys.executable, *flags, "-c", prelude + textwrap.dedent(code)],
        env=env, capture_output=True, text=True, timeout=300,
    )


def nested(n: int, keyword: str = "log") -> str:
    return f"{keyword}###" * n + "a" + "$$$" * n


@pytest.mark.parametrize("n", [2_000, 20_000])
def test_deep_nesting_raises_recursion_error(brevant, n):
    df = pd.DataFrame({"a": [1.0, 2.0]})
    with pytest.raises(RecursionError):
        brevant.name2feature(df, [nested(n)], {})
    with pytest.raises(RecursionError):
        brevant.name2formula(nested(n, "add"))
    assert list(df.columns) == ["a"]
    # a nesting well inside the limit still works
    out = brevant.name2feature(df, [nested(20, "sine")], {})
    assert list(out.columns) == ["a", nested(20, "sine")]


def test_deep_nesting_on_a_small_thread_stack():
    r = run(
        """
        df = pd.DataFrame({"a": [1.0, 2.0]})
        seen = []
        def work():
            for n in (300, 600, 2000, 20000):
                for call in (lambda: brevant.name2feature(df, ["log###" * n + "a" + "$$$" * n], {}),
                             lambda: brevant.name2formula("log###" * n + "a" + "$$$" * n)):
                    try:
                        call()
                        seen.append("ok")
                    except RecursionError:
                        seen.append("RecursionError")
        threading.stack_size(256 * 1024)
        t = threading.Thread(target=work)
        t.start()
        t.join()
        print(seen)
        """
    )
    assert r.returncode == 0, r.stderr[-2000:]
    seen = r.stdout.strip()
    # beyond the interpreter's recursion limit both refuse; below it they may answer or refuse
    assert seen.endswith("'RecursionError', 'RecursionError', 'RecursionError', 'RecursionError']"), seen


def test_assertions_off_never_read_a_non_list_as_a_list():
    r = run(
        """
        df = pd.DataFrame({"a": [1.0, 4.0], "g": ["x", "y"]})
        results = []
        for args in [("log###a$$$", {}), ({}, {}), (("log###a$$$",), {}), (5, {})]:
            try:
                out = brevant.name2feature(df.copy(), *args)
                results.append(("ok", list(out.columns)))
            except Exception as e:
                results.append((type(e).__name__,))
        for names in ["year@@@t", {}, ("year@@@t",), 3]:
            try:
                brevant.name2timefeature(pd.DataFrame({"t": ["2020-01-02"]}), names)
                results.append(("ok",))
            except Exception as e:
                results.append((type(e).__name__,))
        try:
            brevant.crosscount(df, ("g", "a"), {})
            results.append(("ok",))
        except Exception as e:
            results.append((type(e).__name__,))
        print(results)
        """,
        "-O",
    )
    assert r.returncode == 0, r.stderr[-2000:]
    results = eval(r.stdout.strip())
    assert results[0][0] == "RuntimeError"  # iterates the text: "l" is no operator
    assert results[1] == ("ok", ["a", "g"])  # an empty mapping holds no name
    assert results[2] == ("ok", ["a", "g", "log###a$$$"])  # a tuple is iterated like the list
    assert results[3] == ("TypeError",)
