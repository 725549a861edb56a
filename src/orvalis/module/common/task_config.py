"""Task configuration of a training result: the sections of its ``config.yaml``.

``TaskConfig(path)`` loads a configuration file; ``TaskConfig()`` gives the configuration that
is active for the data being processed: the one a caller made active with :func:`active` in the
current thread (or asyncio task), else the one most recently loaded in the process. Before
anything is loaded it has an empty section "Feature" (no grouping column).

The active configuration lives in a context variable, so two result folders served at the same
time from two threads each see their own configuration.
"""

from __future__ import annotations

import contextlib
import contextvars
from typing import Any, Iterator

import yaml

_loaded: dict[str, Any] | None = None  # the configuration most recently loaded from a file
# the configuration made active by `active` in the current context (None: none active)
_active: contextvars.ContextVar[dict[str, Any] | None] = contextvars.ContextVar(
    "orvalis_active_task_config", default=None
)


class TaskConfig:
    """The task configuration: ``cfg`` maps section names to dicts of keys."""

    cfg: dict[str, Any]

    def __init__(self, yaml_path: str | None = None) -> None:
        global _loaded
        if yaml_path is None:
            current = _active.get()
            if current is not None:
                self.cfg = current
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
    """Make ``cfg`` what ``TaskConfig()`` gives in this thread while the block runs (blocks may
    nest; other threads are not affected)."""
    token = _active.set(cfg)
    try:
        yield cfg
    finally:
        _active.reset(token)
