# bash completion for brinlet
_brinlet() {
    local cur prev
    cur="${COMP_WORDS[COMP_CWORD]}"
    prev="${COMP_WORDS[COMP_CWORD-1]}"
    case "$prev" in
        -i|-o)
            COMPREPLY=($(compgen -f -- "$cur"))
            compopt -o filenames 2>/dev/null
            return 0
            ;;
        -r|-s|-p|-b)
            return 0
            ;;
    esac
    COMPREPLY=($(compgen -W "-i -o -l -r -s -k -u -w -m -p -c -g -d -X -q -j -h -v -t -b" -- "$cur"))
}
complete -F _brinlet brinlet
