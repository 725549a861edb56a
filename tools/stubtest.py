"""Check the shipped .pyi stubs against the built modules (mypy's stubtest).

The release tools tessaro and vollix run when imported, so they are never checked here.
"""

import os
import subprocess
import sys

CANDIDATES = [
    "orvalis.brevant",
    "orvalis.orvalis",
    "orvalis.module.dataprocess.strendal",
    "orvalis.module.automl.flaml.quillet",
]

here = os.path.dirname(os.path.abspath(__file__))
src = os.path.join(os.path.dirname(here), "src")
modules = []
for name in CANDIDATES:
    package, _, leaf = name.rpartition(".")
    folder = os.path.join(src, *package.split("."))
    has_so = any(f.startswith(leaf + ".") and f.endswith(".so") for f in os.listdir(folder))
    if has_so and os.path.exists(os.path.join(folder, leaf + ".pyi")):
        modules.append(name)

allow = os.path.join(here, "stubtest_allowlist.txt")
cmd = [
    sys.executable,
    "-m",
    "mypy.stubtest",
    "--mypy-config-file",
    os.path.join(here, "stubtest_mypy.ini"),
    *modules,
]
if os.path.exists(allow):
    cmd[3:3] = ["--allowlist", allow]
print("stubtest:", " ".join(modules), flush=True)
sys.exit(subprocess.call(cmd, env={**os.environ, "PYTHONPATH": src}))
