"""The quickstart example runs through and cleans up after itself."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "quickstart.py"


@pytest.mark.parametrize("keep", [False, True])
def test_the_quickstart_removes_its_folder_unless_asked_to_keep_it(tmp_path: Path, keep: bool) -> None:
    args = [sys.executable, str(EXAMPLE), *(["--keep"] if keep else [])]
    result = subprocess.run(args, capture_output=True, text=True, env=dict(os.environ, TMPDIR=str(tmp_path)), timeout=300)
    assert result.returncode == 0, result.stderr
    assert "recall through the index" in result.stdout
    left = sorted(p.name for p in tmp_path.iterdir())
    if keep:
        assert len(left) == 1 and left[0].startswith("ormel-quickstart-")
        assert f"kept {tmp_path / left[0]}" in result.stdout
        assert (tmp_path / left[0] / "team.ormel").exists()
    else:
        assert left == []
