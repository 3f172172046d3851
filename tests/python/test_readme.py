"""The README's Python snippets, taken from the README itself: a newcomer pastes them first, so each
must run as written, and again in the same directory, since the README promises that a second run
continues the first."""
import pathlib
import subprocess
import sys
import textwrap

import pytest

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def python_snippets(markdown):
    """The indented code blocks of a Markdown text that import the module, dedented."""
    blocks, block, previous = [], None, ""
    for line in markdown.splitlines() + [""]:
        if block is None:
            # An indented line right after a paragraph's line continues the paragraph.
            if line.startswith("    ") and not previous.strip():
                block = [line]
        elif line.startswith("    ") or not line.strip():
            block.append(line)
        else:
            blocks.append(textwrap.dedent("\n".join(block)).strip() + "\n")
            block = None
        previous = line
    if block is not None:
        blocks.append(textwrap.dedent("\n".join(block)).strip() + "\n")
    return [b for b in blocks if "import quelvane" in b]


SNIPPETS = python_snippets(README.read_text())


def test_the_snippets_are_found():
    assert SNIPPETS and 'quelvane.Store.open("example-data")' in SNIPPETS[0], SNIPPETS


@pytest.mark.parametrize("snippet", SNIPPETS, ids=lambda s: s.splitlines()[-1].strip()[:40])
def test_a_readme_snippet_runs_twice(tmp_path, snippet):
    for run in (1, 2):
        proc = subprocess.run([sys.executable, "-c", snippet], cwd=tmp_path, capture_output=True, text=True,
                              timeout=60)
        assert (proc.returncode, proc.stderr) == (0, ""), (run, proc.stderr[-2000:])
