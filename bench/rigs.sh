#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# tarvio-render's speed on every loudspeaker rig, law and Ambisonic order,
# per byte written, against quad's; or (--check) whether two builds of
# tarvio-render write the same bytes for every rig, law and order.
#
# Timing: a 2-minute (RIGS_MINUTES) stereo 44.1 kHz 16-bit WAV made with
# sox (a tone left, pink noise right), rendered to 16-bit WAV with
# -q --rot1 0.25:3 --rot2 0.5:1.75 --angle2 90 on each rig of ROWS. Every
# row runs RUNS times in alternating rounds after a warm-up round, its
# output removed and the file system synced before each run; the table
# gives the median wall-clock and processor (user + system) times, the
# bytes written, each time per byte against quad's, and the load average
# (1 minute) beside each row, read after its last run. On a busy machine
# the processor time is the steadier figure. With RIGS_BEFORE (another
# tarvio-render, e.g. main's), each run of a row alternates the two
# programs, and a table follows for each.
#
# Check: both programs render a 20-second input (RIGS_CHECK_SECONDS) on
# every row, to 16-bit and to float WAV, plus dbap with other blurs and
# rolloffs, faster and still motion, a layout file and a
# breakpoint path, and sources raised, rising and inside on the rigs with
# height; every pair of outputs is compared with cmp. Exit 1 if
# any differ.
#
# Memory (--memory): the peak resident memory of every row of the table
# for a 1-minute input, and of the rows of at most eight channels for a
# RIGS_LONG_MINUTES one (60 by default: up to 2.5 GB of output each), the
# output removed after each run.
#
# Usage: bench/rigs.sh [runs]                 (runs: at least 3; default 5)
#        bench/rigs.sh --memory
#        bench/rigs.sh --check REFERENCE [RENDER]
#            REFERENCE: a tarvio-render built from the code to compare with
#            (e.g. main); RENDER: the one to check (default: this tree's,
#            built in RIGS_BUILD_DIR).
# Environment: RIGS_BUILD_DIR (default build-compare), RIGS_RENDER (a
#              tarvio-render to time instead of building one), RIGS_BEFORE,
#              RIGS_MINUTES,
#              RIGS_CHECK_SECONDS, RIGS_LONG_MINUTES, TMPDIR.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${RIGS_BUILD_DIR:-$ROOT/build-compare}"
MINUTES="${RIGS_MINUTES:-2}"
CHECK_SECONDS="${RIGS_CHECK_SECONDS:-20}"
command -v sox >/dev/null || { echo "sox is needed" >&2; exit 1; }

MODE=time
REF=
RENDER=
RUNS=5
RENDER="${RIGS_RENDER:-}"
if [[ "${1:-}" == --check ]]; then
    MODE=check
    REF="${2:?--check needs the reference tarvio-render}"
    RENDER="${3:-$RENDER}"
    [[ -x "$REF" ]] || { echo "$REF: not an executable" >&2; exit 2; }
elif [[ "${1:-}" == --memory ]]; then
    MODE=memory
else
    RUNS="${1:-5}"
    ((RUNS >= 3)) || { echo "runs must be at least 3" >&2; exit 2; }
fi
if [[ -z "$RENDER" ]]; then
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTARVIO_BUILD_TESTS=OFF >/dev/null
    cmake --build "$BUILD" --target tarvio-render -j"$(nproc)" >/dev/null
    RENDER="$BUILD/tarvio-render"
fi

WORK="$(mktemp -d "${TMPDIR:-/tmp}/tarvio-rigs.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT
printf 'L 30\nR -30\nC 0\nLs 110\nRs -110\nBc 180\n' >"$WORK/rig.txt"
printf 'L 30\nR -30\nC 0\nLFE\n' >"$WORK/front.txt"  # an arc of more than a half turn
printf '0 0.5 0.5\n2 0 1\n5 1 1\n8 1 0\n11 0 0\n14 0.3 0.9\n20 0.5 0.5\n' >"$WORK/path.txt"
printf 'seconds azimuth elevation distance\n0 0 0 1\n4 90 45 1\n8 180 -30 0.6\n12 300 90 1\n16 400 0 2\n20 360 0 1\n' \
    >"$WORK/polar.txt"

JOB=(-q --rot1 0.25:3 --rot2 0.5:1.75 --angle2 90)
# name|options
ROWS=(
    "quad|--layout quad"
    "stereo|--layout stereo"
    "ring:2|--layout ring:2"
    "ring:3|--layout ring:3"
    "quad vbap|--layout quad --law vbap"
    "5.1|--layout 5.1"
    "7.1|--layout 7.1"
    "ring:8|--layout ring:8"
    "ring:16 dbap|--layout ring:16 --law dbap"
    "ring:64|--layout ring:64"
    "file (6)|--layout $WORK/rig.txt"
    "ambisonics 1|--ambisonics 1"
    "ambisonics 2|--ambisonics 2"
    "ambisonics 3|--ambisonics 3"
    "5.1.4|--layout 5.1.4"
    "7.1.4|--layout 7.1.4"
    "9.1.6|--layout 9.1.6"
    "dome|--layout dome:8@0,4@45,1@90"
)
# Rows only the check runs: other settings of the same laws.
CHECK_ROWS=(
    "stereo dbap|--layout stereo --law dbap"
    "quad dbap|--layout quad --law dbap"
    "5.1 dbap|--layout 5.1 --law dbap"
    "ring:16 dbap blur 0|--layout ring:16 --law dbap --blur 0"
    "ring:16 dbap blur 2 rolloff 3|--layout ring:16 --law dbap --blur 2 --rolloff 3"
    "ring:8 dbap rolloff 60 blur 10|--layout ring:8 --law dbap --rolloff 60 --blur 10"
    "ring:5 dbap rolloff 0|--layout ring:5 --law dbap --rolloff 0"
    "file dbap|--layout $WORK/rig.txt --law dbap"
    "front file|--layout $WORK/front.txt"
    "front file path|--layout $WORK/front.txt --path $WORK/path.txt"
    "ring:2:90|--layout ring:2:90"
    "ring:32|--layout ring:32"
    "quad power|--layout quad --law power"
    "stereo path|--layout stereo --path $WORK/path.txt"
    "ring:2 path|--layout ring:2 --path $WORK/path.txt"
    "ring:16 dbap path|--layout ring:16 --law dbap --path $WORK/path.txt"
    "ambisonics 3 path|--ambisonics 3 --path $WORK/path.txt"
    "ambisonics 2 fast|--ambisonics 2 --rot1 7:40 --rot2 3:0.1"
    "ambisonics 1 still|--ambisonics 1 --rot1 0 --rot2 0"
    "stereo fast|--layout stereo --rot1 7:40 --rot2 3:0.1 --angle1 33"
    "5.1.4 raised|--layout 5.1.4 --elevation 30"
    "7.1.4 orbit rising|--layout 7.1.4 --orbit 0.5 --elevation -20:60"
    "9.1.6 inside|--layout 9.1.6 --distance 0.5 --elevation 10"
    "dome below polar path|--layout dome:6@-30,8@0,4@45,1@90 --path $WORK/polar.txt"
    "5.1.4 dbap raised|--layout 5.1.4 --law dbap --elevation 0:40"
    "ambisonics 3 rising|--ambisonics 3 --orbit 1 --elevation -60:60"
)

check() {
    local in="$WORK/check.wav" failed=0 row name opts bits job
    sox -n -r 44100 -b 16 -c 2 "$in" synth "$CHECK_SECONDS" sine 440 pinknoise gain -3
    for row in "${ROWS[@]}" "${CHECK_ROWS[@]}"; do
        name="${row%%|*}"
        read -r -a opts <<<"${row#*|}"
        job=("${JOB[@]}")
        [[ "$row" == *--path* || "$row" == *--rot1* || "$row" == *--elevation* ]] &&
            job=(-q)  # the row's own motion
        for bits in 16 float; do
            "$REF" "${job[@]}" "${opts[@]}" --bits "$bits" "$in" "$WORK/ref.wav"
            "$RENDER" "${job[@]}" "${opts[@]}" --bits "$bits" "$in" "$WORK/new.wav"
            if cmp -s "$WORK/ref.wav" "$WORK/new.wav"; then
                printf '%-34s %-6s same\n' "$name" "$bits"
            else
                printf '%-34s %-6s DIFFERENT\n' "$name" "$bits"
                failed=1
            fi
        done
    done
    ((failed == 0)) && echo "all outputs identical" || echo "some outputs differ"
    return "$failed"
}

median() { sort -g | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }

timeRows() {
    local in="$WORK/in.wav" out="$WORK/out.wav" round i b opts spent TIMEFORMAT='%3R %3U %3S'
    sox -n -r 44100 -b 16 -c 2 "$in" synth "$((MINUTES * 60))" sine 440 pinknoise gain -3
    local -a bins=("$RENDER")
    [[ -n "${RIGS_BEFORE:-}" ]] && bins=("$RIGS_BEFORE" "$RENDER")
    declare -a bytes loads
    for ((round = 0; round <= RUNS; ++round)); do  # round 0 warms up
        for i in "${!ROWS[@]}"; do
            read -r -a opts <<<"${ROWS[$i]#*|}"
            for b in "${!bins[@]}"; do
                rm -f "$out"
                sync
                # bash's time: wall-clock, user and system seconds
                spent=$({ time "${bins[$b]}" "${JOB[@]}" "${opts[@]}" --bits 16 "$in" "$out"; } 2>&1)
                ((round == 0)) && continue
                read -r wall user system <<<"$spent"
                echo "$wall" >>"$WORK/wall.$b.$i"
                echo "$user + $system" | bc -l >>"$WORK/cpu.$b.$i"
                bytes[$i]=$(stat -c %s "$out")
                loads[$i]=$(cut -d' ' -f1 /proc/loadavg)
            done
        done
    done
    for b in "${!bins[@]}"; do
        echo "${bins[$b]}:"
        table "$b"
    done
    echo "medians of $RUNS alternating rounds, $MINUTES-minute input; cpu: user + system" \
        "seconds; load: 1-minute average after the row's last run"
}

# The table of the runs of program number $1.
table() {
    local quad quadCpu quadBytes t c i
    quad=$(median <"$WORK/wall.$1.0")
    quadCpu=$(median <"$WORK/cpu.$1.0")
    quadBytes=${bytes[0]}
    printf '%-16s %8s %8s %12s %14s %13s %6s\n' rig wall cpu bytes "wall/byte/quad" \
        "cpu/byte/quad" load
    for i in "${!ROWS[@]}"; do
        t=$(median <"$WORK/wall.$1.$i")
        c=$(median <"$WORK/cpu.$1.$i")
        printf '%-16s %8.3f %8.3f %12d %14.2f %13.2f %6s\n' "${ROWS[$i]%%|*}" "$t" "$c" \
            "${bytes[$i]}" "$(echo "($t / ${bytes[$i]}) / ($quad / $quadBytes)" | bc -l)" \
            "$(echo "($c / ${bytes[$i]}) / ($quadCpu / $quadBytes)" | bc -l)" "${loads[$i]}"
    done
}

memory() {
    local long="${RIGS_LONG_MINUTES:-60}" minutes in row opts kb
    for minutes in 1 "$long"; do
        in="$WORK/in$minutes.wav"
        sox -n -r 44100 -b 16 -c 2 "$in" synth "$((minutes * 60))" sine 440 pinknoise gain -3
        for row in "${ROWS[@]}"; do
            if ((minutes > 1)); then
                case "${row%%|*}" in ring:16*|ring:64|"ambisonics 2"|"ambisonics 3") continue ;; esac
            fi
            read -r -a opts <<<"${row#*|}"
            kb=$(/usr/bin/time -f %M "$RENDER" "${JOB[@]}" "${opts[@]}" --bits 16 "$in" \
                "$WORK/out.wav" 2>&1 >/dev/null | tail -1)
            rm -f "$WORK/out.wav"
            printf '%-16s %3d min  peak RSS %6d kB\n' "${row%%|*}" "$minutes" "$kb"
        done
        rm -f "$in"
    done
}

if [[ "$MODE" == check ]]; then
    check
elif [[ "$MODE" == memory ]]; then
    memory
else
    timeRows
fi
