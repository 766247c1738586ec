#!/usr/bin/env bash
# Runs every test: installs what is missing, builds, then the C++ suite
# (ctest) and the Python suite (pytest) against the build tree, and checks
# that `pip install .` produces an importable package. Fails when a suite
# fails or runs no test.
#   TARQ_BUILD_DIR   build directory (default: build)
#   TARQ_SANITIZE=1  build and run under AddressSanitizer + UBSan
#   TARQ_SKIP_WHEEL=1  skip the `pip install .` check
# The Python suite runs with TARQ_VERIFY=1: every rebuild ends with verify().
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/bootstrap.sh

build=${TARQ_BUILD_DIR:-build}
# Let ccache share objects between clones in other folders.
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
san=OFF
[ "${TARQ_SANITIZE:-0}" = 1 ] && san=ON
cmake -S . -B "$build" -G Ninja -DTARQ_SANITIZE=$san >/dev/null
cmake --build "$build" -j2

echo "== C++ tests"
ctest --test-dir "$build" --output-on-failure -j2 | tee "$build/ctest.log"
grep -Eq '^100% tests passed(, 0 tests failed)? out of [1-9]' "$build/ctest.log" || {
  echo "C++ tests: none ran or some failed" >&2; exit 1; }

echo "== Python tests"
export PYTHONPATH="$root/$build/python${PYTHONPATH:+:$PYTHONPATH}"
export TARQ_IR="$root/$build/tarq-ir"
# Every rebuild proves its tables (IRGraph.verify) while the suite runs.
export TARQ_VERIFY=1
pyenv=()
if [ "$san" = ON ]; then
  # The extension needs the sanitizer runtime loaded first; Python's own
  # allocations are not ours to report.
  asan=$(g++ -print-file-name=libasan.so)
  ubsan=$(g++ -print-file-name=libubsan.so)
  pyenv=(env LD_PRELOAD="$asan:$ubsan" ASAN_OPTIONS=detect_leaks=0 PYTHONMALLOC=malloc)
fi
set +e
# -rs lists every skipped test with its reason (the model sweep names the
# models it cannot run and why).
"${pyenv[@]}" python3 -m pytest -q -rs -p no:cacheprovider tests/python "$@"
rc=$?
set -e
[ $rc -eq 5 ] && { echo "Python tests: none ran" >&2; exit 1; }
[ $rc -ne 0 ] && exit $rc

if [ "${TARQ_SKIP_WHEEL:-0}" != 1 ] && [ "$san" = OFF ]; then
  echo "== pip install . (into a scratch target)"
  target=$(mktemp -d)
  trap 'rm -rf "$target"' EXIT
  python3 -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
    --target "$target" . 
  (cd "$target" && PYTHONPATH="$target" python3 -c \
    "import tarq.api.ir_graph as g; m = g.load_model('$root/examples/small_cnn.onnx'); print('installed package works:', g.IRGraph(m))")
fi
