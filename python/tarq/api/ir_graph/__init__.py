"""Indexed, mutable graph over one ONNX model.

Everything here comes from the compiled extension ``_core``; this file only
re-exports it so that ``tarq.api.ir_graph`` and
``tarq.api.ir_graph.companions`` import as ordinary modules.
"""
import sys as _sys

from . import _core
from ._core import *  # noqa: F401,F403

companions = _core.companions
_sys.modules[__name__ + ".companions"] = companions
