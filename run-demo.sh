#!/usr/bin/env bash
# Builds tarvio and spatializes the shipped example examples/demo.wav.
set -euo pipefail
cd "$(dirname "$0")"

missing=()
for p in cmake g++ make; do
    command -v "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -eq 0 ]; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends cmake g++ make
    else
        echo "Missing tools. Run:"
        echo "  sudo apt-get install -y cmake g++ make"
        exit 1
    fi
fi

cmake -S . -B build >/dev/null
cmake --build build --target tarvio -j"$(nproc 2>/dev/null || echo 2)"

mkdir -p out
# The eight seconds of examples/demo.wav circle the square twice, one turn
# every four seconds, through the corners of channels 4, 3, 1 and 2.
./build/tarvio examples/demo.wav out/demo.aif 0.25 0.25 0.25 0.25 0 0
echo "output written to out/demo.aif"
echo "(channels of the square seen from above: 1 top right, 2 top left, 3 bottom right, 4 bottom left)"
