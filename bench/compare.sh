#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# End-to-end comparison of tarvio with sox and with the plain I/O floor, on
# this machine, in one run.
#
# Input: a 10-minute (COMPARE_MINUTES) 16-bit WAV generated with sox, stereo
# 44.1 kHz by default (a tone in the left channel, pink noise in the right)
# or, with COMPARE_CHANNELS=1, mono (the tone mixed with pink noise); the rate
# is COMPARE_RATE. Timed, in alternating rounds after one warm-up round:
#   tarvio  tarvio in.wav out.aif with two sweeping rotations
#   sox     sox in.wav -b 16 out.aif remix 1,2 1,2 1,2 1,2   (stereo input)
#           sox in.wav -b 16 out.aif remix 1 1 1 1           (mono input)
#           (the same input, an output of the same size, no movement at all)
#   floor   dd if=in.wav of=/dev/null bs=1M; dd if=/dev/zero of=out bs=1M
#           count=SIZE iflag=count_bytes
#           (reading the input and writing as many bytes as tarvio writes,
#           both in 1 MiB pieces, so the floor spends next to no time in
#           system calls of its own)
#   floor, room set aside
#           the floor with the output's room set aside first, as tarvio and
#           tarvio-render do (fallocate -n, dd conv=notrunc, truncate): how
#           far tarvio is from writing the way it writes
#   render  tarvio-render --quiet --rot1 0.25:3 --rot2 0.5:1.75 --angle1 0
#           --angle2 90 in.wav out.aif, the same job; only when the build
#           directory knows a tarvio-render target
# Every output file is removed before each run. Prints the median wall-clock
# time of each, the ratios tarvio/floor and tarvio/sox (and
# tarvio-render/tarvio), and the peak resident memory of tarvio (and of
# tarvio-render) for a 1-minute input, the long input and a 60-minute
# (COMPARE_RSS_MINUTES) input, which is made after the timed runs.
#
# Usage: bench/compare.sh [runs]        (runs: timed runs of each, at least 5)
# Environment: COMPARE_BUILD_DIR  build directory for the Release build of
#                                 tarvio (default: build-compare in the
#                                 repository)
#              COMPARE_MINUTES    length of the long input (default 10)
#              COMPARE_CHANNELS   1 or 2, channels of the input (default 2)
#              COMPARE_RATE       sample rate of the input in Hz
#                                 (default 44100)
#              COMPARE_RSS_MINUTES  length of the input of the last memory
#                                 measurement (default 60; 0 leaves it out)
#              TMPDIR             where the work files go (default /tmp)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
RUNS="${1:-5}"
MINUTES="${COMPARE_MINUTES:-10}"
CHANNELS="${COMPARE_CHANNELS:-2}"
RATE="${COMPARE_RATE:-44100}"
BUILD="${COMPARE_BUILD_DIR:-$ROOT/build-compare}"
RSS_MINUTES="${COMPARE_RSS_MINUTES:-60}"

if ! [[ "$RUNS" =~ ^[0-9]+$ ]] || ((RUNS < 5)); then
    echo "runs must be a whole number of at least 5" >&2
    exit 2
fi
if ! [[ "$MINUTES" =~ ^[0-9]+$ ]] || ((MINUTES < 1)); then
    echo "COMPARE_MINUTES must be a whole number of at least 1" >&2
    exit 2
fi
if ! [[ "$RSS_MINUTES" =~ ^[0-9]+$ ]]; then
    echo "COMPARE_RSS_MINUTES must be a whole number" >&2
    exit 2
fi
if [[ "$CHANNELS" != 1 && "$CHANNELS" != 2 ]]; then
    echo "COMPARE_CHANNELS must be 1 or 2" >&2
    exit 2
fi
if ! [[ "$RATE" =~ ^[1-9][0-9]*$ ]] || ((RATE < 1000 || RATE > 384000)); then
    echo "COMPARE_RATE must be a whole number of Hz from 1000 to 384000" >&2
    exit 2
fi
for tool in cmake sox dd fallocate truncate /usr/bin/time awk; do
    command -v "$tool" >/dev/null || {
        echo "compare.sh needs $tool" >&2
        exit 2
    }
done

# --- build tarvio (Release) in its own build directory, and tarvio-render
# too when the project has that target
echo "building tarvio (Release) in $BUILD ..."
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release \
    -DTARVIO_BUILD_TESTS=OFF -DTARVIO_BUILD_BENCH=OFF -DTARVIO_BUILD_FUZZ=OFF \
    -DTARVIO_SANITIZE=OFF >/dev/null
cmake --build "$BUILD" --target tarvio -j2 >/dev/null
TARVIO="$BUILD/tarvio"

# The help target lists every target: "... name" (Makefiles) or
# "name: phony" (Ninja). The list is read whole before grep looks at it: with
# pipefail, grep -q stopping early would fail the pipe. A binary left over
# from an earlier build is never used unless the target exists and builds now.
RENDER=""
TARGETS=$(cmake --build "$BUILD" --target help 2>/dev/null || true)
if grep -Eq '(^|[ /])tarvio-render(:.*)?$' <<<"$TARGETS"; then
    echo "building tarvio-render (Release) in $BUILD ..."
    cmake --build "$BUILD" --target tarvio-render -j2 >/dev/null
    RENDER="$BUILD/tarvio-render"
    if ! [[ -x "$RENDER" ]]; then
        echo "the tarvio-render target built, but $RENDER is not there" >&2
        exit 1
    fi
fi

WORK="$(mktemp -d "${TMPDIR:-/tmp}/tarvio-compare.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT

# --- inputs. Stereo: a tone in the left channel, pink noise in the right.
# Mono: the tone and the pink noise mixed. -R and -D (no dither) make the
# input the same on every run.
make_input() { # seconds file
    if ((CHANNELS == 2)); then
        sox -R -D -r "$RATE" -c 2 -n -b 16 "$2" synth "$1" sine 440 pinknoise vol 0.7
    else
        sox -R -D -r "$RATE" -c 1 -n -b 16 "$2" \
            synth "$1" sine 440 synth "$1" pinknoise mix vol 0.7
    fi
}
if ((CHANNELS == 2)); then
    LAYOUT="stereo"
    SOX_REMIX=("1,2" "1,2" "1,2" "1,2")
else
    LAYOUT="mono"
    SOX_REMIX=(1 1 1 1)
fi
KHZ=$(awk -v r="$RATE" 'BEGIN { printf "%g", r / 1000 }')
echo "generating the ${MINUTES}-minute and the 1-minute input ($LAYOUT $KHZ kHz) ..."
IN="$WORK/in.wav"
IN1="$WORK/in1.wav"
make_input $((MINUTES * 60)) "$IN"
make_input 60 "$IN1"

# Sweeping rotations: 0.25 -> 3 Hz and 0.5 -> 1.75 Hz, starting 90 degrees
# apart; RENDER_ARGS is the same job for tarvio-render.
TARVIO_ARGS=(0.25 3 0.5 1.75 0 90)
RENDER_ARGS=(--quiet --rot1 0.25:3 --rot2 0.5:1.75 --angle1 0 --angle2 90)

run_tarvio() { "$TARVIO" "$IN" "$WORK/out_tarvio.aif" "${TARVIO_ARGS[@]}" >"$WORK/tarvio.log"; }
run_sox() { sox "$IN" -b 16 "$WORK/out_sox.aif" remix "${SOX_REMIX[@]}" 2>/dev/null; }
run_floor() {
    dd if="$IN" of=/dev/null bs=1M status=none
    dd if=/dev/zero of="$WORK/out_floor" bs=1M count="$SIZE" iflag=count_bytes status=none
}
run_reserved() {
    dd if="$IN" of=/dev/null bs=1M status=none
    : >"$WORK/out_reserved"
    fallocate -n -l "$SIZE" "$WORK/out_reserved"
    dd if=/dev/zero of="$WORK/out_reserved" bs=1M count="$SIZE" iflag=count_bytes conv=notrunc \
        status=none
    truncate -s "$SIZE" "$WORK/out_reserved"
}
run_render() { "$RENDER" "${RENDER_ARGS[@]}" "$IN" "$WORK/out_render.aif"; }

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

ratio() { # a b
    awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'
}

# --- warm-up: one run of each; it also fixes the floor's output size and
# checks that tarvio (and tarvio-render) did their work
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
FLOOR_SIZE=$(stat -c %s "$WORK/out_floor")
if ((FLOOR_SIZE != SIZE)); then
    echo "the floor wrote $FLOOR_SIZE bytes, not $SIZE" >&2
    exit 1
fi
run_reserved
RESERVED_SIZE=$(stat -c %s "$WORK/out_reserved")
if ((RESERVED_SIZE != SIZE)); then
    echo "the floor with room set aside wrote $RESERVED_SIZE bytes, not $SIZE" >&2
    exit 1
fi
if [[ -n "$RENDER" ]]; then
    if ! run_render || ! [[ -s "$WORK/out_render.aif" ]]; then
        echo "tarvio-render failed on the warm-up run" >&2
        exit 1
    fi
    RENDER_SIZE=$(stat -c %s "$WORK/out_render.aif")
fi

# --- timed runs, alternating
LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo "?")
T_TARVIO=()
T_SOX=()
T_FLOOR=()
T_RESERVED=()
T_RENDER=()
for ((i = 1; i <= RUNS; i++)); do
    T_TARVIO+=("$(time_one tarvio)")
    T_SOX+=("$(time_one sox)")
    T_FLOOR+=("$(time_one floor)")
    T_RESERVED+=("$(time_one reserved)")
    line="run $i/$RUNS: tarvio ${T_TARVIO[-1]} s, sox ${T_SOX[-1]} s, floor ${T_FLOOR[-1]} s"
    line+=", floor with room set aside ${T_RESERVED[-1]} s"
    if [[ -n "$RENDER" ]]; then
        T_RENDER+=("$(time_one render)")
        line+=", tarvio-render ${T_RENDER[-1]} s"
    fi
    echo "$line"
done

LOAD_AFTER=$(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo "?")
M_TARVIO=$(median "${T_TARVIO[@]}")
M_SOX=$(median "${T_SOX[@]}")
M_FLOOR=$(median "${T_FLOOR[@]}")
M_RESERVED=$(median "${T_RESERVED[@]}")
R_FLOOR=$(ratio "$M_TARVIO" "$M_FLOOR")
R_RESERVED=$(ratio "$M_TARVIO" "$M_RESERVED")
R_SOX=$(ratio "$M_TARVIO" "$M_SOX")
if [[ -n "$RENDER" ]]; then
    M_RENDER=$(median "${T_RENDER[@]}")
    R_RENDER=$(ratio "$M_RENDER" "$M_TARVIO")
fi

# --- peak resident memory (kB, as /usr/bin/time reports it)
peak_rss() { # program args...
    /usr/bin/time -f %M -o "$WORK/rss" "$@" >/dev/null
    cat "$WORK/rss"
}
RSS1=$(peak_rss "$TARVIO" "$IN1" "$WORK/out_rss.aif" "${TARVIO_ARGS[@]}")
RSS10=$(peak_rss "$TARVIO" "$IN" "$WORK/out_rss.aif" "${TARVIO_ARGS[@]}")
if [[ -n "$RENDER" ]]; then
    RENDER_RSS1=$(peak_rss "$RENDER" "${RENDER_ARGS[@]}" "$IN1" "$WORK/out_rss.aif")
    RENDER_RSS10=$(peak_rss "$RENDER" "${RENDER_ARGS[@]}" "$IN" "$WORK/out_rss.aif")
fi
# The longest input only now: it takes a while to make and much disk space
# (about 1.9 GB with its output for stereo at 44.1 kHz), removed at once.
if ((RSS_MINUTES > 0)); then
    echo "generating the ${RSS_MINUTES}-minute input for the memory measurement ..."
    rm -f "$WORK/out_rss.aif" "$WORK"/out_*
    IN60="$WORK/in_rss.wav"
    make_input $((RSS_MINUTES * 60)) "$IN60"
    RSS60=$(peak_rss "$TARVIO" "$IN60" "$WORK/out_rss.aif" "${TARVIO_ARGS[@]}")
    rm -f "$WORK/out_rss.aif"
    if [[ -n "$RENDER" ]]; then
        RENDER_RSS60=$(peak_rss "$RENDER" "${RENDER_ARGS[@]}" "$IN60" "$WORK/out_rss.aif")
        rm -f "$WORK/out_rss.aif"
    fi
    rm -f "$IN60"
fi

IN_SIZE=$(stat -c %s "$IN")
CPU=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo 2>/dev/null || echo "?")
OS=$( (. /etc/os-release 2>/dev/null && echo "$PRETTY_NAME") || uname -s)
OUTPUTS="tarvio $SIZE bytes, sox $SOX_SIZE bytes"
if [[ -n "$RENDER" ]]; then
    OUTPUTS+=", tarvio-render $RENDER_SIZE bytes"
fi
echo
echo "machine: $CPU, $(nproc) cores, $OS, kernel $(uname -r)"
echo "load average (1, 5, 15 min): $LOAD_BEFORE before the timed runs, $LOAD_AFTER after"
echo "input: ${MINUTES} min $LAYOUT $KHZ kHz 16-bit WAV, $IN_SIZE bytes; output: $OUTPUTS"
echo "medians of $RUNS alternating runs after a warm-up (wall clock):"
echo
echo "| measurement | result |"
echo "|---|---|"
echo "| tarvio (sweeping rotations) | $M_TARVIO s |"
if [[ -n "$RENDER" ]]; then
    echo "| tarvio-render (the same job) | $M_RENDER s |"
fi
echo "| sox remix ${SOX_REMIX[0]} x 4 | $M_SOX s |"
echo "| I/O floor (dd bs=1M read + write) | $M_FLOOR s |"
echo "| I/O floor with the output's room set aside | $M_RESERVED s |"
echo "| tarvio / floor | $R_FLOOR |"
echo "| tarvio / floor with room set aside | $R_RESERVED |"
echo "| tarvio / sox | $R_SOX |"
if [[ -n "$RENDER" ]]; then
    echo "| tarvio-render / tarvio | $R_RENDER |"
fi
echo "| tarvio peak RSS, 1-minute input | $RSS1 kB |"
echo "| tarvio peak RSS, ${MINUTES}-minute input | $RSS10 kB |"
if ((RSS_MINUTES > 0)); then
    echo "| tarvio peak RSS, ${RSS_MINUTES}-minute input | $RSS60 kB |"
fi
if [[ -n "$RENDER" ]]; then
    echo "| tarvio-render peak RSS, 1-minute input | $RENDER_RSS1 kB |"
    echo "| tarvio-render peak RSS, ${MINUTES}-minute input | $RENDER_RSS10 kB |"
    if ((RSS_MINUTES > 0)); then
        echo "| tarvio-render peak RSS, ${RSS_MINUTES}-minute input | $RENDER_RSS60 kB |"
    fi
fi
