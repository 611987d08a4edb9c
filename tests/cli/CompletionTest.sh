#!/usr/bin/env bash
# The shell completions of kestrune, kestrune-cli and kestrune-emu, run in
# bash, zsh and fish against the built programs: every command their help
# lists is offered, and options and their choices where they are typed.
# Usage: CompletionTest.sh BUILD_DIR
set -u
build=$(cd "$1" && pwd)
export PATH="$build/bin:$PATH"
completions="$build/completions"
failures=0
scratch=$(mktemp -d /tmp/kestrune-completion-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" && touch profile.kpf

# The commands a help lists, read here independently of the completions.
listed() { "$@" --help | sed -n '/^Subcommands:$/,/^$/p' | sed -n 's/^  \([a-z][a-z-]*\).*/\1/p'; }

# complete_in SHELL LINE: the words SHELL offers for LINE (the cursor at its end).
complete_in() {
    local shell=$1 line=$2
    case $shell in
    bash)
        bash --norc -c '
            source "$1"
            read -r -a COMP_WORDS <<< "$2"
            [[ $2 == *" " ]] && COMP_WORDS+=("")
            COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
            _kestrune_complete
            printf "%s\n" "${COMPREPLY[@]}"' _ "$completions/kestrune.bash" "$line" ;;
    fish)
        local program=${line%% *}
        fish --no-config -c "source '$completions/$program.fish'; complete -C '$line'" | cut -f1 ;;
    zsh)
        # A real zsh line editor on a pseudo-terminal: the line is typed and
        # completed with a Tab, and what it lists is read back.
        ZDOTDIR=$scratch zsh -f -c '
            zmodload zsh/zpty
            zpty z "zsh -f -i"
            zpty -w z "PS1=; fpath=($1 \$fpath); autoload -U compinit; compinit -u -D; print -r -- \$((6*7))MARK"
            zpty -r -m z out "*42MARK*"
            zpty -w -n z "$2"$'"'"'\t'"'"'
            # Until the completion has been quiet for a second (each word
            # list runs a program, the window program among them).
            all=
            quiet=0
            for ((n = 0; n < 40 && quiet < 4; n++)); do
                sleep 0.25
                if zpty -r -t z chunk; then all+=$chunk; quiet=0; else quiet=$((quiet + 1)); fi
            done
            print -r -- "$all"
            zpty -d z' _ "$completions" "$line" | sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' | tr -s ' \r\a' '\n\n\n' ;;
    esac
}

expect() { # SHELL LINE WORD...: each WORD is offered
    local shell=$1 line=$2
    shift 2
    local offered
    offered=$(complete_in "$shell" "$line")
    for word in "$@"; do
        if ! grep -qxF -- "$word" <<< "$offered"; then
            echo "FAIL [$shell] '$line' does not offer '$word'; it offers: $(tr '\n' ' ' <<< "$offered")"
            failures=$((failures + 1))
        fi
    done
}

shells=(bash fish zsh)
for shell in "${shells[@]}"; do
    command -v "$shell" > /dev/null || { echo "FAIL: $shell is not installed (scripts/install-deps)"; failures=$((failures + 1)); continue; }
    for program in kestrune-cli kestrune-emu; do
        mapfile -t commands < <(listed "$program")
        [ ${#commands[@]} -gt 3 ] || { echo "FAIL: $program --help lists no commands"; failures=$((failures + 1)); }
        expect "$shell" "$program " "${commands[@]}"
    done
    mapfile -t faults < <(listed kestrune-emu fault)
    expect "$shell" "kestrune-emu fault " "${faults[@]}"
    mapfile -t lighting < <(listed kestrune-cli lighting)
    expect "$shell" "kestrune-cli lighting " "${lighting[@]}"
    expect "$shell" "kestrune-cli lighting set --direction " left right
    expect "$shell" "kestrune-cli lighting set --tr" --trigger
    expect "$shell" "kestrune-cli --" --emulator --version --help
    expect "$shell" "kestrune-cli status --" --json
    expect "$shell" "kestrune-cli apply " profile.kpf
    expect "$shell" "kestrune --" --start --kill --firmware-update --emulator --version
done
[ "$failures" -eq 0 ] && echo "all completions offered" || exit 1
