#!/usr/bin/env bash
# Sets up, builds and runs Tethra's test suite.
#   BUILD_DIR        build folder (default: build)
#   TETHRA_SANITIZE  "" | address (ASan + UBSan) | thread (TSan)
#   TEST_LABELS      ctest label regex to run only some folders' tests (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DTETHRA_SANITIZE="${TETHRA_SANITIZE:-}" -DTETHRA_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)"

args=(--test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 300)
if [[ -n ${TEST_LABELS:-} ]]; then
  args+=(-L "$TEST_LABELS")
fi
ctest "${args[@]}"
