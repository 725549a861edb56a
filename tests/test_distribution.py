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
