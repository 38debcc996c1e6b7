# SPDX-License-Identifier: MIT
# bash completion for tarvio-render: the option names, the values of --law,
# --layout, --ambisonics, --format, --bits and --dither, SOFA files for
# --binaural=, and file names for --layout, --path, --trace, --plot and the
# INPUT and OUTPUT arguments.
# Numbers (--rot1, --norm, ...) get no offer.

_tarvio_render() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    # "--law=po": bash usually splits the word at '=' into "--law" "=" "po".
    local prefix=
    if [[ $cur == = ]]; then
        cur=
    elif [[ $prev == = ]] && ((COMP_CWORD >= 2)); then
        prev=${COMP_WORDS[COMP_CWORD - 2]}
    elif [[ $cur == --*=* ]]; then
        # '=' is not a word break here: keep the option in the completed word.
        prev=${cur%%=*}
        prefix=$prev=
        cur=${cur#*=}
    fi

    local values=
    case $prev in
        --law) values="bilinear power vbap dbap ambisonic" ;;
        --ambisonics) values="1 2 3" ;;
        --binaural)
            # A SOFA file (or a folder on the way to one).
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -P "$prefix" -f -X '!*.sofa' -- "$cur"
                compgen -P "$prefix" -d -- "$cur")
            return 0
            ;;
        --layout)
            # A built-in layout, or a layout file.
            mapfile -t COMPREPLY < <(compgen -P "$prefix" -W "quad stereo 5.1 7.1 ring:" -- "$cur")
            compopt -o filenames 2>/dev/null
            mapfile -t -O "${#COMPREPLY[@]}" COMPREPLY < <(compgen -P "$prefix" -f -- "$cur")
            return 0
            ;;
        --format) values="aiff aifc wav w64 rf64 caf flac ogg opus mp3" ;;
        --dither) values="tpdf none" ;;
        --compression) values="0 1 2 3 4 5 6 7 8" ;;
        --bits) values="16 24 32 float" ;;
        --rot1 | --rot2 | --angle1 | --angle2 | --norm | --trace-step | --quality | --rolloff | \
            --blur | --gain | --normalize | --loudness) return 0 ;;
        --path | --trace | --plot) ;;
        *)
            if [[ $cur == -* ]]; then
                values="--rot1 --rot2 --angle1 --angle2 --norm --gain --normalize --loudness
                        --dry-run --layout --ambisonics --law
                        --rolloff --blur --binaural --path --format --bits --dither --quality
                        --compression --trace
                        --trace-step --plot --no-clip -q --quiet -h --help -v -V --version"
            fi
            ;;
    esac

    if [[ -n $values ]]; then
        mapfile -t COMPREPLY < <(compgen -P "$prefix" -W "$values" -- "$cur")
    else
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -P "$prefix" -f -- "$cur")
    fi
}
complete -F _tarvio_render tarvio-render
