#!/usr/bin/env python3
"""Renders the help file's HTML topics as plain text for `tavu fly`.

help/ is the one source of the help: chmcmd compiles it into TAVU.CHM for
the simulator, and this turns the same pages into a C++ table, so the
workbench shows what the simulator would.

    python3 tools/helptext.py --cpp OUT.cpp help/TAVU.hhp

Understands what the pages use: headings, paragraphs, lists and two-column
tables, with inline markup dropped.
"""

import argparse
import html.parser
import os
import sys
import textwrap

WIDTH = 72  # the widest box an 80-column terminal shows


class Page(html.parser.HTMLParser):
    """Blocks of a page: ("h1" | "h2" | "p" | "li", text) and ("row", cells)."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.title = ""
        self.blocks = []
        self.text = None  # the block being read
        self.kind = None
        self.cells = None
        self.in_title = False
        self.ordered = []

    def flush(self):
        if self.text is not None:
            text = " ".join("".join(self.text).split())
            if self.cells is not None:
                self.cells.append(text)
            elif text:
                self.blocks.append((self.kind, text))
        self.text = None

    def handle_starttag(self, tag, attrs):
        if tag == "title":
            self.in_title = True
        elif tag in ("ol", "ul"):
            self.ordered.append(0 if tag == "ol" else None)
        elif tag in ("h1", "h2", "p", "li", "td", "th"):
            self.flush()
            self.kind = tag
            if tag == "li" and self.ordered and self.ordered[-1] is not None:
                self.ordered[-1] += 1
                self.kind = f"{self.ordered[-1]}."
            self.text = []
        elif tag == "tr":
            self.flush()
            self.cells = []

    def handle_endtag(self, tag):
        if tag == "title":
            self.in_title = False
        elif tag in ("ol", "ul"):
            self.flush()
            self.ordered.pop()
        elif tag in ("h1", "h2", "p", "li", "td", "th"):
            self.flush()
        elif tag == "tr":
            self.flush()
            self.blocks.append(("row", self.cells))
            self.cells = None

    def handle_data(self, data):
        if self.in_title:
            self.title += data
        elif self.text is not None:
            self.text.append(data)


def render(blocks):
    lines = []
    for i, (kind, body) in enumerate(blocks):
        if kind == "h1":
            continue  # the page's title, which the box's frame shows
        if kind == "h2":
            lines += ["", body.upper(), ""]
        elif kind == "p":
            lines += textwrap.wrap(body, WIDTH) + [""]
        elif kind == "row":
            if i == 0 or blocks[i - 1][0] != "row":
                # A table: its first column as wide as its widest key.
                run = []
                for next_kind, cells in blocks[i:]:
                    if next_kind != "row":
                        break
                    run.append(cells)
                key_width = max(len(cells[0]) for cells in run)
                lines.append("")
            first = "  " + body[0].ljust(key_width) + "  "
            lines += textwrap.wrap(" ".join(body[1:]), WIDTH, initial_indent=first,
                                   subsequent_indent=" " * len(first))
            if i + 1 == len(blocks) or blocks[i + 1][0] != "row":
                lines.append("")
        else:  # a list item: "-" or its number
            mark = f"  {'-' if kind == 'li' else kind} "
            lines += textwrap.wrap(body, WIDTH, initial_indent=mark, subsequent_indent=" " * len(mark))
    text = "\n".join(lines)
    while "\n\n\n" in text:
        text = text.replace("\n\n\n", "\n\n")
    return text.strip("\n") + "\n"


def project_files(hhp):
    """The compiled file's name and the topic pages of an .hhp project."""
    compiled, files, section = "", [], ""
    with open(hhp, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith(";"):
                continue
            if line.startswith("["):
                section = line
            elif section == "[OPTIONS]" and line.lower().startswith("compiled file="):
                compiled = line.split("=", 1)[1]
            elif section == "[FILES]":
                files.append(line)
    return compiled, files


def cpp_string(text):
    escaped = text.replace("\\", "\\\\").replace('"', '\\"')
    return "\n".join(f'        "{line}\\n"' for line in escaped.rstrip("\n").split("\n"))


def main(argv):
    arguments = argparse.ArgumentParser(description="Renders the help topics as a C++ table.")
    arguments.add_argument("--cpp", metavar="OUT.cpp", required=True)
    arguments.add_argument("project", help="the help project, help/TAVU.hhp")
    options = arguments.parse_args(argv)
    compiled, files = project_files(options.project)
    out = ["// Generated by tools/helptext.py from help/; edit the HTML pages instead.",
           '#include "tools/tavu/help_text.h"', "", "namespace tavu {", "",
           f'const char kHelpFileName[] = "{compiled}";', "const HelpTopic kHelpTopics[] = {"]
    for name in files:
        page = Page()
        with open(os.path.join(os.path.dirname(options.project), name), encoding="utf-8") as f:
            page.feed(f.read())
        page.close()
        out += [f'    {{"/{name}", "{page.title.strip()}",', cpp_string(render(page.blocks)) + "},"]
    out += ["};", f"const size_t kHelpTopicCount = {len(files)};", "", "}  // namespace tavu", ""]
    content = "\n".join(out)
    try:
        with open(options.cpp, encoding="utf-8") as f:
            if f.read() == content:
                return 0
    except OSError:
        pass
    with open(options.cpp, "w", encoding="utf-8", newline="\n") as f:
        f.write(content)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
