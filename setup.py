"""Build script of the release tooling: ``python setup.py sdist bdist_wheel``.

Run in the source folder, it leaves the sdist and the wheel of this package in ``dist/``, built
by the project's own build backend (scikit-build-core) in the running interpreter, without an
isolated build environment: that interpreter needs the build requirements of pyproject.toml
(scikit-build-core, pybind11, CMake and Ninja). Installing the package does not use this file.

``ORVALIS_BUILD_DIR`` names the CMake build folder; a folder outside ``build/`` survives the
cleaning after each release build, so the next build compiles only what changed. Unset, the
build folder is the one pyproject.toml configures.
"""

import os
import sys

COMMANDS = ("sdist", "bdist_wheel")


def main(argv):
    commands = argv[1:]
    unknown = [c for c in commands if c not in COMMANDS]
    if not commands or unknown:
        sys.exit(f"usage: setup.py {{{','.join(COMMANDS)}}} ...  (unknown: {' '.join(unknown)})")

    os.chdir(os.path.dirname(os.path.abspath(__file__)))
    from scikit_build_core import build

    settings = {}
    build_dir = os.environ.get("ORVALIS_BUILD_DIR", "").strip()
    if build_dir:
        settings["build-dir"] = os.path.abspath(build_dir)
    os.makedirs("dist", exist_ok=True)
    for command in commands:
        if command == "sdist":
            name = build.build_sdist("dist", settings)
        else:
            name = build.build_wheel("dist", settings)
        print(os.path.join("dist", name), flush=True)


if __name__ == "__main__":
    main(sys.argv)
