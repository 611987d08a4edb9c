#!/usr/bin/env bash
# The manual pages against the programs' own --help: every command and every
# option that a help lists (the help of each command too) is in the page, as
# are the exit statuses and the files, and groff renders the page without a
# warning. A command or option added to a program without its page fails here.
# Usage: ManPageTest.sh BUILD_DIR SOURCE_DIR
set -u
build=$1
source=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The page's words: roff fonts and escapes taken out.
page_text() { sed -e 's/\\f[BIRP]//g' -e 's/\\-/-/g' -e 's/\\(em/-/g' -e 's/\\ / /g' "$1"; }

# commands COMMAND...: the commands its help lists under "Subcommands:".
commands() { "$@" --help 2>/dev/null | sed -n '/^Subcommands:$/,/^$/p' | sed -n 's/^  \([a-z][a-z, -]*[a-z]\)  .*/\1/p' | tr ',' '\n' | tr -d ' '; }
# options COMMAND...: every --option its help lists.
options() { "$@" --help 2>/dev/null | grep -E '^  -' | grep -oE -- '--[a-z][a-z0-9-]*' | sort -u; }

# words COMMAND...: its options and commands, and those of each command below it.
words() {
    options "$@"
    local word
    for word in $(commands "$@"); do
        echo "$word"
        words "$@" "$word"
    done
}

check() { # PAGE PROGRAM
    local text
    text=$(page_text "$1")
    local word
    for word in $(words "$2" | sort -u); do
        grep -qwF -- "$word" <<< "$text" || fail "$(basename "$1") lacks $word (from $(basename "$2")'s help)"
    done
}

for program in kestrune kestrune-cli kestrune-emu; do
    page=$source/packaging/$program.1
    [ -x "$build/bin/$program" ] || continue
    [ -f "$page" ] || { fail "no manual page $page"; continue; }
    check "$page" "$build/bin/$program"
    grep -q '^\.SH EXIT STATUS' "$page" || fail "$program.1 has no EXIT STATUS"
    grep -q '^\.SH FILES' "$page" || [ "$program" = kestrune-cli ] || fail "$program.1 has no FILES"
    # groff's own warnings (a macro that does not exist, a font escape left open).
    warnings=$(groff -man -ww -z "$page" 2>&1)
    [ -z "$warnings" ] || fail "$program.1: $warnings"
    # Every tag of a .TP paragraph on the one line after it: a tag that runs
    # on to a second line puts that line into the paragraph's body.
    awk -v page="$program.1" '
        /^\.TP/ { tp = 1; next }
        tp == 1 { tag = $0; tp = 2; next }
        tp == 2 { if (tag ~ /\[[^]]*$/ && $0 ~ /^\.[BIR]/) { print "FAIL: " page ": the tag \"" tag "\" runs on to \"" $0 "\""; bad = 1 } tp = 0 }
        END { exit bad }' "$page" || failures=$((failures + 1))
done

# The statuses kestrune-cli ends with, as its help's footer gives them.
statuses=$(sed -n '/^\.SH EXIT STATUS/,/^\.SH [^E]/p' "$source/packaging/kestrune-cli.1" | sed -e 's/\\f[BIRP]//g')
for status in $("$build/bin/kestrune-cli" --help | sed -n 's/^Exit status: //p' | grep -oE '[0-9]+ [a-z]' | cut -d' ' -f1); do
    grep -qE "(^|[ .])$status([ ,]|$)" <<< "$statuses" || fail "kestrune-cli.1 does not explain exit status $status"
done
grep -qF 'wskb.ini' <<< "$(page_text "$source/packaging/kestrune.1")" || fail "kestrune.1 does not name the settings file"

[ "$failures" -eq 0 ] && echo "every manual page matches its program" || exit 1
