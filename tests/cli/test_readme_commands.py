"""The README's corvane commands run as written, from the repository root."""

from __future__ import annotations

import json
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
    not (REPO / "examples" / "gds").is_dir(), reason="example layouts (examples/gds) not present"
)


def test_commands_run_in_order(tmp_path):
    assert [c.split()[1] for c in COMMANDS] == [
        "layers", "view", "lumino", "stack", "lumino", "view", "inbox", "export", "weftnet", "freeze",
    ]
    env = dict(os.environ, HOME=str(tmp_path))
    for command in COMMANDS:
        words = shlex.split(command.replace("/tmp/", f"{tmp_path}/"))
        if "--screenshot" in words and headless.find_chromium() is None:
            continue
        if "--plot" in words and shutil.which("dot") is None:
            continue
        out = None
        if ">" in words:  # the shell's redirection of standard output
            words, out = words[: words.index(">")], Path(words[words.index(">") + 1])
        run = subprocess.run(
            [sys.executable, "-m", "corvane", *words[1:]], cwd=REPO, env=env, capture_output=True, text=True, timeout=300
        )
        assert run.returncode == 0, (command, run.stderr)
        assert "error" not in run.stderr, (command, run.stderr)
        if out is not None:
            out.write_text(run.stdout)
            assert json.loads(out.read_text())["layers"]
        for path in re.findall(r"^(?:message|page|screenshot|plot|glb): (\S+)", run.stdout, re.M):
            assert Path(path).is_file(), (command, path)
    inbox = tmp_path / ".corvane" / "viewer_inbox"
    names = sorted(p.name.split("-")[0] for p in inbox.glob("*.json"))
    assert names == ["MiniChip_1mm", "RingResonator", "tt_um_vga_clock"]
    # view of the layout, lumino --view, then view of the newest (MiniChip's page again)
    assert sorted(p.name.split("-")[0] for p in inbox.glob("*.html")) == ["MiniChip_1mm", "tt_um_vga_clock"]
