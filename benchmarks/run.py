"""Run every benchmarks/bench_*.py in turn (`make bench`); each prints its own table."""

import glob
import os
import subprocess
import sys

here = os.path.dirname(os.path.abspath(__file__))
failed = 0
for script in sorted(glob.glob(os.path.join(here, "bench_*.py"))):
    only = sys.argv[1:]
    if only and not any(word in os.path.basename(script) for word in only):
        continue
    failed |= subprocess.call([sys.executable, script], cwd=here) != 0
sys.exit(failed)
