#!/usr/bin/env python3
"""Exports a real-size model for the benchmarks: BERT-base with random weights.

The architecture comes from the transformers package (BertConfig(), 12 layers,
hidden size 768, about 110M parameters, some 420 MiB of float32 weights); the
weights are drawn at random, so nothing is downloaded. The model is exported
with torch.onnx.export at opset 17 and cached under bench/.cache/; a second call
returns the cached file. Weights go to an external data file only when the
model would pass the 2 GB protobuf limit (BERT-base does not).

Needs the packages of bench/requirements.txt.

    python bench/export_real_model.py [--out PATH] [--force]
"""
import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_CACHE = os.path.join(HERE, ".cache")
OPSET = 17
SEQ_LEN = 128
# Bump whenever the export changes: the cache is keyed by it.
EXPORT_VERSION = 1
PROTOBUF_LIMIT = 2 * 10**9


def default_path(cache_dir=DEFAULT_CACHE):
    return os.path.join(cache_dir, f"bert_base_opset{OPSET}_e{EXPORT_VERSION}.onnx")


def _log(msg):
    print(msg, file=sys.stderr, flush=True)


def _build_model():
    import torch
    from transformers import BertConfig, BertModel

    torch.manual_seed(0)
    # Eager attention keeps the graph to plain MatMul/Softmax, as most exported
    # transformers look; no pooler, so every weight is used by the output.
    config = BertConfig(attn_implementation="eager")
    model = BertModel(config, add_pooling_layer=False).eval()
    return model, config


def _last_hidden_state(model):
    """The model with a plain tensor output: the last hidden state alone."""
    import torch

    class LastHiddenState(torch.nn.Module):
        def __init__(self, inner):
            super().__init__()
            self.inner = inner

        def forward(self, input_ids, attention_mask, token_type_ids):
            return self.inner(input_ids=input_ids, attention_mask=attention_mask,
                              token_type_ids=token_type_ids, return_dict=False)[0]

    return LastHiddenState(model).eval()


def export(path, force=False):
    """Writes the model to `path` unless it exists; returns the path."""
    if os.path.exists(path) and not force:
        return path
    import onnx
    import torch

    t0 = time.perf_counter()
    model, config = _build_model()
    wrapped = _last_hidden_state(model)
    n_params = sum(p.numel() for p in model.parameters())
    ids = torch.randint(0, config.vocab_size, (1, SEQ_LEN), dtype=torch.int64)
    mask = torch.ones((1, SEQ_LEN), dtype=torch.int64)
    types = torch.zeros((1, SEQ_LEN), dtype=torch.int64)

    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    tmp = f"{path}.tmp{os.getpid()}"
    with torch.no_grad():
        torch.onnx.export(
            wrapped, (ids, mask, types), tmp,
            input_names=["input_ids", "attention_mask", "token_type_ids"],
            output_names=["last_hidden_state"],
            dynamic_axes={n: {0: "batch", 1: "sequence"}
                          for n in ("input_ids", "attention_mask", "token_type_ids",
                                    "last_hidden_state")},
            opset_version=OPSET, do_constant_folding=True, dynamo=False)

    m = onnx.load(tmp)
    if m.opset_import and max(o.version for o in m.opset_import if o.domain in ("", "ai.onnx")) != OPSET:
        from onnx import version_converter
        m = version_converter.convert_version(m, OPSET)
    m.producer_name = "tarq-bench"
    large = m.ByteSize() > PROTOBUF_LIMIT
    os.remove(tmp)
    if large:
        onnx.save_model(m, tmp, save_as_external_data=True, all_tensors_to_one_file=True,
                        location=os.path.basename(path) + ".data")
    else:
        onnx.save_model(m, tmp)
    onnx.checker.check_model(tmp if large else m)
    os.replace(tmp, path)
    _log(f"exported {path}: {len(m.graph.node):,} nodes, {n_params / 1e6:.0f}M parameters, "
         f"{os.path.getsize(path) / 2**20:.0f} MiB, in {time.perf_counter() - t0:.0f} s")
    return path


def main(argv=None):
    ap = argparse.ArgumentParser(description="Export BERT-base (random weights) at opset 17.")
    ap.add_argument("--out", default=default_path(), help="output file (default: %(default)s)")
    ap.add_argument("--force", action="store_true", help="export again even if the file exists")
    args = ap.parse_args(argv)
    print(export(args.out, args.force))
    return 0


if __name__ == "__main__":
    sys.exit(main())
