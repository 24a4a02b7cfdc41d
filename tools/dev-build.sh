#!/usr/bin/env bash
# Incremental build into build/dev for working on the C++; then e.g.
#   PYTHONPATH=build/dev:python python3 -m pytest
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-python3}
dir=${BUILD_DIR:-build/dev}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-Debug} \
  -DPython_EXECUTABLE="$(command -v "$py")" ${CMAKE_ARGS:-} >/dev/null
cmake --build "$dir"
