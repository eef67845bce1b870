#!/usr/bin/env python3
"""The Updater's manual from its one source, doc/manual.md.

    manual.py man SOURCE OUTPUT      write the manual page (troff, man macros)
    manual.py readme SOURCE README   put the manual into README between its
                                     markers, replacing what stood there
    manual.py check SOURCE README    exit 1 when README's manual differs

The source is a small part of Markdown: a title line "# NAME SECTION
"FOOTER"", "## Heading" sections, paragraphs, fenced blocks, and items
"* `TERM`: text" with continuation lines indented by two spaces. Inline
`code` is bold in the manual page and *text* italic.
"""

import re
import sys

BEGIN = "<!-- manual: generated from doc/manual.md by doc/manual.py; do not edit here -->"
END = "<!-- end of manual -->"


def parse(text):
    """Blocks: ("title", name, section, footer), ("heading", text),
    ("para", text), ("code", lines), ("item", term, text)."""
    lines = text.split("\n")
    blocks = []
    i = 0
    while i < len(lines):
        line = lines[i]
        if not line.strip():
            i += 1
        elif line.startswith("# "):
            m = re.match(r'# (\S+) (\S+) "(.*)"$', line)
            if not m:
                raise ValueError("bad title line: " + line)
            blocks.append(("title",) + m.groups())
            i += 1
        elif line.startswith("## "):
            blocks.append(("heading", line[3:].strip()))
            i += 1
        elif line.startswith("```"):
            body = []
            i += 1
            while i < len(lines) and not lines[i].startswith("```"):
                body.append(lines[i])
                i += 1
            if i == len(lines):
                raise ValueError("unclosed fenced block")
            blocks.append(("code", body))
            i += 1
        elif line.startswith("* "):
            m = re.match(r"\* (`[^`]*`[^:]*?): (.*)$", line)
            if not m:
                raise ValueError("an item needs the form * `TERM`: text: " + line)
            term, body = m.group(1), [m.group(2)]
            i += 1
            while i < len(lines) and lines[i].startswith("  ") and lines[i].strip():
                body.append(lines[i].strip())
                i += 1
            blocks.append(("item", term, " ".join(body)))
        else:
            body = []
            while i < len(lines) and lines[i].strip() and not lines[i].startswith(("#", "```", "* ")):
                body.append(lines[i].strip())
                i += 1
            blocks.append(("para", " ".join(body)))
    return blocks


def escape(text, minus=True):
    """Backslashes and leading dots made safe; "-" as a minus sign (options,
    paths) unless it is a hyphen in prose."""
    text = text.replace("\\", "\\e")
    if minus:
        text = text.replace("-", "\\-")
    # A line that begins with a dot or a quote would be read as a request.
    return re.sub(r"^([.'])", r"\\&\1", text)


def inline(text):
    out = []
    for part in re.split(r"(`[^`]*`|\*[^*\s][^*]*\*)", text):
        if part.startswith("`") and part.endswith("`") and len(part) > 1:
            out.append("\\fB" + escape(part[1:-1]) + "\\fR")
        elif part.startswith("*") and part.endswith("*") and len(part) > 2:
            out.append("\\fI" + escape(part[1:-1]) + "\\fR")
        else:
            out.append(escape(part, minus=False))
    return "".join(out)


def term(text):
    """Option words bold, their arguments italic: `-d SERIAL` -> -d SERIAL.
    A term with more than code spans is set like running text."""
    if not re.fullmatch(r"`[^`]*`(?:, `[^`]*`)*", text):
        return inline(text)
    pieces = []
    for code in re.findall(r"`([^`]*)`", text):
        words = []
        for word in code.split(" "):
            if word.startswith("-") or word in ("USB", "TCPIP", "RECOVER", "1|0"):
                words.append("\\fB" + escape(word) + "\\fR")
            else:
                words.append("\\fI" + escape(word) + "\\fR")
        pieces.append(" ".join(words))
    return ", ".join(pieces)


def to_man(blocks):
    out = []
    section_name = ""
    for block in blocks:
        kind = block[0]
        if kind == "title":
            _, name, section, footer = block
            out.append('.TH %s %s "" "%s"' % (escape(name), section, escape(footer)))
            out.append(".nh")  # no hyphenation: option and field names stay whole
        elif kind == "heading":
            section_name = block[1].upper()
            out.append(".SH " + escape(section_name))
        elif kind == "para":
            text = block[1]
            if section_name == "NAME":
                # whatis wants "name \- description" on one line.
                out.append(escape(text, minus=False).replace(" - ", " \\- ", 1))
            else:
                out.append(".PP")
                out.append(inline(text))
        elif kind == "code":
            out.append(".PP")
            out.append(".RS 4")
            out.append(".nf")
            for line in block[1]:
                out.append(escape(line) if line else "")
            out.append(".fi")
            out.append(".RE")
        elif kind == "item":
            out.append(".TP")
            out.append(term(block[1]))
            out.append(inline(block[2]))
    return "\n".join(out) + "\n"


def to_readme(source):
    """The README's copy: the source without its title line, the sections one
    level down so that they sit under the README's own heading."""
    lines = source.rstrip("\n").split("\n")
    body = [("#" + l if l.startswith("## ") else l) for l in lines if not l.startswith("# ")]
    while body and not body[0].strip():
        body.pop(0)
    return BEGIN + "\n\n" + "\n".join(body) + "\n\n" + END


def readme_parts(readme):
    start = readme.find(BEGIN)
    end = readme.find(END)
    if start < 0 or end < start:
        raise ValueError("README has no manual markers")
    return readme[:start], readme[start:end + len(END)], readme[end + len(END):]


def main(argv):
    if len(argv) != 4 or argv[1] not in ("man", "readme", "check"):
        sys.stderr.write(__doc__)
        return 2
    command, source_path, target = argv[1:]
    with open(source_path, encoding="utf-8") as f:
        source = f.read()
    if command == "man":
        text = to_man(parse(source))
        with open(target, "w", encoding="utf-8") as f:
            f.write(text)
        return 0
    with open(target, encoding="utf-8") as f:
        readme = f.read()
    before, current, after = readme_parts(readme)
    wanted = to_readme(source)
    if command == "check":
        if current != wanted:
            sys.stderr.write("%s: the manual differs from %s; run: python3 doc/manual.py readme %s %s\n"
                             % (target, source_path, source_path, target))
            return 1
        return 0
    with open(target, "w", encoding="utf-8") as f:
        f.write(before + wanted + after)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
