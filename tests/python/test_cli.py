"""The `ormel` command, end to end through a subprocess: output, --json, errors and exit status."""

import json
import os
import subprocess
import sys
from collections.abc import Iterator
from pathlib import Path

import pytest

import ormel

PASS = "cli passphrase"
SUBCOMMANDS = ["info", "verify", "snapshots", "restore", "export", "compact", "passwd", "dump", "load",
               "cache-stats", "build-index", "drop-index", "search"]


def run(*args: str, passphrase: str | None = PASS, stdin: str | None = None) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ)
    env.pop("ORMEL_PW", None)
    extra: list[str] = []
    if passphrase is not None:
        env["ORMEL_PW"] = passphrase
        extra = ["--passphrase-env", "ORMEL_PW"]
    return subprocess.run([sys.executable, "-m", "ormel", *args, *extra], capture_output=True, text=True, env=env, input=stdin, timeout=120)


def assert_error(result: subprocess.CompletedProcess[str], fragment: str) -> None:
    assert result.returncode != 0
    lines = result.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("ormel: error: "), result.stderr
    assert fragment in lines[0]
    assert "Traceback" not in result.stderr


@pytest.fixture
def db_path(tmp_path: Path) -> Iterator[Path]:
    path = tmp_path / "cli.ormel"
    db = ormel.open(str(path), PASS, dimensions=4)
    for i in range(6):
        db.remember(f"memory {i}", "semantic", [float(i), 1.0, 0.5, -1.0], agent_id=f"agent{i % 2}",
                    importance=0.1 * i, metadata={"n": i, "tags": ["a", "b"]}, shared=i % 3 == 0)
        db.flush()
    db.cache_put("answers", "q", "a")
    del db
    yield path


def memories_of(path: Path, passphrase: str = PASS) -> list[dict[str, object]]:
    db = ormel.open(str(path), passphrase, read_only=True)
    return sorted((db.get(entry["id"]) for entry in db.ids()), key=lambda m: str(m["id"]))


@pytest.mark.parametrize("command", SUBCOMMANDS)
def test_every_subcommand_has_help(command: str) -> None:
    result = subprocess.run([sys.executable, "-m", "ormel", command, "--help"], capture_output=True, text=True)
    assert result.returncode == 0 and "--passphrase-env" in result.stdout


def test_console_script_is_installed(db_path: Path) -> None:
    script = Path(sys.executable).parent / "ormel"
    result = subprocess.run([str(script), "info", str(db_path), "--passphrase-env", "ORMEL_PW"],
                            capture_output=True, text=True, env=dict(os.environ, ORMEL_PW=PASS))
    assert result.returncode == 0 and "memories        6 live" in result.stdout


def test_info_json_reports_the_database(db_path: Path) -> None:
    result = run("info", str(db_path), "--json")
    assert result.returncode == 0, result.stderr
    info = json.loads(result.stdout)
    assert info["format_version"] == 8
    assert (info["memories"], info["deleted"], info["dimensions"]) == (6, 0, 4)
    assert info["agents"] == ["agent0", "agent1"]
    assert info["snapshots"] == 7 and info["index"] is None  # six flushes and the cache write
    assert info["space"]["file_bytes"] == db_path.stat().st_size


def test_passphrase_from_a_file(db_path: Path, tmp_path: Path) -> None:
    secret = tmp_path / "secret"
    secret.write_text(PASS + "\n")
    result = run("snapshots", str(db_path), "--json", "--passphrase-file", str(secret), passphrase=None)
    assert result.returncode == 0, result.stderr
    # Six flushes, then the cache write's own transaction.
    assert [s["memory_count"] for s in json.loads(result.stdout)] == [1, 2, 3, 4, 5, 6, 6]


@pytest.mark.parametrize("command", ["info", "verify", "dump", "snapshots"])
def test_errors_are_one_line_with_a_failing_status(db_path: Path, command: str) -> None:
    assert_error(run(command, str(db_path), passphrase="wrong"), "wrong passphrase")
    assert_error(run(command, str(db_path.with_name("missing.ormel"))), "file not found")
    assert not db_path.with_name("missing.ormel").exists()
    holder = ormel.open(str(db_path), PASS)
    try:
        assert_error(run(command, str(db_path)), "locked")
    finally:
        del holder


def test_tampered_page_fails_verify(db_path: Path) -> None:
    assert run("verify", str(db_path)).returncode == 0
    data = bytearray(db_path.read_bytes())
    data[9 * 8192 + 100] ^= 0xFF  # the first record lives on page 9, after the header and the log region
    db_path.write_bytes(bytes(data))
    assert_error(run("verify", str(db_path)), "failed authentication")


def test_restore_export_and_snapshots(db_path: Path, tmp_path: Path) -> None:
    result = run("restore", str(db_path), "--txn", "3", "--json")
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout)["memory_count"] == 3
    assert len(memories_of(db_path)) == 3
    copy = tmp_path / "copy.ormel"
    assert run("export", str(db_path), str(copy)).returncode == 0
    assert memories_of(copy) == memories_of(db_path)


def test_dump_then_load_gives_the_same_memories(db_path: Path, tmp_path: Path) -> None:
    dump = tmp_path / "dump.jsonl"
    result = run("dump", str(db_path), "--vectors", "-o", str(dump))
    assert result.returncode == 0 and "not encrypted" in result.stderr
    target = tmp_path / "loaded.ormel"
    result = run("load", str(target), str(dump), "--batch", "4")
    assert result.returncode == 0, result.stderr
    fields = ["id", "content", "memory_type", "vector", "agent_id", "session_id", "scope", "importance",
              "ttl_secs", "metadata"]
    assert [{f: m[f] for f in fields} for m in memories_of(target)] == \
        [{f: m[f] for f in fields} for m in memories_of(db_path)]
    no_vectors = run("dump", str(db_path))
    assert all("vector" not in json.loads(line) for line in no_vectors.stdout.splitlines())


def test_load_reports_the_bad_line_and_keeps_nothing_of_its_batch(tmp_path: Path) -> None:
    target = tmp_path / "bad.ormel"
    good = json.dumps({"content": "x", "memory_type": "semantic", "vector": [1, 0, 0]})
    lines = [good, good, good, json.dumps({"content": "y", "memory_type": "bogus", "vector": [1, 0, 0]})]
    result = run("load", str(target), "-", "--batch", "2", stdin="\n".join(lines) + "\n")
    assert_error(result, "line 4")
    assert len(memories_of(target)) == 2
    result = run("load", str(target), "-", stdin=good + "\n{not json\n")
    assert_error(result, "line 2")
    assert len(memories_of(target)) == 2


def test_passwd_then_only_the_new_passphrase_opens(db_path: Path) -> None:
    env = dict(os.environ, ORMEL_PW=PASS, ORMEL_NEW="fresh secret")
    result = subprocess.run([sys.executable, "-m", "ormel", "passwd", str(db_path), "--passphrase-env", "ORMEL_PW",
                             "--new-passphrase-env", "ORMEL_NEW"], capture_output=True, text=True, env=env)
    assert result.returncode == 0, result.stderr
    assert_error(run("info", str(db_path)), "wrong passphrase")
    assert run("info", str(db_path), passphrase="fresh secret").returncode == 0


def test_compact_index_and_cache_commands(db_path: Path) -> None:
    result = run("compact", str(db_path), "--json")
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout)["reclaimed_bytes"] >= 0
    result = run("build-index", str(db_path), "--json")
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout)["vectors"] == 6
    assert run("drop-index", str(db_path)).returncode == 0
    assert json.loads(run("info", str(db_path), "--json").stdout)["index"] is None
    stats = json.loads(run("cache-stats", str(db_path), "--json", "--namespace", "answers").stdout)
    assert stats["entries"] == 1
    assert len(memories_of(db_path)) == 6


def test_search_keyword_and_hybrid(db_path: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    result = run("search", str(db_path), "Memory 3", "--json", "-k", "2")
    assert result.returncode == 0, result.stderr
    rows = json.loads(result.stdout)
    assert [r["content"] for r in rows] == ["memory 3", "memory 0"]  # "3" is rarer than "memory"
    assert rows[0]["score"] > rows[1]["score"] and "vector" not in rows[0]
    assert "memory 3" in run("search", str(db_path), "memory 3").stdout.splitlines()[0]
    (tmp_path / "fixed_embedder.py").write_text("def embed(text):\n    return [5.0, 1.0, 0.5, -1.0]\n")
    monkeypatch.setenv("PYTHONPATH", f"{tmp_path}{os.pathsep}{os.environ.get('PYTHONPATH', '')}")
    hybrid = json.loads(run("search", str(db_path), "memory 3", "--json", "--embedder", "fixed_embedder:embed").stdout)
    assert_error(run("search", str(db_path), "x", "--embedder", "no_such_module:f"), "cannot load embedder")
    assert {r["content"] for r in hybrid[:2]} == {"memory 3", "memory 5"}  # by keywords, by vector
    assert json.loads(run("search", str(db_path), "absent", "--json").stdout) == []


def run_with_terminal(*args: str, block_tqdm: bool = False) -> tuple[int, str, str]:
    """Runs the command with stderr on a pseudo-terminal of 100 columns; returns the exit status,
    stdout and what the terminal received. With `block_tqdm` the command runs as if tqdm were
    not installed."""
    import fcntl
    import pty
    import struct
    import termios

    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 100, 0, 0))
    prelude = "import sys; sys.modules['tqdm'] = None; " if block_tqdm else "import sys; "
    code = prelude + "from ormel.cli import main; sys.exit(main())"
    env = dict(os.environ, ORMEL_PW=PASS)
    proc = subprocess.Popen([sys.executable, "-c", code, *args, "--passphrase-env", "ORMEL_PW"],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=slave, env=env)
    os.close(slave)
    received = b""
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # EIO once the child has closed the terminal
            break
        if not chunk:
            break
        received += chunk
    os.close(master)
    out, _ = proc.communicate(timeout=120)
    return proc.returncode, out.decode(), received.decode(errors="replace")


def progress_commands(db_path: Path, tmp_path: Path) -> dict[str, list[str]]:
    dump = tmp_path / "for-load.jsonl"
    assert run("dump", str(db_path), "--vectors", "-o", str(dump)).returncode == 0
    return {
        "verify": ["verify", str(db_path)],
        "verify --all": ["verify", str(db_path), "--all"],
        "compact": ["compact", str(db_path)],
        "build-index": ["build-index", str(db_path)],
        "dump": ["dump", str(db_path), "-o", str(tmp_path / "out.jsonl")],
        "load": ["load", str(tmp_path / "loaded.ormel"), str(dump)],
    }


PROGRESS_COMMANDS = ["verify", "verify --all", "compact", "build-index", "dump", "load"]


@pytest.mark.parametrize("name", PROGRESS_COMMANDS)
def test_a_progress_bar_is_drawn_only_on_a_terminal(db_path: Path, tmp_path: Path, name: str) -> None:
    args = progress_commands(db_path, tmp_path)[name]
    status, out, terminal = run_with_terminal(*args)
    assert status == 0, terminal
    assert "100%" in terminal and "|" in terminal, terminal
    assert name.split()[0] in terminal
    assert "Traceback" not in terminal and "\x1b" not in out and "100%" not in out

    piped = run(*args)
    assert piped.returncode == 0, piped.stderr
    assert piped.stderr == ("ormel: warning: the dump is not encrypted\n" if name == "dump" else "")

    status, _, bare = run_with_terminal(*args, block_tqdm=True)  # without tqdm: no bar, same work
    assert status == 0, bare
    assert "%" not in bare


def test_load_counts_the_bytes_of_the_input(db_path: Path, tmp_path: Path) -> None:
    args = progress_commands(db_path, tmp_path)["load"]
    size = Path(args[2]).stat().st_size
    _, _, terminal = run_with_terminal(*args)
    assert f"{size}/{size}" in terminal.replace(".00", "") or f"{size / 1000:.2f}k/{size / 1000:.2f}k" in terminal, terminal
