"""Doxygen input filter: reads the public headers' plain C comments as documentation.

The headers are written for people reading them, in /* */ comments; Doxygen
documents only /** */ ones. The filter, per line: the file's first comment
becomes its @file text, a comment that opens a line documents what follows,
a comment after a declaration documents it (/**< */), and a comment line
indented under " *" becomes a code block so its column layout survives.
Section rules (/* ---- */) stay plain comments. A ">" that opens a comment's
text is escaped: Doxygen's Markdown would read "/* > 0 */" as a quotation of "0".
A robot file's element named in prose ("<limit>") is escaped too, or Doxygen
would take it for an HTML tag.
"""
import re
import sys


def filtered(lines):
    seen_comment = in_comment = False
    for line in lines:
        if in_comment:
            if re.match(r"\s*\*   ", line):
                line = line.replace("*", "*  ", 1)
        elif re.match(r"\s*/\*(?!\*)(?!\s*-)", line):
            line = line.replace("/*", "/** @file" if not seen_comment else "/**", 1)
            seen_comment = True
        elif re.search(r"\S.*/\*(?!\*)", line) and not re.match(r"\s*[#}]", line):
            line = re.sub(r"/\*(?!\*)", "/**<", line, count=1)
        line = re.sub(r"(/\*\*<?\s*)>", r"\1\\>", line)
        if in_comment:  # a continuation line " * > ...", not one of a code block
            line = re.sub(r"^(\s*\* ?)>", r"\1\\>", line)
        if in_comment or "/*" in line:
            line = re.sub(r"<(/?[a-z_]+)>", r"\\<\1\\>", line)
        if "/*" in line:
            in_comment = "*/" not in line[line.index("/*"):]
        elif in_comment and "*/" in line:
            in_comment = False
        yield line


if __name__ == "__main__":
    with open(sys.argv[1], encoding="utf-8") as header:
        sys.stdout.writelines(filtered(header))
