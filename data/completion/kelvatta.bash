# Bash completion of kelvatta: its options, then folders and the video files it rewrites.
# Installed as share/bash-completion/completions/kelvatta, where bash-completion loads it the first time
# kelvatta is completed. A new option is one more word in `options` below; the case beneath it says which
# options cannot be combined.

_kelvatta()
{
    local cur prev words cword
    _init_completion || return

    local options="--save-as --in-place --timecode --keep-going --restore --show --window --help -h --version --"
    local word i
    # After --help or --version nothing more is read; after -- every word is a path.
    for ((i = 1; i < cword; i++)); do
        word=${words[i]}
        case $word in
            --help | -h | --version) return ;;
            --) _kelvatta_paths; return ;;
        esac
    done
    # --timecode takes a value, not a path: offer the usual start.
    if [[ $prev == --timecode ]]; then
        COMPREPLY=($(compgen -W "00:00:00:00 01:00:00:00" -- "$cur"))
        return
    fi

    if [[ $cur == -* ]]; then
        # Only what can still be given: --save-as, --in-place, --restore and --show exclude one another,
        # --timecode and --keep-going go with a batch (not --restore or --show), --window only with
        # paths, and --help and --version come alone.
        local before=" ${words[*]:1:cword-1} " offered=() option
        for option in $options; do
            case $option in
                --help | -h | --version) ((cword == 1)) || continue ;;
                --save-as | --in-place | --restore | --show)
                    [[ $before == *" --save-as "* || $before == *" --in-place "* || $before == *" --restore "* ||
                        $before == *" --show "* || $before == *" --window "* ]] && continue
                    [[ $option == --restore || $option == --show ]] &&
                        [[ $before == *" --timecode "* || $before == *" --keep-going "* ]] && continue
                    ;;
                --timecode | --keep-going)
                    [[ $before == *" $option "* || $before == *" --restore "* || $before == *" --show "* ||
                        $before == *" --window "* ]] &&
                        continue
                    ;;
                --window) [[ $before == *" --"[a-z]* ]] && continue ;;
            esac
            offered+=("$option")
        done
        COMPREPLY=($(compgen -W "${offered[*]}" -- "$cur"))
        return
    fi
    _kelvatta_paths
}

# Folders, and files whose extension is one kelvatta looks for in folders (in any letter case).
_kelvatta_paths()
{
    _filedir '@([mM][pP]4|[mM][oO][vV]|[mM]4[vV]|[aA][vV][iI]|[mM][kK][vV])'
}

complete -F _kelvatta kelvatta
