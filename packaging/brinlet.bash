# SPDX-License-Identifier: GPL-2.0-or-later
# bash completion for brinlet and brinlet-emu (installed under both names;
# needs bash-completion's helpers).

_brinlet_options="-a -i -o -l -r -s -k -u -w -m -p -c -g -d -X -q -j -h -v -t -b"

# Serial numbers of the attached readers, from the "-l" list lines
# (N "DESCRIPTION" "SERIAL"). "$@" runs brinlet. With no reader attached
# brinlet pauses before it exits, so it gets a second.
_brinlet_serials() {
    timeout 1 "$@" -l 2>/dev/null | sed -n 's/^[0-9][0-9]* ".*" "\(.*\)"$/\1/p'
}

# Completes the brinlet word at cur after prev (set by the caller's
# _init_completion); "$@" runs brinlet for the serial numbers.
_brinlet_complete() {
    case $prev in
        -i|-o)
            _filedir
            return
            ;;
        -s)
            # With -a, -s takes serial numbers separated by commas: the one
            # after the last comma is completed.
            local done=
            [[ " ${words[*]} " == *" -a "* && $cur == *,* ]] && done=${cur%,*},
            local IFS=$'\n'
            COMPREPLY=($(compgen -P "$done" -W "$(_brinlet_serials "$@")" -- "${cur#"$done"}"))
            return
            ;;
        -r|-p|-b)
            return
            ;;
    esac
    # -a -l is the inventory: it takes only -s and -v beside it.
    if [[ " ${words[*]} " == *" -a "* && " ${words[*]} " == *" -l "* ]]; then
        COMPREPLY=($(compgen -W "-s -v" -- "$cur"))
        return
    fi
    COMPREPLY=($(compgen -W "$_brinlet_options" -- "$cur"))
}

_brinlet() {
    local cur prev words cword
    _init_completion || return
    _brinlet_complete "$1"
}

# brinlet-emu SCENARIO [--] ARGS...: a scenario file, then brinlet's
# arguments; the serial numbers after -s are those of the emulated readers.
_brinlet_emu() {
    local cur prev words cword
    _init_completion || return
    if ((cword == 1)); then
        _filedir
        return
    fi
    if ((cword == 2)) && [[ -z $cur || $cur == - || $cur == -- ]]; then
        COMPREPLY=($(compgen -W "-- $_brinlet_options" -- "$cur"))
        return
    fi
    local scenario=${words[1]}
    __expand_tilde_by_ref scenario
    _brinlet_complete "$1" "$scenario" --
}

complete -F _brinlet brinlet
complete -F _brinlet_emu brinlet-emu
