#!/usr/bin/env python3
"""Reads a header's plain // comments as Doxygen documentation.

The library's headers document each declaration with the // lines just
above it, and the file with its opening comment. This filter turns the
opening block into the file's description and every other // line that
starts a line into ///, so that Doxygen attaches it to what follows.
Trailing comments after code become ///< (they describe that member).
"""
import re
import sys

lines = open(sys.argv[1], encoding="utf-8").read().split("\n")
out = []
i = 0
head = []
while i < len(lines) and lines[i].startswith("//"):
    head.append(lines[i][2:].strip().replace("#", "\\#"))
    i += 1
if head:
    out.append("/** @file")
    out.extend(" * " + h for h in head)
    out.append(" */")
for line in lines[i:]:
    m = re.match(r"^(\s*)//(?!/)\s?(.*)$", line)
    if m:
        out.append(m.group(1) + "/// " + m.group(2).replace("#", "\\#"))
        continue
    m = re.match(r"^(\s*[^\s#/][^/\"]*?[;,])\s*//(?!/)\s?(.*)$", line)
    if m:
        out.append(m.group(1) + " ///< " + m.group(2))
        continue
    out.append(line)
sys.stdout.write("\n".join(out))
