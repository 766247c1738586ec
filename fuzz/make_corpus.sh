#!/usr/bin/env bash
# Fills a seed corpus for tarq_ir_graph_fuzzer with small real models: every
# model of the Debian ONNX test data and the light models shipped with the
# onnx Python package, each under 1 MB. Files are named by content hash, so a
# second run adds nothing new. The corpus lives outside the repository.
#
# Usage: fuzz/make_corpus.sh [corpus-dir]   (default /tmp/tarq-fuzz-corpus)
set -euo pipefail
out=${1:-/tmp/tarq-fuzz-corpus}
max_bytes=$((1024 * 1024))
mkdir -p "$out"

sources=()
shopt -s nullglob
sources+=(/usr/share/libonnx-testdata/data/*/*/model.onnx)
light=$(python3 -c 'import os, onnx; print(os.path.join(os.path.dirname(onnx.__file__), "backend/test/data/light"))' 2>/dev/null || true)
if [ -n "$light" ] && [ -d "$light" ]; then
  sources+=("$light"/*.onnx)
else
  echo "make_corpus: the onnx Python package is not installed; skipping its light models" >&2
fi

added=0
for f in "${sources[@]}"; do
  [ "$(stat -c %s "$f")" -lt "$max_bytes" ] || continue
  dest="$out/$(sha1sum "$f" | cut -c1-40)"
  [ -e "$dest" ] && continue
  cp "$f" "$dest"
  added=$((added + 1))
done
echo "make_corpus: $added new seeds; $(ls "$out" | wc -l) in $out"
