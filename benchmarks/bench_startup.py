"""Start-up: wall time of `python -c "from orvalis import marqolin"` (target: at most 0.8 s) and of
`orvalis info FOLDER` on the sample folder (target: at most 1.2 s), each against the bare
interpreter and `import pandas` in the same run, with the slowest imports of each.

Every figure is the best of several fresh interpreter processes.
"""

from __future__ import annotations

import subprocess
import sys
import tempfile
import time

from bench_cli import ENV, REPEAT, sample_folder


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


def main() -> None:
    with tempfile.TemporaryDirectory() as work:
        run(sample_folder(work)[0])


def run(folder: str) -> None:
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
