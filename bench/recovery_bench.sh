#!/usr/bin/env bash
# Recovery on a serial line paced like a 115200-baud UART, beside lpc21isp and
# imx_uart on the same simulated boot ROM, against the wire limit. Builds what
# is missing into BUILD_DIR (default: build) and prints the table rows (P3 LPC,
# P4 i.MX). Arguments go to the program: --baud B --lpc-bytes N --imx-bytes N --rounds R.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)" --target bench_recovery >/dev/null
exec nice -n 19 "$BUILD_DIR/bench/bench_recovery" "$@"
