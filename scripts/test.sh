#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds, runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
BUILD_DIR=${BUILD_DIR:-build} ./scripts/build.sh "$@"
cd "${BUILD_DIR:-build}"
ctest --output-on-failure -j "$(nproc)"
