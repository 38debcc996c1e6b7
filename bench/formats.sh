#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# tarvio-render's speed for every output kind, against itself and against
# sox and ffmpeg writing the same format from the same input, on this
# machine, in one run.
#
# Input: a 10-minute (FORMATS_MINUTES) stereo 44.1 kHz 16-bit WAV made with
# sox (a tone left, pink noise right). Every command runs RUNS times in
# alternating rounds after a warm-up round, its output removed and the file
# system synced before each run; the table gives medians of wall-clock time:
#   render  tarvio-render -q --rot1 0.25:3 --rot2 0.5:1.75 --angle2 90, to
#           the format and sample format of the row
#   sox     sox in.wav -b BITS out.EXT remix 1,2 1,2 1,2 1,2 (the closest
#           static job: four channels, no movement; -e floating-point for
#           float; sox writes no RF64)
#   ffmpeg  ffmpeg -i in.wav -af pan=quad|c0=0.5*c0+0.5*c1|... with the
#           row's codec
# and, per byte written, each uncompressed row against 16-bit AIFF's. Two
# more rows: --binaural against ffmpeg's sofalizer (type=freq) on the quad
# file of the same job, and --layout ring:8 (vbap) against quad, each beside
# the I/O floor of its bytes (dd, the room set aside first); ring:8 also
# against the square under vbap, the same law on four loudspeakers. Then the
# peak resident memory of a loudspeaker and a binaural run for a 1-minute
# input, the long one and one six times as long (an hour by default).
#
# Usage: bench/formats.sh [runs]     (runs: at least 5; default 9)
# Environment: FORMATS_BUILD_DIR (default build-compare), FORMATS_MINUTES,
#              TMPDIR.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
RUNS="${1:-9}"
MINUTES="${FORMATS_MINUTES:-10}"
BUILD="${FORMATS_BUILD_DIR:-$ROOT/build-compare}"
SOFA=/usr/share/libmysofa/default.sofa
((RUNS >= 5)) || { echo "runs must be at least 5" >&2; exit 2; }
for p in sox ffmpeg; do
    command -v "$p" >/dev/null || { echo "$p is needed" >&2; exit 1; }
done

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTARVIO_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target tarvio-render -j"$(nproc)" >/dev/null
RENDER="$BUILD/tarvio-render"

WORK="$(mktemp -d "${TMPDIR:-/tmp}/tarvio-formats.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT
IN="$WORK/in.wav"
sox -n -r 44100 -b 16 -c 2 "$IN" synth "$((MINUTES * 60))" sine 440 pinknoise gain -3
SHORT="$WORK/short.wav"
sox "$IN" "$SHORT" trim 0 60
LONG="$WORK/long.wav"  # made after the timed rounds, to keep their disk cache alike

JOB=(-q --rot1 0.25:3 --rot2 0.5:1.75 --angle2 90)
PAN='pan=quad|c0=0.5*c0+0.5*c1|c1=0.5*c0+0.5*c1|c2=0.5*c0+0.5*c1|c3=0.5*c0+0.5*c1'

# name|render options|extension|sox output options|ffmpeg codec options
# ("-": that tool cannot write the row's format)
SOXF='-e floating-point -b 32'
ROWS=(
    "AIFF 16|--bits 16|aif|-b 16|-c:a pcm_s16be"
    "AIFF 24|--bits 24|aif|-b 24|-c:a pcm_s24be"
    "AIFF 32|--bits 32|aif|-b 32|-c:a pcm_s32be"
    "AIFC float|--bits float|aifc|$SOXF|-c:a pcm_f32be -f aiff"
    "WAV 16|--bits 16|wav|-b 16|-c:a pcm_s16le"
    "WAV 24|--bits 24|wav|-b 24|-c:a pcm_s24le"
    "WAV 32|--bits 32|wav|-b 32|-c:a pcm_s32le"
    "WAV float|--bits float|wav|$SOXF|-c:a pcm_f32le"
    "W64 16|--bits 16|w64|-b 16|-c:a pcm_s16le -f w64"
    "W64 24|--bits 24|w64|-b 24|-c:a pcm_s24le -f w64"
    "W64 32|--bits 32|w64|-b 32|-c:a pcm_s32le -f w64"
    "W64 float|--bits float|w64|$SOXF|-c:a pcm_f32le -f w64"
    "RF64 16|--bits 16|rf64|-|-c:a pcm_s16le -rf64 always -f wav"
    "RF64 24|--bits 24|rf64|-|-c:a pcm_s24le -rf64 always -f wav"
    "RF64 32|--bits 32|rf64|-|-c:a pcm_s32le -rf64 always -f wav"
    "RF64 float|--bits float|rf64|-|-c:a pcm_f32le -rf64 always -f wav"
    "CAF 16|--bits 16|caf|-b 16|-c:a pcm_s16be"
    "CAF float|--bits float|caf|$SOXF|-c:a pcm_f32be"
    "FLAC 16|--bits 16|flac|-b 16|-c:a flac"
    "FLAC 24|--bits 24|flac|-b 24|-c:a flac -sample_fmt s32 -bits_per_raw_sample 24"
)

median() { sort -g | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }
seconds() {  # the wall-clock seconds of "$@", its output file first removed
    local out=$1
    shift
    rm -f "$out"
    sync
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
    end=$(date +%s.%N)
    echo "$end - $start" | bc -l
}

declare -A T  # "row|tool" -> times, one per line
declare -A BYTES
run_round() {
    local row name opts ext bits codec out
    for row in "${ROWS[@]}"; do
        IFS='|' read -r name opts ext soxopts codec <<<"$row"
        out="$WORK/out.$ext"
        # shellcheck disable=SC2086
        T["$name|render"]+="$(seconds "$out" "$RENDER" "${JOB[@]}" $opts "$IN" "$out")"$'\n'
        BYTES["$name"]=$(stat -c %s "$out")
        if [ "$soxopts" != - ]; then
            # shellcheck disable=SC2086
            T["$name|sox"]+="$(seconds "$out" sox "$IN" $soxopts "$out" remix 1,2 1,2 1,2 1,2)"$'\n'
        fi
        # shellcheck disable=SC2086
        T["$name|ffmpeg"]+="$(seconds "$out" ffmpeg -v error -y -i "$IN" -af "$PAN" $codec "$out")"$'\n'
    done
    T["binaural|render"]+="$(seconds "$WORK/hp.wav" "$RENDER" "${JOB[@]}" --binaural "$IN" "$WORK/hp.wav")"$'\n'
    T["binaural|ffmpeg"]+="$(seconds "$WORK/peer.wav" ffmpeg -v error -y -i "$WORK/quad.wav" \
        -af "sofalizer=sofa=$SOFA:type=freq" -c:a pcm_s16le "$WORK/peer.wav")"$'\n'
    T["ring:8|render"]+="$(seconds "$WORK/ring.wav" "$RENDER" "${JOB[@]}" --layout ring:8 --bits 16 "$IN" "$WORK/ring.wav")"$'\n'
    T["quad|render"]+="$(seconds "$WORK/quad2.wav" "$RENDER" "${JOB[@]}" --bits 16 "$IN" "$WORK/quad2.wav")"$'\n'
    T["quad vbap|render"]+="$(seconds "$WORK/quad3.wav" "$RENDER" "${JOB[@]}" --law vbap --bits 16 "$IN" "$WORK/quad3.wav")"$'\n'
    T["ring:8|floor"]+="$(seconds "$WORK/floor8" floor "$(stat -c %s "$WORK/ring.wav")" "$WORK/floor8")"$'\n'
    T["quad|floor"]+="$(seconds "$WORK/floor4" floor "$(stat -c %s "$WORK/quad2.wav")" "$WORK/floor4")"$'\n'
}

# The I/O floor of a run that writes SIZE bytes to OUT: the input read and
# that many bytes written in 1 MiB pieces, the room set aside first as
# tarvio-render does.
floor() {  # SIZE OUT
    dd if="$IN" of=/dev/null bs=1M status=none
    : >"$2"
    fallocate -n -l "$1" "$2"
    dd if=/dev/zero of="$2" bs=1M count="$1" iflag=count_bytes conv=notrunc status=none
}

"$RENDER" "${JOB[@]}" --bits 16 "$IN" "$WORK/quad.wav"
load_before=$(cut -d' ' -f1 /proc/loadavg)
run_round >/dev/null  # warm-up
for k in "${!T[@]}"; do T[$k]=; done
for ((r = 0; r < RUNS; r++)); do run_round; done
load_after=$(cut -d' ' -f1 /proc/loadavg)

med() { printf '%s' "${T[$1]}" | median; }
aiff=$(med "AIFF 16|render")
aiff_per_byte=$(echo "$aiff / ${BYTES["AIFF 16"]}" | bc -l)

echo "machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores;" \
    "load $load_before before, $load_after after; $RUNS runs each, medians"
echo "input: $MINUTES min stereo 44.1 kHz 16-bit WAV"
echo
printf '| %-10s | %12s | %10s | %10s | %10s | %10s | %13s | %18s |\n' output bytes render sox \
    ffmpeg "render/sox" "render/ffmpeg" "per byte / AIFF 16"
echo "|---|---|---|---|---|---|---|---|"
for row in "${ROWS[@]}"; do
    IFS='|' read -r name _ _ soxopts _ <<<"$row"
    r=$(med "$name|render")
    f=$(med "$name|ffmpeg")
    s=-
    rs=-
    if [ "$soxopts" != - ]; then
        s=$(med "$name|sox")
        rs=$(printf '%.2f' "$(echo "$r / $s" | bc -l)")
        s=$(printf '%.3f s' "$s")
    fi
    per=-  # time per byte says nothing of a compressed format
    case "$name" in
        FLAC*) ;;
        *) per=$(printf '%.2f' "$(echo "($r / ${BYTES[$name]}) / $aiff_per_byte" | bc -l)") ;;
    esac
    printf '| %-10s | %12s | %8.3f s | %10s | %8.3f s | %10s | %13.2f | %18s |\n' "$name" \
        "${BYTES[$name]}" "$r" "$s" "$f" "$rs" "$(echo "$r / $f" | bc -l)" "$per"
done
b=$(med "binaural|render")
bf=$(med "binaural|ffmpeg")
ring=$(med "ring:8|render")
quad=$(med "quad|render")
quadv=$(med "quad vbap|render")
printf '| %-10s | %12s | %8.3f s | %10s | %8.3f s | %10s | %13.2f | %18s |\n' binaural - "$b" - \
    "$bf" - "$(echo "$b / $bf" | bc -l)" "ffmpeg: sofalizer"
floor8=$(med "ring:8|floor")
floor4=$(med "quad|floor")
printf '| %-10s | %12s | %8.3f s | %10s | %10s | %10s | %13s | %18s |\n' "ring:8" - "$ring" - - - - \
    "$(printf '%.2f x quad' "$(echo "$ring / $quad" | bc -l)")"
echo
echo "I/O floor (input read, output's bytes written, room set aside): quad $(printf '%.3f' "$floor4") s," \
    "ring:8 $(printf '%.3f' "$floor8") s, $(printf '%.2f' "$(echo "$floor8 / $floor4" | bc -l)") x;" \
    "quad run $(printf '%.3f' "$quad") s, ring:8 run $(printf '%.3f' "$ring") s;" \
    "quad under vbap $(printf '%.3f' "$quadv") s (ring:8 $(printf '%.2f' "$(echo "$ring / $quadv" | bc -l)") x that)"
echo

rss() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1; }
sox "$IN" "$IN" "$IN" "$IN" "$IN" "$IN" "$LONG"
for input in "$SHORT" "$IN" "$LONG"; do
    echo "peak RSS, $(basename "$input"): loudspeakers $(rss "$RENDER" "${JOB[@]}" "$input" "$WORK/m.wav") kB," \
        "binaural $(rss "$RENDER" "${JOB[@]}" --binaural "$input" "$WORK/m.wav") kB"
done
