#!/usr/bin/env bash
# Builds everything (installing what is missing) and runs the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
./scripts/build.sh
echo
echo "== Updater -D (USB discovery) =="
./build/Updater -D || true
