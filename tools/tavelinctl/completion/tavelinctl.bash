# bash completion for tavelinctl: its commands and options, command names after help, and
# file names where a command takes paths (remove, repair). Options are offered until a
# word "--", as tavelinctl reads them.

_tavelinctl() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=${COMP_WORDS[COMP_CWORD - 1]}
    local commands='help version perform remove repair update'
    local options='--help --version --json --timeout'
    local command='' arguments=0 optionsEnded=0 i word

    # What the words before the cursor already say.
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if ((!optionsEnded)) && [[ $word == -- ]]; then
            optionsEnded=1
        elif ((!optionsEnded)) && [[ $word == --timeout ]]; then
            ((i++))
        elif ((!optionsEnded)) && [[ $word == -?* ]]; then
            :
        elif [[ -z $command ]]; then
            command=$word
        else
            ((arguments++))
        fi
    done

    COMPREPLY=()
    if ((!optionsEnded)) && [[ $prev == --timeout ]]; then
        return 0 # the seconds: nothing to offer
    fi
    if ((!optionsEnded)) && [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$options --" -- "$cur")
        return 0
    fi
    case $command in
        '')
            mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
            ;;
        help)
            ((arguments == 0)) && mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
            ;;
        remove | repair)
            if [[ $command == remove ]] || ((arguments == 0)); then
                compopt -o filenames 2>/dev/null
                mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            fi
            ;;
    esac
    return 0
}

complete -F _tavelinctl tavelinctl
