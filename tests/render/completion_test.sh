#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The bash completion of tarvio-render against the program's own --help: it
# offers every option the help lists and no other, and for --law, --format
# and --bits exactly the values the help names; file names where a file is
# expected, nothing where a number is.
#   completion_test.sh TARVIO_RENDER COMPLETION_SCRIPT
set -euo pipefail
binary=$1
# shellcheck source=/dev/null
source "$2"

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

help=$("$binary" --help)
options=$(sed -n '/^Options:/,/^$/p' <<<"$help" | grep -E '^  -' | awk '{ print $1 }' |
    tr ',' '\n' | sort)
[ "$(wc -l <<<"$options")" -ge 10 ] || { echo "FAIL: no options in --help"; exit 1; }
expect "the options of --help" "$options" "$(offers tarvio-render -q -)"
for option in law format bits; do
    values=$(grep -oE -- "--$option TEXT:\{[^}]*\}" <<<"$help" | sed 's/.*{//; s/}//' |
        tr ',' '\n' | sort)
    expect "the values of --$option" "$values" "$(offers tarvio-render --$option '')"
    expect "the values of --$option=" "$values" "$(offers tarvio-render --$option =)"
done

cd "$(mktemp -d)"
trap 'rm -rf "$PWD"' EXIT
touch moves.txt in.wav kemar.sofa
expect "a file for --path" moves.txt "$(offers tarvio-render --path mo)"
expect "a file for --plot=" in.wav "$(offers tarvio-render --plot = i)"
expect "a file for INPUT" in.wav "$(offers tarvio-render --law power i)"
expect "nothing for a number" "" "$(offers tarvio-render --rot1 '')"
expect "a SOFA file for --binaural=" kemar.sofa "$(offers tarvio-render --binaural = '')"
expect "layouts and files for --layout" \
    "$(printf '%s\n' 5.1 7.1 quad ring: stereo in.wav kemar.sofa moves.txt | sort)" \
    "$(offers tarvio-render --layout '')"

[ $failures -eq 0 ] && echo "the completion agrees with --help"
exit $failures
