"""The README's corvane commands run as written, from the repository root."""

from __future__ import annotations

import os
import re
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from corvane.viewer import headless

REPO = Path(__file__).resolve().parents[2]
SECTION = (REPO / "README.md").read_text().split("\n## The corvane command\n", 1)[1].split("\n## ", 1)[0]
COMMANDS = [line for line in re.search(r"```sh\n(.*?)```", SECTION, re.S).group(1).splitlines() if line]

pytestmark = pytest.mark.skipif(
    not (REPO / ".." / "shared" / "data" / "gds").is_dir(), reason="shared layout data not present"
)


def test_commands_run_in_order(tmp_path):
    assert [c.split()[1] for c in COMMANDS] == ["lumino", "lumino", "view", "weftnet", "freeze"]
    env = dict(os.environ, HOME=str(tmp_path))
    for command in COMMANDS:
        words = shlex.split(command.replace("/tmp/", f"{tmp_path}/"))
        if "--screenshot" in words and headless.find_chromium() is None:
            continue
        if "--plot" in words and shutil.which("dot") is None:
            continue
        run = subprocess.run(
            [sys.executable, "-m", "corvane", *words[1:]], cwd=REPO, env=env, capture_output=True, text=True, timeout=300
        )
        assert run.returncode == 0, (command, run.stderr)
        for path in re.findall(r"^(?:message|page|screenshot|plot): (\S+)", run.stdout, re.M):
            assert Path(path).is_file(), (command, path)
    inbox = tmp_path / ".corvane" / "viewer_inbox"
    assert len(list(inbox.glob("*.json"))) == 2
    assert len(list(inbox.glob("*.html"))) == 2  # --view, then view of the newest
