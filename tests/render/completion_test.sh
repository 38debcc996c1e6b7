#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# What the generated bash completion of tarvio-render offers in a folder of
# files: file names where a file is expected (also after a bare --binaural,
# whose value only follows '='), SOFA files after --binaural=, layouts and
# files after --layout, nothing where a number is. That it names every
# option and every value of the tables is checked by format_matrix_test.
#   completion_test.sh COMPLETION_SCRIPT
set -euo pipefail
# shellcheck source=/dev/null
source "$1"

# The completions of the last word, one a line, sorted.
offers() {
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMPREPLY=()
    _tarvio_render
    if [ ${#COMPREPLY[@]} -gt 0 ]; then printf '%s\n' "${COMPREPLY[@]}" | sort; fi
}
failures=0
expect() {
    if [ "$2" != "$3" ]; then
        echo "FAIL: $1"
        diff <(echo "$2") <(echo "$3") || true
        failures=$((failures + 1))
    fi
}

cd "$(mktemp -d)"
trap 'rm -rf "$PWD"' EXIT
touch moves.txt in.wav kemar.sofa
mkdir sets
all=$(printf '%s\n' in.wav kemar.sofa moves.txt sets | sort)
expect "a file for --path" moves.txt "$(offers tarvio-render --path mo)"
expect "a file for --plot=" in.wav "$(offers tarvio-render --plot = i)"
expect "a file for INPUT" in.wav "$(offers tarvio-render --law power i)"
expect "a file for INPUT after a bare --binaural" "$all" "$(offers tarvio-render --binaural '')"
expect "a file for INPUT after a bare --normalize" "$all" "$(offers tarvio-render --normalize '')"
expect "nothing for a number" "" "$(offers tarvio-render --rot1 '')"
expect "nothing for a number after --normalize=" "" "$(offers tarvio-render --normalize = '')"
expect "SOFA files and folders for --binaural=" "$(printf '%s\n' kemar.sofa sets)" \
    "$(offers tarvio-render --binaural = '')"
expect "SOFA files for --binaural=k" "--binaural=kemar.sofa" "$(offers tarvio-render --binaural=k)"
expect "a layout file for --layout" moves.txt "$(offers tarvio-render --layout mov)"
layouts=$(offers tarvio-render --layout '')
expect "files among the layouts for --layout" "$all" "$(grep -Fx -e in.wav -e kemar.sofa \
    -e moves.txt -e sets <<<"$layouts")"
[ "$(wc -l <<<"$layouts")" -gt 4 ] || { echo "FAIL: no layouts for --layout"; failures=$((failures + 1)); }

[ $failures -eq 0 ] && echo "the completion offers files, SOFA files and nothing where it should"
exit $failures
