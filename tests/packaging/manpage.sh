#!/bin/sh
# The manual page renders without a single warning, and has the sections a
# reader looks for. Usage: manpage.sh PAGE
page=$1
warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
if [ -n "$warnings" ]; then
    echo "man --warnings -l $page:"
    echo "$warnings"
    exit 1
fi
for section in NAME SYNOPSIS COMMANDS PARAMETERS "JSON OUTPUT" STORE "EXIT STATUS" ENVIRONMENT FILES \
    "NETWORK SAFETY" EXAMPLES; do
    if ! grep -q "^\.SH $section\$" "$page"; then
        echo "section $section is missing"
        exit 1
    fi
done
echo "manual page: renders cleanly"
