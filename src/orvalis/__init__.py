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

_here = _os.path.dirname(_os.path.abspath(__file__))
if _here not in _sys.path:
    _sys.path.append(_here)

__all__ = ["marqolin", "load_dataset", "brevant"]


class _SameModule:
    """Finder and loader that makes ``orvalis.brevant`` the very module ``brevant``.

    The extension would otherwise be initialised twice, under two names, with two shared
    default records; one module object keeps one engine state per process.
    """

    _aliases = {__name__ + ".brevant": "brevant"}

    @classmethod
    def find_spec(cls, fullname, path=None, target=None):
        if fullname not in cls._aliases:
            return None
        from importlib.machinery import ModuleSpec

        return ModuleSpec(fullname, cls())

    def create_module(self, spec):
        from importlib import import_module

        module = import_module(self._aliases[spec.name])
        self._saved = (module.__spec__, module.__loader__)
        return module

    def exec_module(self, module):
        # the import machinery re-labelled the module with the alias' spec; restore its own
        module.__spec__, module.__loader__ = self._saved


if not any(f is _SameModule for f in _sys.meta_path):
    _sys.meta_path.insert(0, _SameModule)


def __getattr__(name):
    if name in ("marqolin", "load_dataset"):
        from importlib import import_module

        return getattr(import_module("orvalis.orvalis"), name)
    if name == "brevant":
        from importlib import import_module

        return import_module("orvalis.brevant")
    raise AttributeError(f"module 'orvalis' has no attribute {name!r}")
