"""The README's fenced code blocks, by the `## ` section they stand in: the one
reader that every test taking code from the README goes through."""
import pathlib
import re
from typing import NamedTuple, Optional

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


class Block(NamedTuple):
    section: str
    language: str
    code: str
    line: int  # of the opening fence, for messages


def readme_blocks(section: Optional[str] = None, language: Optional[str] = None) -> list[Block]:
    """Every fenced block of README.md in order, or those of one section and language."""
    blocks, current, fence = [], None, None
    for number, line in enumerate(README.read_text(encoding="utf-8").splitlines(keepends=True), 1):
        if fence is not None:
            if line.rstrip() == "```":
                blocks.append(Block(current, fence[0], "".join(fence[2]), fence[1]))
                fence = None
            else:
                fence[2].append(line)
        elif line.startswith("## "):
            current = line[3:].strip()
        elif (match := re.match(r"```(\w*)\s*$", line)):
            fence = (match.group(1), number, [])
    if fence is not None:
        raise ValueError(f"README.md:{fence[1]}: the block never closes")
    chosen = [b for b in blocks if section in (None, b.section) and language in (None, b.language)]
    if section is not None and not chosen:
        raise LookupError(f"README.md has no {language or ''} block under '## {section}'")
    return chosen
