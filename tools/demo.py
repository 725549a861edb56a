"""`make demo`: the main job on the bundled sample."""

import os
import runpy

runpy.run_path(os.path.join(os.path.dirname(os.path.abspath(__file__)), "demo_features.py"),
               run_name="__main__")
