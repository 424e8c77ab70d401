"""Every Python example of the README and of docs/ runs and prints what the page shows.

A block whose info string is `text file:NAME` is the content of the file NAME that the examples
of its page read; `text output` is what the Python block before it prints, standard output and
standard error in the order written, with `...` for any text.
"""

import doctest
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
FENCE = re.compile(r"^```([^\n`]*)\n(.*?)^```$", re.M | re.S)


def blocks(page):
    text = page.read_text()
    for match in FENCE.finditer(text):
        line = text.count("\n", 0, match.start()) + 1
        yield line, match.group(1).split(), match.group(2)


def examples():
    for page in PAGES:
        found = list(blocks(page))
        files = {info[1][5:]: body for _, info, body in found if info[1:2] and info[1].startswith("file:")}
        for i, (line, info, body) in enumerate(found):
            if info[:1] != ["python"]:
                continue
            after = found[i + 1] if i + 1 < len(found) else None
            output = after[2] if after and after[1] == ["text", "output"] else None
            yield pytest.param(files, body, output, id=f"{page.relative_to(ROOT)}:{line}")


@pytest.mark.parametrize("files, code, output", list(examples()))
def test_example(tmp_path, files, code, output):
    for name, content in files.items():
        (tmp_path / name).write_text(content)
    done = subprocess.run(
        [sys.executable, "-u", "-c", code],
        cwd=tmp_path,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stdout
    if output is not None:
        checker = doctest.OutputChecker()
        assert checker.check_output(output, done.stdout, doctest.ELLIPSIS), done.stdout


def test_every_output_follows_an_example():
    for page in PAGES:
        found = list(blocks(page))
        for i, (line, info, _) in enumerate(found):
            if info == ["text", "output"]:
                assert i > 0 and found[i - 1][1][:1] == ["python"], f"{page.name}:{line}"
