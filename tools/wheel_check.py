"""`make wheel-check`: the repaired wheel, installed into a fresh virtual environment, predicts.

    python tools/wheel_check.py WHEEL_DIR

A new virtual environment outside the checkout gets the one wheel of WHEEL_DIR and its
dependencies from the package index, pinned to the versions of the running (development)
environment, so that the sample model pickled here loads there as it was trained. Then, from a
working folder outside the checkout and with no PYTHONPATH, that environment's `orvalis`
command predicts the held-out rows of the penguins sample folder, which must give exactly the
development build's labels. Prints each step's time; exits 1 on any difference.
"""

from __future__ import annotations

import glob
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)


def step(text: str, started: float) -> float:
    now = time.monotonic()
    print(f"wheel-check: {text} ({now - started:.1f} s)", flush=True)
    return now


def fail(text: str) -> None:
    print(f"wheel-check: FAILED: {text}", file=sys.stderr, flush=True)
    sys.exit(1)


def run(args: list[str], **kwargs) -> subprocess.CompletedProcess:
    done = subprocess.run(args, capture_output=True, text=True, **kwargs)
    if done.returncode != 0:
        fail(
            f"{' '.join(args)} exited {done.returncode}:\n{done.stdout[-3000:]}{done.stderr[-3000:]}"
        )
    return done


def sample_folder(root: str) -> tuple[str, str]:
    """The penguins result folder (a real FLAML search) and its held-out rows, built here with
    the development package."""
    sys.path.insert(0, HERE)
    import make_result_folder as tool

    task = tool.sample_tables(os.path.join(root, "tables"))["penguins"]
    folder = tool.build_result_folder(
        task["train"], {**task, "time_budget": 2}, os.path.join(root, "penguins")
    )
    return folder, task["holdout"]


def expected_labels(folder: str, holdout: str) -> list[str]:
    import pandas as pd

    from orvalis import marqolin

    m = marqolin(folder)
    return m.labeldecode(pd.Series(m.predict(holdout), name=m.target_name)).astype(str).tolist()


def main(argv: list[str]) -> int:
    wheel_dir = argv[0] if argv else os.path.join(REPO, "build", "wheel")
    wheels = glob.glob(os.path.join(wheel_dir, "orvalis-*-manylinux_*.whl"))
    if len(wheels) != 1:
        fail(f"expected one manylinux wheel in {wheel_dir}, found {wheels}")
    wheel = os.path.abspath(wheels[0])
    started = time.monotonic()
    scratch = tempfile.mkdtemp(prefix="orvalis-wheel-check-")
    try:
        folder, holdout = sample_folder(os.path.join(scratch, "sample"))
        want = expected_labels(folder, holdout)
        started = step(f"sample folder built, {len(want)} held-out rows", started)

        env_dir = os.path.join(scratch, "venv")
        run([sys.executable, "-m", "venv", env_dir])
        python = os.path.join(env_dir, "bin", "python")
        pins = run([sys.executable, "-m", "pip", "freeze", "--exclude-editable"]).stdout
        constraints = os.path.join(scratch, "constraints.txt")
        with open(constraints, "w", encoding="utf-8") as f:
            f.writelines(
                line + "\n" for line in pins.splitlines() if not line.startswith("orvalis")
            )
        run([python, "-m", "pip", "install", "--quiet", "-c", constraints, wheel])
        started = step(f"installed {os.path.basename(wheel)} into a fresh environment", started)

        # nothing of the checkout on the path: no PYTHONPATH, a working folder of its own
        clean = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
        work = os.path.join(scratch, "work")
        os.makedirs(work)
        where = run(
            [python, "-c", "import orvalis.orvalis as api, brevant; print(api.__file__)"],
            cwd=work,
            env=clean,
        ).stdout.strip()
        if not where.startswith(env_dir + os.sep):
            fail(f"the fresh environment imported orvalis from {where}")
        out = os.path.join(work, "pred.csv")
        command = os.path.join(env_dir, "bin", "orvalis")
        run([command, "predict", folder, holdout, "--labels", "-o", out], cwd=work, env=clean)
        import pandas as pd

        got = pd.read_csv(out).iloc[:, -1].astype(str).tolist()
        if got != want:
            fail(f"the installed wheel predicts {got[:8]}..., the development build {want[:8]}...")
        step(f"orvalis predict from the installed wheel: {len(got)} labels as expected", started)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
