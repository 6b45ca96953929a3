"""The `ormel` command, end to end through a subprocess: output, --json, errors and exit status,
on a terminal (a pseudo-terminal that is the command's controlling terminal) and in pipes."""

import fcntl
import json
import os
import pty
import re
import select
import struct
import subprocess
import sys
import termios
import time
from collections.abc import Iterator
from pathlib import Path

import pytest

import legacy_format
import ormel

PASS = "cli passphrase"
SUBCOMMANDS = ["info", "verify", "snapshots", "restore", "export", "compact", "passwd", "dump", "load",
               "cache-stats", "build-index", "drop-index", "search"]


def command(*args: str, passphrase: str | None = PASS) -> tuple[list[str], dict[str, str]]:
    """The command line and environment that run `ormel` with `passphrase` in a variable (or
    with no passphrase option when it is None)."""
    env = dict(os.environ)
    env.pop("ORMEL_PW", None)
    extra: list[str] = []
    if passphrase is not None:
        env["ORMEL_PW"] = passphrase
        extra = ["--passphrase-env", "ORMEL_PW"]
    return [sys.executable, "-m", "ormel", *args, *extra], env


def run(*args: str, passphrase: str | None = PASS, stdin: str | None = None) -> subprocess.CompletedProcess[str]:
    argv, env = command(*args, passphrase=passphrase)
    return subprocess.run(argv, capture_output=True, text=True, env=env, input=stdin, timeout=120)


def assert_error(result: subprocess.CompletedProcess[str], fragment: str) -> None:
    assert result.returncode != 0
    lines = result.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("ormel: error: "), result.stderr
    assert fragment in lines[0]
    assert "Traceback" not in result.stderr


@pytest.fixture
def db_path(tmp_path: Path, file_format: int) -> Iterator[Path]:
    """A database of six memories and a cache entry, in each format (the tests that use it run
    once per format; those of usage mistakes, which open nothing, run once)."""
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


def test_info_json_reports_the_database(db_path: Path, file_format: int) -> None:
    result = run("info", str(db_path), "--json")
    assert result.returncode == 0, result.stderr
    info = json.loads(result.stdout)
    assert info["format_version"] == file_format
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



@pytest.mark.parametrize("command", ["info", "verify", "dump", "snapshots", "cache-stats"])
def test_read_only_subcommands_work_beside_a_running_writer(db_path: Path, command: str) -> None:
    holder = ormel.open(str(db_path), PASS)
    try:
        holder.remember("staged, not committed", "semantic", [1.0, 0.0, 0.0, 0.0])
        result = run(command, str(db_path), *([] if command == "dump" else ["--json"]))
        assert result.returncode == 0, result.stderr
        assert "staged, not committed" not in result.stdout
        if command == "dump":
            assert len(result.stdout.splitlines()) == 6
    finally:
        holder.release()


def test_a_writer_is_kept_out_by_another_handle_and_told_so(db_path: Path) -> None:
    holder = ormel.open(str(db_path), PASS, read_only=True)
    try:
        assert_error(run("compact", str(db_path)), f"{db_path} is locked: another handle has it open")
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


# Ids of the memories a backup holds, and of one only the database loaded into holds.
ID_OLD, ID_PLAIN, ID_OTHER = "01HB0000000000000000000001", "01HB0000000000000000000002", "01HB0000000000000000000009"


@pytest.fixture
def backup_source(tmp_path: Path, file_format: int) -> Path:
    """A database whose memories hold every field, timestamps and counters from long ago."""
    path = tmp_path / "source.ormel"
    db = ormel.open(str(path), PASS, dimensions=3)
    db.load_memories([
        {"id": ID_OLD, "content": "old fact ✓", "memory_type": "semantic", "vector": [0.1, -2.5, 1e-30],
         "metadata": {"n": 2**62 + 1, "f": 0.1, "nested": {"x": [1, "y", None]}}, "agent_id": "planner",
         "session_id": "s1", "scope": "shared", "created_at": 1_000_000_000, "accessed_at": 1_100_000_000,
         "access_count": 7, "importance": 0.3, "ttl_secs": 3_000_000_000},
        {"id": ID_PLAIN, "content": "", "memory_type": "working", "vector": [1.0, 0.0, 0.0],
         "created_at": 1_200_000_000},
    ])
    fresh = db.remember("remembered now", "episodic", [0.0, 1.0, 0.0], agent_id="ops")
    db.flush()
    db.recall([0.0, 1.0, 0.0], top_k=1, agent_id="ops")  # counts an access of `fresh`
    db.flush()
    assert db.get(fresh)["access_count"] == 1
    del db
    return path


def test_dump_then_load_restores_every_field(backup_source: Path, tmp_path: Path) -> None:
    dump = tmp_path / "dump.jsonl"
    result = run("dump", str(backup_source), "--vectors", "-o", str(dump))
    assert result.returncode == 0 and "not encrypted" in result.stderr
    source = memories_of(backup_source)

    target = tmp_path / "loaded.ormel"
    result = run("load", str(target), str(dump), "--batch", "2")
    assert (result.returncode, result.stdout) == (0, "loaded 3 memories\n"), result.stderr
    assert memories_of(target) == source

    # Into a database that holds one of the ids with another content and access counts, and
    # a memory of its own: the backup's memories come back as they were, the other stays.
    existing = tmp_path / "existing.ormel"
    db = ormel.open(str(existing), PASS, dimensions=3)
    db.load_memories([
        {"id": ID_OLD, "content": "changed since", "memory_type": "episodic", "vector": [0.0, 0.0, 1.0],
         "access_count": 99, "accessed_at": 1_700_000_000},
        {"id": ID_OTHER, "content": "kept", "memory_type": "semantic", "vector": [0.0, 0.0, 1.0]},
    ])
    db.flush()
    other = db.get(ID_OTHER)
    del db
    assert run("load", str(existing), str(dump)).returncode == 0
    assert memories_of(existing) == sorted([*source, other], key=lambda m: str(m["id"]))

    without_vectors = run("dump", str(backup_source))
    assert [json.loads(line) for line in without_vectors.stdout.splitlines()] == \
        [{k: v for k, v in m.items() if k != "vector"} for m in memories_of(backup_source)]


def test_a_refused_restore_names_its_line(backup_source: Path, tmp_path: Path) -> None:
    lines = run("dump", str(backup_source), "--vectors").stdout.splitlines()
    lines[1] = lines[1].replace('"working"', '"opinion"')
    target = tmp_path / "loaded.ormel"
    result = run("load", str(target), "-", "--batch", "2", stdin="\n".join(lines) + "\n")
    assert_error(result, "line 2: unknown memory_type 'opinion' (nothing of this batch was kept)")
    assert not target.exists()


def test_lines_without_an_id_are_new_memories(tmp_path: Path) -> None:
    target = tmp_path / "new.ormel"
    line = {"content": "hand written", "memory_type": "semantic", "vector": [1, 0, 0], "shared": True,
            "agent_id": "a", "importance": 0.75, "metadata": {"k": "v"}}
    started = int(time.time())
    result = run("load", str(target), "-", stdin=json.dumps(line) + "\n\n" + json.dumps(line) + "\n")
    assert result.returncode == 0, result.stderr
    memories = memories_of(target)
    assert len({m["id"] for m in memories}) == 2
    for memory in memories:
        assert (memory["content"], memory["scope"], memory["agent_id"], memory["importance"], memory["metadata"]) == \
            ("hand written", "shared", "a", 0.75, {"k": "v"})
        assert memory["created_at"] >= started and memory["access_count"] == 0


GOOD_LINE = {"content": "x", "memory_type": "semantic", "vector": [1, 0, 0]}

# A refused line: what it holds, and what the error says after "line <n>: ".
REFUSED_LINES = {
    "unknown type": ({**GOOD_LINE, "memory_type": "opinion"}, "opinion"),
    "ttl beyond 64 bits": ({**GOOD_LINE, "ttl_secs": 10**21}, "ttl_secs"),
    "vector element beyond a float": ({**GOOD_LINE, "vector": [10**400, 0, 0]}, "too large"),
    "vector as a string": ({**GOOD_LINE, "vector": "abc"}, '"vector" must be an array of numbers'),
    "vector of strings": ({**GOOD_LINE, "vector": ["1", "0", "0"]}, '"vector" must be an array of numbers'),
    "shared as a string": ({**GOOD_LINE, "shared": "false"}, '"shared" must be true or false, not "false"'),
    "shared as a number": ({**GOOD_LINE, "shared": 0}, '"shared" must be true or false, not 0'),
    "unknown scope": ({**GOOD_LINE, "scope": "public"}, '"scope" must be "private" or "shared"'),
    "shared and scope disagree": ({**GOOD_LINE, "scope": "shared", "shared": False}, "disagree"),
    "lone surrogate in the content": ({**GOOD_LINE, "content": "a\ud800"}, "a lone surrogate ('\\ud800')"),
    "lone surrogate in a metadata key": ({**GOOD_LINE, "metadata": {"\udc01": 1}}, "a lone surrogate"),
    "access counter without an id": ({**GOOD_LINE, "access_count": 3}, '"access_count" is restored only with an "id"'),
    "malformed id": ({**GOOD_LINE, "id": "not an id"}, "id"),
    "wrong width": ({**GOOD_LINE, "vector": [1, 0]}, "dimension"),
    "no vector (a dump made without --vectors)": ({"id": ID_OLD, "content": "x", "memory_type": "semantic"},
                                                  'missing "vector" (a dump holds the vectors when made with --vectors)'),
}


@pytest.mark.parametrize("name", REFUSED_LINES)
def test_a_refused_line_is_named_and_a_new_database_is_not_left_behind(tmp_path: Path, name: str) -> None:
    line, reason = REFUSED_LINES[name]
    target = tmp_path / "new.ormel"
    first = json.dumps(GOOD_LINE) + "\n"
    # The width comes from the first line, so that a line of another width can be refused.
    bad = first + json.dumps(line) + "\n" if name == "wrong width" else json.dumps(line) + "\n"
    number = 2 if name == "wrong width" else 1
    result = run("load", str(target), "-", stdin=bad)
    assert_error(result, f"line {number}: ")
    assert reason in result.stderr
    assert sorted(os.listdir(tmp_path)) == []  # neither the database nor anything beside it

    # After a committed batch the database stays, with that batch.
    result = run("load", str(target), "-", "--batch", "1", stdin=first + json.dumps(line) + "\n")
    assert_error(result, "line 2: ")
    assert len(memories_of(target)) == 1


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


@pytest.mark.parametrize("version", [8, 9], ids=["v8", "v9"])
def test_load_creates_a_database_in_the_format_asked_for(tmp_path: Path, version: int) -> None:
    target = tmp_path / "new.ormel"
    result = run("load", str(target), "-", "--format", str(version), stdin=json.dumps(GOOD_LINE) + "\n")
    assert (result.returncode, result.stdout) == (0, "loaded 1 memories\n"), result.stderr
    assert ormel.open(str(target), PASS, read_only=True).format_version == version
    assert json.loads(run("info", str(target), "--json").stdout)["format_version"] == version
    assert re.search(rf"^format version +{version}$", run("info", str(target)).stdout, re.M)
    # Loading more with the same --format, or none, adds to it.
    for again in (["--format", str(version)], []):
        assert run("load", str(target), "-", *again, stdin=json.dumps(GOOD_LINE) + "\n").returncode == 0
    assert len(memories_of(target)) == 3


def test_load_with_another_format_than_the_database_is_a_usage_error(db_path: Path, file_format: int) -> None:
    other = {8: 9, 9: 8}[file_format]
    before = db_path.read_bytes()
    # Refused before any passphrase is asked for (there is no terminal to ask on).
    result = run("load", str(db_path), "-", "--format", str(other), passphrase=None, stdin=json.dumps(GOOD_LINE))
    assert result.returncode == 2
    assert_error(result, f"--format {other} was given, but {db_path} is a format version {file_format} database")
    assert result.stderr.endswith(" (see ormel load --help)\n")
    assert ("ormel compact --format 9" in result.stderr) == (other == 9)
    assert db_path.read_bytes() == before


def test_load_into_an_older_file_takes_the_format_it_is_upgraded_to(tmp_path: Path) -> None:
    path = tmp_path / "v5.ormel"
    legacy_format.write_database(str(path), 5, PASS, 3, [])
    refused = run("load", str(path), "-", "--format", "9", passphrase=None, stdin=json.dumps(GOOD_LINE))
    assert refused.returncode == 2
    assert_error(refused, f"--format 9 was given, but {path} is a format version 5 database; "
                          "`ormel compact --format 9` converts it")
    result = run("load", str(path), "-", "--format", "8", stdin=json.dumps(GOOD_LINE))
    assert result.returncode == 0, result.stderr
    assert ormel.open(str(path), PASS, read_only=True).format_version == 8


def test_compact_to_v9_converts_the_database(tmp_path: Path) -> None:
    path = tmp_path / "old.ormel"
    db = ormel.open(str(path), PASS, dimensions=3, format_version=8)
    db.remember("kept", "semantic", [1.0, 0.0, 0.0])
    db.flush()
    del db
    before = memories_of(path)
    result = run("compact", str(path), "--format", "9")
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("converted to format version 9; reclaimed ")
    assert json.loads(run("info", str(path), "--json").stdout)["format_version"] == 9
    assert memories_of(path) == before
    # Once converted, asking for 9 again only compacts; asking for 8 is refused.
    assert json.loads(run("compact", str(path), "--format", "9", "--json").stdout) == \
        {"reclaimed_bytes": 0, "rewritten": False, "format_version": 9}
    assert_error(run("compact", str(path), "--format", "8"), "cannot convert a version 9 file to version 8")
    assert memories_of(path) == before


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


def test_cache_stats_lists_the_namespaces(db_path: Path) -> None:
    db = ormel.open(str(db_path), PASS)
    db.cache_put("zeta", "k", "a longer value " * 100)
    db.cache_put("gone", "k", "v")
    db.cache_delete("gone", "k")
    db.release()
    listed = json.loads(run("cache-stats", str(db_path), "--namespaces", "--json").stdout)
    assert list(listed) == ["answers", "zeta"] and listed["answers"]["entries"] == 1
    assert listed["zeta"]["bytes"] > listed["answers"]["bytes"]
    lines = run("cache-stats", str(db_path), "--namespaces").stdout.splitlines()
    assert [line.split()[:2] for line in lines] == [["namespace", "entries"], ["answers", "1"], ["zeta", "1"]]


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


class Terminal:
    """The command with a pseudo-terminal of 100 columns as its controlling terminal (where it
    prompts) and as its stderr; stdout is a pipe."""

    def __init__(self, *args: str, env: dict[str, str] | None = None, block_tqdm: bool = False) -> None:
        master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 100, 0, 0))
        # A session leader takes the first terminal it opens as its controlling terminal.
        prelude = "import os, sys; os.close(os.open(os.ttyname(2), os.O_RDWR)); "
        if block_tqdm:  # as if tqdm were not installed
            prelude += "sys.modules['tqdm'] = None; "
        code = prelude + "from ormel.cli import main; sys.exit(main())"
        self.proc = subprocess.Popen([sys.executable, "-c", code, *args], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=slave, env=env, start_new_session=True)
        os.close(slave)
        self.master = master
        self.received = b""

    def read_until(self, text: str | None) -> str:
        """What the terminal received, once it holds `text` (None: once the command closed it)."""
        deadline = time.monotonic() + 120  # only against a hung command
        while text is None or text.encode() not in self.received:
            ready, _, _ = select.select([self.master], [], [], max(0.0, deadline - time.monotonic()))
            assert ready, f"no {text!r} on the terminal: {self.received!r}"
            try:
                chunk = os.read(self.master, 65536)
            except OSError:  # EIO once the command has closed the terminal
                chunk = b""
            if not chunk:
                assert text is None, f"no {text!r} on the terminal: {self.received!r}"
                break
            self.received += chunk
        return self.received.decode(errors="replace")

    def type(self, keys: str) -> None:
        os.write(self.master, keys.encode())

    def finish(self) -> tuple[int, str, str]:
        """The exit status, stdout, and everything the terminal received."""
        terminal = self.read_until(None)
        os.close(self.master)
        out, _ = self.proc.communicate(timeout=120)
        return self.proc.returncode, out.decode(), terminal


def run_with_terminal(*args: str, block_tqdm: bool = False) -> tuple[int, str, str]:
    """Runs the command (passphrase from a variable) on a terminal, without input."""
    argv, env = command(*args)
    return Terminal(*argv[3:], env=env, block_tqdm=block_tqdm).finish()


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


def lines_file(tmp_path: Path, count: int) -> Path:
    path = tmp_path / "lines.jsonl"
    path.write_text("".join(json.dumps({**GOOD_LINE, "content": f"line {i}"}) + "\n" for i in range(count)))
    return path


@pytest.mark.parametrize("args", [["info", "{db}"], ["load", "{new}", "-"]])
def test_without_a_terminal_the_prompt_is_refused_on_one_line(db_path: Path, tmp_path: Path, args: list[str]) -> None:
    new = tmp_path / "new.ormel"
    argv, env = command(*(a.format(db=db_path, new=new) for a in args), passphrase=None)
    # A new session has no controlling terminal; standard input is not one either.
    result = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True, env=env,
                            start_new_session=True, timeout=120)
    assert_error(result, "no terminal to ask for the passphrase on: use --passphrase-env VAR or --passphrase-file F")
    assert result.returncode == 1 and "Warning" not in result.stderr
    assert not new.exists()


def test_ctrl_c_at_the_prompt_ends_its_line_with_status_130(db_path: Path) -> None:
    argv, env = command("info", str(db_path), passphrase=None)
    terminal = Terminal(*argv[3:], env=env)
    prompt = f"Passphrase for {db_path}: "
    terminal.read_until(prompt)
    terminal.type("\x03")
    status, out, received = terminal.finish()
    assert (status, out) == (130, "")
    assert received.endswith(prompt + "\r\n"), received


@pytest.mark.parametrize("repeat, status", [("typed secret", 0), ("typed secret!", 1)])
def test_a_database_created_from_the_prompt_asks_twice_before_any_bar(tmp_path: Path, repeat: str, status: int) -> None:
    target = tmp_path / "new.ormel"
    argv, env = command("load", str(target), str(lines_file(tmp_path, 3)), passphrase=None)
    terminal = Terminal(*argv[3:], env=env)
    terminal.read_until(f"New passphrase for {target}: ")
    terminal.type("typed secret\n")
    terminal.read_until("Repeat: ")
    terminal.type(repeat + "\n")
    code, out, received = terminal.finish()
    assert code == status, received
    assert "load:" not in received.split("Repeat: ")[0]  # nothing drawn before or between the prompts
    if status == 0:
        assert out == "loaded 3 memories\n" and "100%" in received
        assert len(memories_of(target, "typed secret")) == 3
    else:
        assert "ormel: error: the passphrases do not match" in received
        assert not target.exists()


@pytest.mark.parametrize("args, stderr", [
    (["dump", "--vectors"], "ormel: warning: the dump is not encrypted\n"),
    (["info"], ""),
    (["snapshots", "--json"], ""),
])
def test_a_closed_pipe_ends_the_command_quietly(db_path: Path, args: list[str], stderr: str) -> None:
    read_end, write_end = os.pipe()
    os.close(read_end)  # as `| head` that has already gone
    argv, env = command(args[0], str(db_path), *args[1:])
    try:
        result = subprocess.run(argv, stdout=write_end, stderr=subprocess.PIPE, text=True, env=env, timeout=120)
    finally:
        os.close(write_end)
    assert (result.returncode, result.stderr) == (141, stderr)


@pytest.mark.parametrize("args, message", [
    (["--txn", "99"], "no snapshot for transaction 99"),
    (["--txn", "-1"], "no snapshot for transaction -1"),
    (["--txn", str(2**64)], f"no snapshot for transaction {2**64}"),
    (["--time", "5"], "no snapshot at or before 1970-01-01T00:00:05Z"),
    (["--time", "1970-01-01T01:00:05+01:00"], "no snapshot at or before 1970-01-01T00:00:05Z"),
    (["--time", str(-2**70)], f"no snapshot at or before {-2**70} (unix seconds)"),
])
def test_restore_says_which_snapshot_is_missing(db_path: Path, args: list[str], message: str) -> None:
    before = db_path.read_bytes()
    result = run("restore", str(db_path), *args)
    assert_error(result, message)
    assert result.stderr == f"ormel: error: {message}\n"
    assert db_path.read_bytes() == before


def test_restore_by_a_time_as_snapshots_prints_it(db_path: Path) -> None:
    listed = run("snapshots", str(db_path)).stdout.splitlines()[-1].split()
    result = run("restore", str(db_path), "--time", listed[1], "--json")
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout)["txn_id"] == int(listed[0])


@pytest.mark.parametrize("content, message", [
    (b"", "{path} is empty (0 bytes), not an ormel database"),
    (b"hello, world\n", "{path} is not an ormel database"),
    (b"ORME" + bytes(100), "{path} is truncated: 104 bytes, less than an ormel header page"),
    (None, "{path} is a directory, not an ormel database"),
])
def test_a_file_that_is_no_database_is_named(tmp_path: Path, content: bytes | None, message: str) -> None:
    path = tmp_path / "x.ormel"
    if content is None:
        path.mkdir()
    else:
        path.write_bytes(content)
    for args in (["info", str(path)], ["load", str(path), "-"]):
        assert_error(run(*args, stdin=json.dumps(GOOD_LINE)), message.format(path=path))
    assert content is None or path.read_bytes() == content


def test_export_names_the_path_it_cannot_write(db_path: Path, tmp_path: Path) -> None:
    dest = tmp_path / "missing" / "x.ormel"
    assert_error(run("export", str(db_path), str(dest)), f"export failed: No such file or directory: {dest}")


@pytest.mark.parametrize("args", [[], ["info"], ["bogus", "x.ormel"], ["info", "x.ormel", "--bogus"],
                                  ["load", "x.ormel", "--batch", "0"], ["restore", "x.ormel"],
                                  ["restore", "x.ormel", "--time", "soon"], ["load", "x.ormel", "--format", "7"],
                                  ["compact", "x.ormel", "--format", "nine"]])
def test_usage_errors_are_one_line_with_status_2(args: list[str]) -> None:
    result = subprocess.run([sys.executable, "-m", "ormel", *args], capture_output=True, text=True, timeout=120)
    assert result.returncode == 2
    assert re.fullmatch(r"ormel: error: [^\n]+ \(see ormel( \S+)? --help\)\n", result.stderr), result.stderr


@pytest.mark.parametrize("how", ["same path", "symbolic link", "hard link", "standard output"])
def test_dump_refuses_to_write_over_the_database(db_path: Path, tmp_path: Path, how: str) -> None:
    before = db_path.read_bytes()
    if how == "standard output":  # `ormel dump x.ormel >> x.ormel`
        argv, env = command("dump", str(db_path))
        with open(db_path, "ab") as out:
            result = subprocess.run(argv, stdout=out, stderr=subprocess.PIPE, text=True, env=env, timeout=120)
    else:
        output = {"same path": db_path, "symbolic link": tmp_path / "link", "hard link": tmp_path / "hard"}[how]
        if how == "symbolic link":
            output.symlink_to(db_path)
        elif how == "hard link":
            output.hardlink_to(db_path)
        result = run("dump", str(db_path), "-o", str(output))
    assert_error(result, f"refusing to write the dump over the database {db_path}")
    assert db_path.read_bytes() == before


SIZE_LABELS = {"file size", "current state", "history", "reclaimable"}


def test_human_output_is_aligned_with_sizes_and_times(db_path: Path) -> None:
    info = run("info", str(db_path)).stdout.splitlines()
    assert all(line[15] == " " and line[16] != " " or line[:16].strip() in SIZE_LABELS for line in info), info
    sizes = [line for line in info if line[:16].strip() in SIZE_LABELS]
    assert len(sizes) == 4 and len({len(line) for line in sizes}) == 1  # right-aligned in one column
    assert all(re.search(r" \d+(\.\d)? (B|KiB|MiB)$", line) for line in sizes), sizes
    assert re.fullmatch(r"created {9}\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", info[2]), info

    snapshots = run("snapshots", str(db_path)).stdout.splitlines()
    assert snapshots[0].split() == ["txn", "created", "(UTC)", "memories"]
    assert all(re.fullmatch(r" *\d+  \d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ +\d+", row) for row in snapshots[1:]), snapshots
    assert len({len(row) for row in snapshots}) == 1

    built = run("build-index", str(db_path))
    index = ormel.open(str(db_path), PASS, read_only=True).stats()["index"]
    assert built.stdout == (f"index built: {index['vectors']} vectors, {index['partitions']} partitions, "
                            f"{index['subspaces']} subspaces\n")
    stats = run("cache-stats", str(db_path)).stdout.splitlines()
    assert stats[0].split() == ["entries", "1"] and stats[4].split() == ["hit", "rate", "0.0%"]


def test_compact_leaves_the_file_alone_when_nothing_comes_back(db_path: Path, file_format: int) -> None:
    first = json.loads(run("compact", str(db_path), "--json").stdout)
    assert first["rewritten"] is True and first["reclaimed_bytes"] > 0
    before = (db_path.stat().st_ino, db_path.read_bytes())
    result = run("compact", str(db_path))
    assert (result.returncode, result.stdout) == (0, "nothing to give back: the file was left as it is\n")
    assert json.loads(run("compact", str(db_path), "--json").stdout) == \
        {"reclaimed_bytes": 0, "rewritten": False, "format_version": file_format}
    assert (db_path.stat().st_ino, db_path.read_bytes()) == before
    # Asked to drop the history, it rewrites the file whatever comes back.
    dropped = json.loads(run("compact", str(db_path), "--no-history", "--json").stdout)
    assert dropped["rewritten"] is True and db_path.stat().st_ino != before[0]
    assert len(memories_of(db_path)) == 6
