# Reads the --help of a program and prints what may be typed next: with
# mode=commands the names listed under "Subcommands:", with mode=options
# every --option, with mode=values and option=--NAME the choices of that
# option ({a,b} in its help), "<file>" when it takes a text or path, or
# "<value>" when it takes a number. Shared by the bash, zsh and fish completions, which run it on the
# help of the command line typed so far, so they follow whatever the
# installed programs offer. (It goes inside single quotes there: no
# apostrophes in it.)
/^[^ ].*:$/ {
    commands = (tolower($0) == "subcommands:")
    next
}
/^  [^ ]/ {
    line = substr($0, 3)
    split(line, columns, /   */)
    head = columns[1]
    if (head !~ /^-/) {
        if (mode == "commands" && commands) {
            n = split(head, names, /, */)
            for (i = 1; i <= n; i++) print names[i]
        }
        next
    }
    split(head, fields, / /)
    n = split(fields[1], flags, /,/)
    for (i = 1; i <= n; i++) {
        if (flags[i] !~ /^--/) continue
        if (mode == "options") print flags[i]
        if (mode == "values" && flags[i] == option && fields[2] ~ /^[A-Z]/) {
            if (match(head, /\{[^}]*\}/)) {
                m = split(substr(head, RSTART + 1, RLENGTH - 2), choices, /,/)
                for (j = 1; j <= m; j++) print choices[j]
            } else if (fields[2] ~ /^(TEXT|FILE|PATH)/) {
                print "<file>"
            } else {
                print "<value>"
            }
        }
    }
}
