"""Start-up: wall time of `python -c "from orvalis import marqolin"` (target: at most 0.8 s) and of
`orvalis info FOLDER` on the sample folder (target: at most 1.2 s), each against the bare
interpreter and `import pandas` in the same run, with the slowest imports of each.

Every figure is the best of several fresh interpreter processes.
"""

from __future__ import annotations

import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
SRC = os.path.join(REPO, "src")
ENV = {**os.environ, "PYTHONPATH": SRC, "MPLBACKEND": "Agg"}
REPEAT = 5


def wall(args: list[str]) -> float:
    best = float("inf")
    for _ in range(REPEAT):
        t0 = time.perf_counter()
        subprocess.run([sys.executable, *args], env=ENV, check=True, stdout=subprocess.DEVNULL)
        best = min(best, time.perf_counter() - t0)
    return best


def slowest_imports(args: list[str], n: int = 6) -> str:
    done = subprocess.run(
        [sys.executable, "-X", "importtime", *args],
        env=ENV,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
        check=True,
    )
    rows = []
    for line in done.stderr.splitlines():
        parts = line.split("|")
        if len(parts) == 3 and parts[1].strip().isdigit():
            name = parts[2].rstrip()
            if not name.startswith("  "):  # top-level imports only: their own total
                rows.append((int(parts[1]) / 1e6, name.strip()))
    rows.sort(reverse=True)
    return ", ".join(f"{name} {sec:.2f}s" for sec, name in rows[:n])


def sample_folder() -> str:
    sys.path.insert(0, os.path.join(REPO, "tools"))
    sys.path.insert(0, SRC)
    import make_result_folder as tool

    demo = os.path.join(REPO, "build", "demo")
    tasks = tool.sample_tables(os.path.join(demo, "tables"))
    path = os.path.join(demo, "results", "penguins")
    if not os.path.exists(os.path.join(path, "automl", "result")):
        task = {**tasks["penguins"], "time_budget": 4}
        tool.build_result_folder(task["train"], task, path)
    return path


def main() -> None:
    folder = sample_folder()
    cases = [
        ("python (bare interpreter)", ["-c", "pass"], ""),
        ("import pandas", ["-c", "import pandas"], ""),
        ("from orvalis import marqolin", ["-c", "from orvalis import marqolin"], "<= 0.8 s"),
        ("orvalis --version", ["-m", "orvalis", "--version"], ""),
        ("orvalis info FOLDER", ["-m", "orvalis", "info", folder], "<= 1.2 s"),
    ]
    print(f"\n## start-up, best of {REPEAT} fresh processes")
    print(f"  {'command':<32} {'seconds':>8}  target")
    for title, args, target in cases:
        print(f"  {title:<32} {wall(args):8.3f}  {target}", flush=True)
    for title, args, _ in cases[2:]:
        print(f"  slowest imports of {title}: {slowest_imports(args)}", flush=True)


if __name__ == "__main__":
    main()
