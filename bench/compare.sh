#!/usr/bin/env bash
# End-to-end comparison of tarvio with sox and with the plain I/O floor, on
# this machine, in one run.
#
# Input: a 10-minute stereo 44.1 kHz 16-bit WAV generated with sox. Timed,
# alternating, after one warm-up round:
#   tarvio  tarvio in.wav out.aif with two sweeping rotations
#   sox     sox in.wav -b 16 out.aif remix 1,2 1,2 1,2 1,2
#           (the same input, an output of the same size, no movement at all)
#   floor   cat in.wav > /dev/null; head -c SIZE /dev/zero > out
#           (reading the input and writing as many bytes as tarvio writes)
# Prints the median wall-clock time of each, the ratios tarvio/sox and
# tarvio/floor, and tarvio's peak resident memory for a 1-minute and a
# 10-minute input.
#
# Usage: bench/compare.sh [runs]        (runs: timed runs of each, at least 5)
# Environment: COMPARE_BUILD_DIR  build directory for the Release build of
#                                 tarvio (default: build-compare in the
#                                 repository)
#              COMPARE_MINUTES    length of the long input (default 10)
#              TMPDIR             where the work files go (default /tmp)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
RUNS="${1:-5}"
MINUTES="${COMPARE_MINUTES:-10}"
BUILD="${COMPARE_BUILD_DIR:-$ROOT/build-compare}"

if ! [[ "$RUNS" =~ ^[0-9]+$ ]] || ((RUNS < 5)); then
    echo "runs must be a whole number of at least 5" >&2
    exit 2
fi
if ! [[ "$MINUTES" =~ ^[0-9]+$ ]] || ((MINUTES < 1)); then
    echo "COMPARE_MINUTES must be a whole number of at least 1" >&2
    exit 2
fi
for tool in cmake sox /usr/bin/time awk; do
    command -v "$tool" >/dev/null || {
        echo "compare.sh needs $tool" >&2
        exit 2
    }
done

# --- build tarvio (Release) in its own build directory
echo "building tarvio (Release) in $BUILD ..."
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release \
    -DTARVIO_BUILD_TESTS=OFF -DTARVIO_BUILD_BENCH=OFF -DTARVIO_BUILD_FUZZ=OFF \
    -DTARVIO_SANITIZE=OFF >/dev/null
cmake --build "$BUILD" --target tarvio -j2 >/dev/null
TARVIO="$BUILD/tarvio"

WORK="$(mktemp -d "${TMPDIR:-/tmp}/tarvio-compare.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT

# --- inputs: a tone in the left channel, pink noise in the right; -R and -D
# (no dither) make the input the same on every run
make_input() { # seconds file
    sox -R -D -r 44100 -c 2 -n -b 16 "$2" synth "$1" sine 440 pinknoise vol 0.7
}
echo "generating the ${MINUTES}-minute and the 1-minute input ..."
IN="$WORK/in.wav"
IN1="$WORK/in1.wav"
make_input $((MINUTES * 60)) "$IN"
make_input 60 "$IN1"

# Sweeping rotations: 0.25 -> 3 Hz and 0.5 -> 1.75 Hz, starting 90 degrees
# apart.
TARVIO_ARGS=(0.25 3 0.5 1.75 0 90)

run_tarvio() { "$TARVIO" "$IN" "$WORK/out_tarvio.aif" "${TARVIO_ARGS[@]}" >"$WORK/tarvio.log"; }
run_sox() { sox "$IN" -b 16 "$WORK/out_sox.aif" remix 1,2 1,2 1,2 1,2 2>/dev/null; }
run_floor() {
    cat "$IN" >/dev/null
    head -c "$SIZE" /dev/zero >"$WORK/out_floor"
}

# Wall-clock seconds of one run; every output file is removed first, so each
# run creates its file afresh.
time_one() { # name
    rm -f "$WORK/out_$1" "$WORK/out_$1.aif"
    sync -f "$WORK" 2>/dev/null || true
    local t0 t1
    t0=$(date +%s%N)
    "run_$1"
    t1=$(date +%s%N)
    awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f\n", (b - a) / 1e9 }'
}

median() { # values...
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 }
        END { if (NR % 2) printf "%.3f", v[(NR + 1) / 2];
              else printf "%.3f", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# --- warm-up: one run of each; it also fixes the floor's output size and
# checks that tarvio did its work
run_tarvio
if grep -q "Error" "$WORK/tarvio.log"; then
    echo "tarvio failed:" >&2
    cat "$WORK/tarvio.log" >&2
    exit 1
fi
SIZE=$(stat -c %s "$WORK/out_tarvio.aif")
run_sox
run_floor
SOX_SIZE=$(stat -c %s "$WORK/out_sox.aif")

# --- timed runs, alternating
LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo "?")
T_TARVIO=()
T_SOX=()
T_FLOOR=()
for ((i = 1; i <= RUNS; i++)); do
    T_TARVIO+=("$(time_one tarvio)")
    T_SOX+=("$(time_one sox)")
    T_FLOOR+=("$(time_one floor)")
    echo "run $i/$RUNS: tarvio ${T_TARVIO[-1]} s, sox ${T_SOX[-1]} s, floor ${T_FLOOR[-1]} s"
done

LOAD_AFTER=$(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo "?")
M_TARVIO=$(median "${T_TARVIO[@]}")
M_SOX=$(median "${T_SOX[@]}")
M_FLOOR=$(median "${T_FLOOR[@]}")
R_SOX=$(awk -v a="$M_TARVIO" -v b="$M_SOX" 'BEGIN { printf "%.2f", a / b }')
R_FLOOR=$(awk -v a="$M_TARVIO" -v b="$M_FLOOR" 'BEGIN { printf "%.2f", a / b }')

# --- peak resident memory of tarvio (kB, as /usr/bin/time reports it)
peak_rss() { # input
    /usr/bin/time -f %M -o "$WORK/rss" "$TARVIO" "$1" "$WORK/out_rss.aif" "${TARVIO_ARGS[@]}" \
        >/dev/null
    cat "$WORK/rss"
}
RSS1=$(peak_rss "$IN1")
RSS10=$(peak_rss "$IN")

IN_SIZE=$(stat -c %s "$IN")
CPU=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo 2>/dev/null || echo "?")
OS=$( (. /etc/os-release 2>/dev/null && echo "$PRETTY_NAME") || uname -s)
echo
echo "machine: $CPU, $(nproc) cores, $OS, kernel $(uname -r)"
echo "load average (1, 5, 15 min): $LOAD_BEFORE before the timed runs, $LOAD_AFTER after"
echo "input: ${MINUTES} min stereo 44.1 kHz 16-bit WAV, $IN_SIZE bytes;" \
    "output: tarvio $SIZE bytes, sox $SOX_SIZE bytes"
echo "medians of $RUNS alternating runs after a warm-up (wall clock):"
echo
echo "| measurement | result |"
echo "|---|---|"
echo "| tarvio (sweeping rotations) | $M_TARVIO s |"
echo "| sox remix 1,2 x 4 | $M_SOX s |"
echo "| I/O floor (cat + head -c) | $M_FLOOR s |"
echo "| tarvio / sox | $R_SOX |"
echo "| tarvio / floor | $R_FLOOR |"
echo "| tarvio peak RSS, 1-minute input | $RSS1 kB |"
echo "| tarvio peak RSS, ${MINUTES}-minute input | $RSS10 kB |"
