#!/usr/bin/env bash
# Configures and builds into BUILD_DIR (default: build). Extra arguments go
# to cmake's configure step, e.g. -DSANITIZE=address.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
# A new build folder uses Ninja when it is there; one made before keeps the
# generator it was made with.
generator=()
if [ ! -f "$BUILD_DIR/CMakeCache.txt" ] && command -v ninja >/dev/null; then
  generator=(-G Ninja)
fi
cmake -S . -B "$BUILD_DIR" "${generator[@]}" "$@" >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)"
