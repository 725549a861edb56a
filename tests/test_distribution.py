"""What the sdist and the wheel tell pip and the user: dependencies and license."""

from __future__ import annotations

import subprocess
import sys
import tarfile
from email.parser import Parser
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]


def check_metadata(text: str) -> None:
    metadata = Parser().parsestr(text)
    assert metadata["License-Expression"] == "MIT"
    assert metadata.get_all("License-File") == ["LICENSE"]
    requires = [r.replace(" ", "") for r in metadata.get_all("Requires-Dist")]
    # the xgboost distribution itself: an environment that has it keeps it untouched
    assert "xgboost<3,>=2.0" in requires
    assert not any(r.startswith("xgboost-cpu") for r in requires)


def test_sdist_carries_license_and_dependencies(tmp_path):
    build = subprocess.run(
        [
            sys.executable,
            "-c",
            "import sys; from scikit_build_core import build;"
            " print(build.build_sdist(sys.argv[1], {}))",
            str(tmp_path),
        ],
        cwd=REPO,
        capture_output=True,
        text=True,
    )
    assert build.returncode == 0, build.stderr[-3000:]
    name = build.stdout.split()[-1]
    with tarfile.open(tmp_path / name) as sdist:
        root = name.removesuffix(".tar.gz")
        check_metadata(sdist.extractfile(f"{root}/PKG-INFO").read().decode())
        license_text = sdist.extractfile(f"{root}/LICENSE").read().decode()
    assert license_text == (REPO / "LICENSE").read_text()
    assert license_text.startswith("MIT License")


def _source_tree_state() -> set[str]:
    """Every path git reports as changed or untracked, ignored ones included, outside build/."""
    out = subprocess.run(
        ["git", "status", "--porcelain", "--ignored", "--untracked-files=all"],
        cwd=REPO,
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    return {line[3:] for line in out.splitlines() if not line[3:].startswith("build/")}


def test_make_wheel_repairs_to_manylinux_and_leaves_the_source_tree_alone(tmp_path):
    import os
    import zipfile

    if not (REPO / ".git").exists():
        import pytest

        pytest.skip("needs the git checkout")
    # the development build as it is configured, so that nothing is compiled again
    cache = REPO / "build" / "dev" / "CMakeCache.txt"
    werror = "OFF"
    if cache.exists() and "ORVALIS_WERROR:BOOL=ON" in cache.read_text():
        werror = "ON"
    before = _source_tree_state()
    done = subprocess.run(
        [
            "make",
            "--no-print-directory",
            "wheel",
            f"VENV={sys.prefix}",
            f"WHEEL_DIR={tmp_path}",
            f"WERROR={werror}",
        ],
        cwd=REPO,
        capture_output=True,
        text=True,
        env={**os.environ, "MAKEFLAGS": ""},
    )
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    assert "Building CXX object" not in done.stdout  # built from what `make build` compiled
    wheels = [p.name for p in tmp_path.iterdir()]
    assert len(wheels) == 1 and wheels[0].startswith("orvalis-0.1.0-cp311-cp311-manylinux_")
    assert wheels[0].endswith("_x86_64.whl")
    with zipfile.ZipFile(tmp_path / wheels[0]) as wheel:
        names = wheel.namelist()
        tag = wheel.read("orvalis-0.1.0.dist-info/WHEEL").decode()
    modules = {n.rsplit("/", 1)[-1].split(".")[0] for n in names if n.endswith(".so")}
    assert modules == {"brevant", "orvalis", "strendal", "quillet", "tessaro", "vollix"}
    assert "Tag: cp311-cp311-manylinux_" in tag and "linux_x86_64" not in tag.replace(
        "manylinux", ""
    )
    assert _source_tree_state() == before
