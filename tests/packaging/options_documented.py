#!/usr/bin/env python3
"""Every option of the command line's option table is described in the
manual and offered by the bash completion, and neither names an option that
the table does not have.

Usage: options_documented.py SOURCE_DIR
"""

import os
import re
import sys

source = sys.argv[1]


def read(*parts):
    with open(os.path.join(source, *parts), encoding="utf-8") as f:
        return f.read()


table = re.findall(r'\{"(-[^"]*)", OPTION_[A-Z]+, (?:true|false)\}', read("app", "OptionMatcher.cpp"))
if len(table) < 20:
    sys.exit("could not read the option table: %r" % table)

manual = read("doc", "manual.md")
# Options the manual describes: the terms of its items ("* `-d SERIAL`, ...").
described = set()
for term in re.findall(r"^\* (`[^:]*?): ", manual, re.M):
    for code in re.findall(r"`([^`]*)`", term):
        described.update(w for w in code.split() if w.startswith("-"))

completion = read("packaging", "Updater.bash-completion")
offered = set()
for words in re.findall(r"options\+?=\$'([^']*)'", completion):
    offered.update(w for w in words.split("\\n") if w)

failures = []
for option in table:
    if option not in described:
        failures.append("the manual does not describe " + option)
    if option != "-Y" and option not in offered:
        failures.append("the completion does not offer " + option)
for option in sorted(described - set(table)):
    failures.append("the manual describes %s, which is no option" % option)
for option in sorted(offered - set(table)):
    failures.append("the completion offers %s, which is no option" % option)
if failures:
    sys.exit("\n".join(failures))
print("%d options: all described and completed" % len(table))
