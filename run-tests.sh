#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds Tarvio with its tests and runs every test: the normal build, the
# same suite under AddressSanitizer and UndefinedBehaviorSanitizer, and a
# short deterministic run of each fuzz target over its seeds.
#
# Installs the Debian packages it needs when they are missing (as root), or
# prints the apt-get line to run.
set -euo pipefail
cd "$(dirname "$0")"

# dpkg-dev, file and man-db for the Debian package's test: dpkg-shlibdeps
# names the package's dependencies, CPack's Debian generator asks file what
# the binaries are, man -w finds the installed manual page.
# libmysofa and KissFFT for tarvio-render's headphone output (libmysofa1
# brings the default HRIR set), ffmpeg as a peer that reads its files,
# netcdf-bin's ncgen for the tests' own small SOFA sets; libsoxr and toml++
# for tarvio-render's scenes (resampling, scene files); Qhull for the
# engine's triangles of loudspeakers with height.
packages=(cmake g++ make pkg-config libgtest-dev libsndfile1-dev libcli11-dev sox libxml2-utils strace clang libclang-rt-14-dev
    dpkg-dev file man-db libmysofa-dev libmysofa1 libkissfft-dev libebur128-dev ffmpeg netcdf-bin
    libsoxr-dev libtomlplusplus-dev libqhull-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -eq 0 ]; then
        echo "== installing ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
    else
        echo "Missing packages. Run:"
        echo "  sudo apt-get install -y ${missing[*]}"
        exit 1
    fi
fi

jobs=$(nproc 2>/dev/null || echo 2)

echo "== build (warnings are errors)"
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTARVIO_REQUIRE_PEERS=ON -DTARVIO_WERROR=ON >/dev/null
cmake --build build-test -j"$jobs"

echo "== tests"
ctest --test-dir build-test --output-on-failure -j"$jobs"

# This build also uses only the portable loops, so the pinned outputs in
# tests/golden check that they give the same bytes as the vector code.
echo "== build with AddressSanitizer and UndefinedBehaviorSanitizer, portable loops"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTARVIO_SANITIZE=ON -DTARVIO_NO_SIMD=ON \
    -DTARVIO_REQUIRE_PEERS=ON -DTARVIO_WERROR=ON >/dev/null
cmake --build build-asan -j"$jobs"

echo "== tests under the sanitizers"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j"$jobs"

echo "== fuzz smoke run"
fuzz/run-fuzz.sh smoke
