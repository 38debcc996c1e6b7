#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds tarvio and tarvio-render and spatializes the shipped example
# examples/demo.wav with both.
#
# Installs the Debian packages it needs when they are missing (as root), or
# prints the apt-get line to run.
set -euo pipefail
cd "$(dirname "$0")"

packages=(cmake g++ make pkg-config libsndfile1-dev libcli11-dev libmysofa-dev libmysofa1 libkissfft-dev libebur128-dev
    libsoxr-dev libtomlplusplus-dev libqhull-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -eq 0 ]; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
    else
        echo "Missing packages. Run:"
        echo "  sudo apt-get install -y ${missing[*]}"
        exit 1
    fi
fi

cmake -S . -B build -DTARVIO_BUILD_TESTS=OFF >/dev/null
cmake --build build --target tarvio tarvio-render -j"$(nproc 2>/dev/null || echo 2)"

mkdir -p out
# The eight seconds of examples/demo.wav circle the square twice, one turn
# every four seconds, through the corners of channels 4, 3, 1 and 2.
./build/tarvio examples/demo.wav out/demo.aif 0.25 0.25 0.25 0.25 0 0
echo "output written to out/demo.aif"
echo "(channels of the square seen from above: 1 top right, 2 top left, 3 bottom right, 4 bottom left)"

# The same circle with equal power all the way round, as a WAV file with a
# channel mask, and a picture of the path.
./build/tarvio-render --law power --rot1 0.25 --rot2 0.25 --plot out/demo.svg \
    examples/demo.wav out/demo.wav
echo "output written to out/demo.wav, picture of the path in out/demo.svg"

# The same circle for headphones: the four loudspeakers heard through the
# measured HRTFs of the default SOFA set.
./build/tarvio-render -q --law power --rot1 0.25 --rot2 0.25 --norm 0.5 --binaural \
    examples/demo.wav out/demo-headphones.wav
echo "output written to out/demo-headphones.wav (for headphones)"
