"""Indexed, mutable graph over one ONNX model.

Everything here comes from the compiled extension ``_core``; this file only
re-exports it so that ``tarq.api.ir_graph`` and
``tarq.api.ir_graph.companions`` import as ordinary modules.
"""
import collections.abc as _abc
import sys as _sys

from . import _core
from ._core import (ACTIVATION_OPS, ELEMENTWISE_ALU_OPS, REDUCE_OPS, IRGraph, Operand,
                    ValidationError, VerifyError, compiler_fuse_tab, load_model, tarqLog,
                    to_onnx)

companions = _core.companions
_sys.modules[__name__ + ".companions"] = companions

# The live table views behave as read-only mappings and sequences.
_abc.Mapping.register(_core.NameIndexView)
_abc.Mapping.register(_core.OperandsView)
_abc.Mapping.register(_core.DependencyMapView)
_abc.Sequence.register(_core.NameListView)
_abc.Sequence.register(_core.CanFreesView)
_abc.MutableSequence.register(_core.ConsumerList)

__all__ = ["IRGraph", "Operand", "REDUCE_OPS", "ELEMENTWISE_ALU_OPS", "ACTIVATION_OPS", "tarqLog",
           "load_model", "to_onnx", "ValidationError", "VerifyError", "companions",
           "compiler_fuse_tab"]
