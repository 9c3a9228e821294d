"""The Python code blocks of a Markdown page (the README, docs/**/*.md), run in order in one
namespace as a reader would run them, each with the output it is shown to print.

A ```python block followed by a ```text block, with at most one paragraph between them
("prints", say), shows that text as its output: what the block writes to standard output,
Python's and the native modules' alike (file descriptor 1), must be that text. A block
without such a text block must run without an error.

    python scripts/doc_blocks.py PAGE.md           # runs the page's blocks; exit 1 on a mismatch
    python scripts/doc_blocks.py --write PAGE.md   # the same, writing what each block printed
                                                   # into its text block
"""

from __future__ import annotations

import ast
import io
import os
import re
import sys
import tempfile
import textwrap
from dataclasses import dataclass

# A fenced block, indented or not (in a list item): its indent, its language, its text.
FENCE = re.compile(r"^([ \t]*)```(\w*)[^\n]*\n(.*?)^\1```[ \t]*$", re.M | re.S)


@dataclass
class Block:
    code: str
    shown: str | None       # the text block shown as its output, if any
    shown_span: tuple[int, int] | None   # where that text sits in the page
    shown_indent: str       # the indent of that text block (in a list item)
    line: int               # the line of the page where the code starts


def blocks(page: str) -> list[Block]:
    """The page's Python blocks, each with the text block that shows its output."""
    fences = list(FENCE.finditer(page))
    found = []
    for i, fence in enumerate(fences):
        if fence.group(2) != "python":
            continue
        shown = span = None
        indent = ""
        if i + 1 < len(fences) and fences[i + 1].group(2) == "text":
            between = page[fence.end():fences[i + 1].start()].strip()
            if "\n\n" not in between:
                shown, span = textwrap.dedent(fences[i + 1].group(3)), fences[i + 1].span(3)
                indent = fences[i + 1].group(1)
        line = page.count("\n", 0, fence.start(3)) + 1
        found.append(Block(textwrap.dedent(fence.group(3)), shown, span, indent, line))
    return found


def literal_lines(text: str) -> list:
    """The lines of `text`, each a Python value where it reads as one: dicts then compare
    equal whatever the order of their keys, which the core module does not fix."""
    out = []
    for line in text.splitlines():
        try:
            out.append(ast.literal_eval(line.strip()) if line.strip()[:1] in "({[" else line)
        except (ValueError, SyntaxError):
            out.append(line)
    return out


def run(code: str, namespace: dict, name: str) -> str:
    """Runs `code` in `namespace` and returns what it wrote to file descriptor 1."""
    with tempfile.TemporaryFile() as out:
        sys.stdout.flush()
        saved, saved_stdout = os.dup(1), sys.stdout
        os.dup2(out.fileno(), 1)
        # Python's prints go straight to descriptor 1 as well, unbuffered, so that they keep
        # their order with what native code writes there (also where sys.stdout was replaced).
        sys.stdout = io.TextIOWrapper(io.FileIO(1, "w", closefd=False), encoding="utf-8",
                                      write_through=True)
        try:
            exec(compile(code, name, "exec"), namespace)
        finally:
            sys.stdout.flush()
            sys.stdout = saved_stdout
            os.dup2(saved, 1)
            os.close(saved)
        out.seek(0)
        return out.read().decode("utf-8")


def check_page(path: str, write: bool = False) -> list[str]:
    """Runs every Python block of the page; returns the mismatches (and with `write`,
    replaces each shown output with the real one)."""
    page = open(path, encoding="utf-8").read()
    namespace: dict = {"__name__": "__main__"}
    problems = []
    edits = []
    for block in blocks(page):
        printed = run(block.code, namespace, f"{path}:{block.line}")
        if block.shown is None:
            continue
        if literal_lines(printed) != literal_lines(block.shown):
            problems.append(f"{path}:{block.line}: the block printed\n{printed}\n"
                            f"where the page shows\n{block.shown}")
            edits.append((block.shown_span, textwrap.indent(printed, block.shown_indent)))
    if write and edits:
        for (start, end), printed in sorted(edits, reverse=True):
            page = page[:start] + printed + page[end:]
        open(path, "w", encoding="utf-8").write(page)
    return problems


def main(argv: list[str]) -> int:
    write = "--write" in argv
    paths = [arg for arg in argv if arg != "--write"]
    problems = [problem for path in paths for problem in check_page(path, write)]
    for problem in problems:
        print(problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.stdout.reconfigure(line_buffering=True)
    sys.exit(main(sys.argv[1:]))
