"""The README's Python examples run as written in a checkout where `make demo` has run."""

from __future__ import annotations

import os
import re
import subprocess
import sys

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SRC = os.path.join(REPO, "src")
RUNNABLE = ("The inference API", "The label encoder", "The feature engine")


def python_blocks(section: str) -> list[str]:
    with open(os.path.join(REPO, "README.md"), encoding="utf-8") as f:
        text = f.read()
    body = text.split(f"\n## {section}\n", 1)[1].split("\n## ", 1)[0]
    return re.findall(r"```python\n(.*?)```", body, flags=re.S)


@pytest.fixture(scope="module")
def checkout(tmp_path_factory, sample_folders, sample_tasks):
    """A folder laid out as `make demo` leaves the checkout: build/demo/tables and the sample
    result folders under build/demo/results."""
    root = tmp_path_factory.mktemp("checkout")
    demo = root / "build" / "demo"
    (demo / "results").mkdir(parents=True)
    os.symlink(os.path.dirname(sample_tasks["penguins"]["train"]), demo / "tables")
    for name in ("penguins", "grunfeld"):
        os.symlink(sample_folders[name].path, demo / "results" / name)
    return root


@pytest.mark.parametrize("section", RUNNABLE)
def test_readme_python_examples_run_as_written(checkout, section):
    blocks = python_blocks(section)
    assert blocks, section
    env = {**os.environ, "PYTHONPATH": SRC, "MPLBACKEND": "Agg"}
    for code in blocks:
        done = subprocess.run(
            [sys.executable, "-c", code],
            cwd=checkout,
            env=env,
            capture_output=True,
            text=True,
            timeout=300,
        )
        assert done.returncode == 0, f"{code}\n{done.stderr[-3000:]}"
    if section == "The inference API":
        assert (checkout / "charts" / "roc.png").read_bytes()[:4] == b"\x89PNG"


def test_readme_names_the_files_make_demo_writes(sample_tasks):
    with open(os.path.join(REPO, "README.md"), encoding="utf-8") as f:
        text = f.read()
    for path in re.findall(r"build/demo/(?:tables|results)/[\w.]+", text):
        name = os.path.basename(path)
        if "/tables/" in path:
            assert name in {
                os.path.basename(t[k]) for t in sample_tasks.values() for k in ("train", "holdout")
            }, path
        else:
            assert name in {"penguins", "grunfeld"}, path
    assert "D:/" not in text  # the release tools' settings live in DEVELOPING.md
