"""orvalis: work with the result folder of a tabular AutoML training run.

Importing the package puts the package folder on ``sys.path``, so that the feature engine is
importable as the top-level module ``brevant`` and the platform layers as ``module.common``
and ``module.util``. The heavy modules are imported only when asked for:
``from orvalis import marqolin`` loads the inference API, ``orvalis.brevant`` the feature
engine. The release tools ``orvalis.tessaro`` and ``orvalis.vollix`` run when imported and are
never imported from here.
"""

import os as _os
import sys as _sys

__version__ = "0.1.0"

_here = _os.path.dirname(_os.path.abspath(__file__))
if _here not in _sys.path:
    _sys.path.append(_here)

__all__ = ["marqolin", "load_dataset", "frozen_statistics", "brevant"]


def _inside(entry):
    """True when the path entry is the package folder or a folder below it."""
    entry = _os.path.abspath(entry or _os.curdir)
    return entry == _here or entry.startswith(_here + _os.sep)


class _SameModule:
    """Finder and loader that gives one module object under two names.

    ``orvalis.brevant`` is the very module ``brevant``; the platform layers and every module
    below ``orvalis.module`` are the very modules ``module.common.task_config``,
    ``module.util.report``, ... Without it each would be initialised twice, with two states:
    a configuration made active through one name would be unseen through the other.

    ``module`` itself is this package's ``orvalis.module`` unless another folder on ``sys.path``
    ahead of the package folder (a user's own ``module``) provides it; its platform layers are
    this package's either way, so such a folder cannot break the feature engine's imports.
    """

    _package = __name__

    @classmethod
    def _canonical(cls, fullname, path):
        if fullname == cls._package + ".brevant":
            return "brevant"
        if fullname.startswith("module."):
            if path is not None and not any(_inside(p) for p in path):
                # below a user's own `module`: what it has itself stays its own
                from importlib.machinery import PathFinder

                if PathFinder.find_spec(fullname, path) is not None:
                    return None
            from importlib.util import find_spec

            name = cls._package + "." + fullname
            try:
                return name if find_spec(name) is not None else None
            except ImportError:
                return None
        if fullname == "module" and not cls._shadowed():
            return cls._package + ".module"
        return None

    @staticmethod
    def _shadowed():
        """True when a path entry ahead of the package folder has a module named ``module``."""
        from importlib.machinery import PathFinder

        ahead = []
        for entry in _sys.path:
            if _inside(entry):
                break
            ahead.append(entry)
        return PathFinder.find_spec("module", ahead) is not None

    @classmethod
    def find_spec(cls, fullname, path=None, target=None):
        canonical = cls._canonical(fullname, path)
        if canonical is None:
            return None
        from importlib.machinery import ModuleSpec

        return ModuleSpec(fullname, cls(canonical))

    def __init__(self, canonical):
        self._name = canonical

    def create_module(self, spec):
        from importlib import import_module

        module = import_module(self._name)
        self._saved = (module.__spec__, module.__loader__)
        return module

    def exec_module(self, module):
        # the import machinery re-labelled the module with the alias' spec; restore its own
        module.__spec__, module.__loader__ = self._saved


if not any(getattr(f, "__qualname__", None) == "_SameModule" for f in _sys.meta_path):
    _sys.meta_path.insert(0, _SameModule)


def __getattr__(name):
    if name in ("marqolin", "load_dataset", "frozen_statistics"):
        from importlib import import_module

        return getattr(import_module("orvalis.orvalis"), name)
    if name == "brevant":
        from importlib import import_module

        return import_module("orvalis.brevant")
    raise AttributeError(f"module 'orvalis' has no attribute {name!r}")


def __dir__():
    # the public face; submodules imported so far (the release tools included) stay out of it
    return sorted({*(n for n in globals() if n.startswith("__") and n.endswith("__")), *__all__})
