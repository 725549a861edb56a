"""Task configuration of a training result: the sections of its ``config.yaml``.

``TaskConfig(path)`` loads a configuration file; ``TaskConfig()`` gives the configuration that
is active for the data being processed: the one most recently loaded, unless a caller made
another one active with :func:`active`. Before anything is loaded it has an empty section
"Feature" (no grouping column).
"""

from __future__ import annotations

import contextlib
from typing import Any, Iterator

import yaml

_loaded: dict[str, Any] | None = None  # the configuration most recently loaded from a file
_active: list[dict[str, Any]] = []  # configurations made active by `active`, innermost last


class TaskConfig:
    """The task configuration: ``cfg`` maps section names to dicts of keys."""

    def __init__(self, yaml_path: str | None = None) -> None:
        global _loaded
        if yaml_path is None:
            if _active:
                self.cfg = _active[-1]
            elif _loaded is not None:
                self.cfg = _loaded
            else:
                self.cfg = {"Feature": {}}
            return
        with open(yaml_path, encoding="utf-8") as f:
            cfg = yaml.safe_load(f)
        self.cfg = cfg
        _loaded = cfg


@contextlib.contextmanager
def active(cfg: dict[str, Any]) -> Iterator[dict[str, Any]]:
    """Make ``cfg`` what ``TaskConfig()`` gives while the block runs (blocks may nest)."""
    _active.append(cfg)
    try:
        yield cfg
    finally:
        _active.pop()
