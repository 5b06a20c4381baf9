# bash completion for lumo-webcam-cli
#
# Works without the bash-completion package's helpers. The words are taken from the line itself
# rather than COMP_WORDS, which bash splits at the colons of a Bluetooth address.

_lumo_webcam_cli()
{
    local line=${COMP_LINE:0:COMP_POINT} cur="" prev
    local -a words
    read -ra words <<<"$line"
    if [[ $line != *[[:space:]] ]]; then
        cur=${words[-1]}
        unset 'words[-1]'
    fi
    prev=${words[-1]}

    local candidates
    case $prev in
    --rotate)
        candidates="0 90 180 270" ;;
    --bluetooth)
        # The paired devices, listed as Name(address): the address is what the option takes.
        candidates=$("$1" --list-bluetooth 2>/dev/null | sed -n 's/.*(\([0-9A-Fa-f:]\{17\}\))$/\1/p') ;;
    --serial)
        candidates=$(compgen -G '/dev/rfcomm*' | sed 's|^/dev/rfcomm||') ;;
    --serial-path)
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        return ;;
    --wifi)
        mapfile -t COMPREPLY < <(compgen -A hostname -- "$cur")
        return ;;
    --port | --frames)
        COMPREPLY=()
        return ;;
    *)
        candidates="--wifi --usb --serial --serial-path --bluetooth --list-bluetooth --port --hflip --vflip
                    --rotate --frames --reconnect --keep-camera --help --version" ;;
    esac
    mapfile -t COMPREPLY < <(compgen -W "$candidates" -- "$cur")

    # bash replaces only the part of the word after its last colon.
    if [[ $cur == *:* && $COMP_WORDBREAKS == *:* ]]; then
        local before=${cur%"${cur##*:}"}
        COMPREPLY=("${COMPREPLY[@]#"$before"}")
    fi
}
complete -F _lumo_webcam_cli lumo-webcam-cli
