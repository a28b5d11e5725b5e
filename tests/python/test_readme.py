"""Every ```python block of README.md runs without error.

Each block runs in a fresh namespace, except a block preceded by the line
`<!-- readme-test: continue -->`, which runs in the namespace of the block before it.
"""

import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
CONTINUE = "<!-- readme-test: continue -->"
FENCE = re.compile(r"^```(\S*)[^\n]*\n(.*?)^```[ \t]*$", re.MULTILINE | re.DOTALL)


def python_blocks(text):
    """(line number, continues the previous block, source) of each python block."""
    blocks = []
    for match in FENCE.finditer(text):
        if match.group(1) != "python":
            continue
        before = text[: match.start()].rstrip("\n").rsplit("\n", 1)[-1]
        line = text.count("\n", 0, match.start()) + 2
        blocks.append((line, before.strip() == CONTINUE, match.group(2)))
    return blocks


def readme_chains():
    """The blocks grouped into chains that share one namespace."""
    chains = []
    for line, continues, source in python_blocks(README.read_text(encoding="utf-8")):
        if continues:
            assert chains, f"README.md:{line}: the first block cannot continue another"
            chains[-1].append((line, source))
        else:
            chains.append([(line, source)])
    return chains


CHAINS = readme_chains()


def test_every_python_block_is_found():
    text = README.read_text(encoding="utf-8")
    assert len(python_blocks(text)) == text.count("```python") >= 5


@pytest.mark.parametrize("chain", CHAINS, ids=[f"line{chain[0][0]}" for chain in CHAINS])
def test_readme_block(chain):
    namespace = {"__name__": "readme"}
    for line, source in chain:
        # Padding keeps the line numbers of tracebacks equal to those of README.md.
        code = compile("\n" * (line - 1) + source, str(README), "exec")
        exec(code, namespace)
