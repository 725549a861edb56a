"""Check the shipped .pyi stubs against the built modules (mypy's stubtest).

The release tools tessaro and vollix run when imported, so they are never checked here: they
ship no stubs (stubtest imports only what has one), and their missing stubs are allowed. The
same holds for orvalis.__main__, the command line's entry point, which runs when imported.
"""

import os
import subprocess
import sys
import tempfile

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

if len(modules) == len(CANDIDATES):
    # all built: the package face (__init__.pyi) too; stubtest walks every stubbed submodule
    modules = ["orvalis"]

allow = os.path.join(here, "stubtest_allowlist.txt")
tools = tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False)
tools.write("orvalis.tessaro\norvalis.vollix\norvalis.__main__\n")
tools.close()
cmd = [
    sys.executable,
    "-m",
    "mypy.stubtest",
    "--allowlist",
    tools.name,
    "--mypy-config-file",
    os.path.join(here, "stubtest_mypy.ini"),
    *modules,
]
if os.path.exists(allow):
    cmd[3:3] = ["--allowlist", allow]
print("stubtest:", " ".join(modules), flush=True)
try:
    status = subprocess.call(cmd, env={**os.environ, "PYTHONPATH": src})
finally:
    os.unlink(tools.name)
sys.exit(status)
