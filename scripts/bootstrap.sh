#!/usr/bin/env bash
# Installs everything the build, the tests and the fuzzer (clang, libFuzzer)
# need (headless chromium and a font: the report page's test opens the page
# in it), then builds the pinned ONNX C++ library once into a per-version
# cache outside the work tree.
# Idempotent: a second run on the same machine only checks what is there.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

ONNX_VERSION=1.23.2
ONNX_SHA256=008cb0467b2bbee41448acc7da8b6f4e704624cb0d327a2d5adafc7ce19bc5b8
CACHE=${TARQ_CACHE:-$HOME/.cache/tarq}
ONNX_PREFIX=$CACHE/onnx-$ONNX_VERSION

DEBS=(libprotobuf-dev protobuf-compiler libtsl-ordered-map-dev libfmt-dev
      libcli11-dev nlohmann-json3-dev libxxhash-dev libgtest-dev libgmock-dev ninja-build
      ccache libonnx-testdata clang-format clang libclang-rt-14-dev locales
      chromium fonts-dejavu-core)

missing=()
for p in "${DEBS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "bootstrap: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# onnxruntime's string normalisation (run on the backend test models) needs
# the en_US.UTF-8 locale.
if ! locale -a 2>/dev/null | grep -qi '^en_US\.utf-\?8$'; then
  sed -i 's/^# *\(en_US\.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  locale-gen >/dev/null
fi

python3 -m pip install -q --disable-pip-version-check -r "$here/requirements.txt"
python3 -m pip install -q --disable-pip-version-check --no-deps -r "$here/tests/requirements-models.txt"
python3 -m pip install -q --disable-pip-version-check -r "$here/fuzz/requirements.txt"

if [ ! -f "$ONNX_PREFIX/lib/cmake/ONNX/ONNXConfig.cmake" ]; then
  echo "bootstrap: building the ONNX C++ library $ONNX_VERSION into $ONNX_PREFIX"
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  python3 -m pip download -q --disable-pip-version-check --no-deps --no-binary :all: \
    --no-build-isolation -d "$work" "onnx==$ONNX_VERSION"
  sdist=$(ls "$work"/onnx-"$ONNX_VERSION".tar.gz)
  echo "$ONNX_SHA256  $sdist" | sha256sum -c --quiet -
  tar -xzf "$sdist" -C "$work"
  cmake -S "$work/onnx-$ONNX_VERSION" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DONNX_ML=1 -DONNX_BUILD_PYTHON=OFF -DONNX_BUILD_TESTS=OFF -DONNX_GEN_PB_TYPE_STUBS=OFF \
    -DONNX_USE_PROTOBUF_SHARED_LIBS=ON -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
    -DCMAKE_INSTALL_PREFIX="$ONNX_PREFIX" >/dev/null
  cmake --build "$work/build" -j2 >/dev/null
  cmake --install "$work/build" >/dev/null
fi
echo "bootstrap: ready (ONNX at $ONNX_PREFIX)"
