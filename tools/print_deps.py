"""Print the project's dependencies (and the named extras) one per line, for pip."""

import sys
import tomllib
from pathlib import Path

project = tomllib.loads((Path(__file__).resolve().parents[1] / "pyproject.toml").read_text())
build = project["build-system"]["requires"]
project = project["project"]
deps = list(project["dependencies"]) + list(build)
for extra in sys.argv[1:]:
    deps += project["optional-dependencies"][extra]
print("\n".join(deps))
