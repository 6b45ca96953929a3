"""The `ormel` command: inspect, check, repair and move encrypted databases.

Every subcommand takes the database path first. The passphrase is never an argument (other
users would see it in the process list): it is asked for on the terminal without echo (twice
when the command creates the database), or read from an environment variable
(--passphrase-env VAR) or a file (--passphrase-file F, first line).
Errors are one line on stderr: exit status 1 when the database or the system refuses, 2 for a
usage mistake. Ctrl-C ends the command with status 130; a closed output pipe ends it quietly
with status 141, as for a tool stopped by SIGPIPE. Long work (verify, compact, build-index,
dump, load) shows a progress bar on stderr when it is a terminal and tqdm is installed (the
`progress` extra); otherwise nothing is added to stderr.
"""

from __future__ import annotations

import argparse
import contextlib
import getpass
import importlib
import io
import json
import math
import os
import re
import signal
import stat
import sys
import warnings
from collections.abc import Callable, Iterable, Iterator, Sequence
from datetime import datetime, timezone
from typing import IO, Any, NoReturn

import ormel

EXIT_ERROR = 1  # the database or the system refused
EXIT_USAGE = 2  # bad arguments
EXIT_INTERRUPTED = 128 + signal.SIGINT  # what a shell reports for a command stopped by Ctrl-C
EXIT_BROKEN_PIPE = 128 + signal.SIGPIPE  # ... and for one stopped by a closed pipe

# The file's plaintext header page: its size and the magic bytes it opens with.
HEADER_PAGE_BYTES = 8192
MAGIC = b"ORME"
# The formats `--format` chooses from, and what a file of an older version becomes at its first
# write (which a load is).
FORMATS = (8, 9)
UPGRADED_FORMAT = 8

# A memory's fields as get() returns them; `load` restores a line with an id through these.
MEMORY_FIELDS = ("id", "content", "memory_type", "vector", "metadata", "agent_id", "session_id", "scope",
                 "created_at", "accessed_at", "access_count", "importance", "ttl_secs")
# Fields only a restore sets: a line without an id is a new memory, which starts them afresh.
RESTORED_FIELDS = ("created_at", "accessed_at", "access_count")
# Fields a line without an id passes to remember_many besides content, type and vector.
_REMEMBER_FIELDS = ("agent_id", "importance", "session_id", "ttl_secs", "metadata")

NO_TERMINAL = "no terminal to ask for the passphrase on: use --passphrase-env VAR or --passphrase-file F"


class CommandError(Exception):
    """An error to report on one line, without a traceback."""


class UsageError(CommandError):
    """A CommandError that is a mistake in the command's arguments (exit status 2)."""


# Passphrases ------------------------------------------------------------------------------


def _ask(prompt: str) -> str:
    """A line typed on the controlling terminal without echo. Refuses, rather than read standard
    input with echo, when there is no terminal; after Ctrl-C the prompt's line is ended."""
    try:
        tty = open("/dev/tty", "w", encoding="utf-8")
    except OSError:
        raise CommandError(NO_TERMINAL) from None
    with tty, warnings.catch_warnings():
        # getpass warns, then echoes, when it cannot turn echo off.
        warnings.simplefilter("error", getpass.GetPassWarning)
        try:
            return getpass.getpass(prompt, stream=tty)
        except getpass.GetPassWarning:
            raise CommandError(NO_TERMINAL) from None
        except (KeyboardInterrupt, EOFError) as e:
            tty.write("\n")
            if isinstance(e, EOFError):
                raise CommandError("no passphrase given") from None
            raise


def _read_secret(env: str | None, path: str | None, prompt: str, confirm: bool = False) -> str:
    if env is not None:
        value = os.environ.get(env)
        if value is None:
            raise CommandError(f"environment variable {env} is not set")
        return value
    if path is not None:
        try:
            with open(path, encoding="utf-8") as f:
                return f.readline().rstrip("\r\n")
        except OSError as e:
            raise CommandError(f"cannot read passphrase file: {e.strerror}: {path}") from None
    first = _ask(prompt)
    if confirm and _ask("Repeat: ") != first:
        raise CommandError("the passphrases do not match")
    return first


def _passphrase(args: argparse.Namespace, creating: bool = False) -> str:
    """The database's passphrase; one that creates the database is asked for twice."""
    prompt = f"New passphrase for {args.path}: " if creating else f"Passphrase for {args.path}: "
    return _read_secret(args.passphrase_env, args.passphrase_file, prompt, confirm=creating)


# Opening --------------------------------------------------------------------------------


def _database_header(path: str) -> int:
    """Checks that `path` holds a database before a passphrase is asked for, and returns the
    format version its plaintext header records (bytes 4-5, little-endian)."""
    try:
        with open(path, "rb") as f:
            head = f.read(HEADER_PAGE_BYTES)
    except FileNotFoundError:
        raise CommandError(f"file not found: {path}") from None
    except IsADirectoryError:
        raise CommandError(f"{path} is a directory, not an ormel database") from None
    except OSError as e:
        raise CommandError(f"cannot read {path}: {e.strerror}") from None
    if not head:
        raise CommandError(f"{path} is empty (0 bytes), not an ormel database")
    if head[:4] != MAGIC:
        raise CommandError(f"{path} is not an ormel database")
    if len(head) < HEADER_PAGE_BYTES:
        raise CommandError(f"{path} is truncated: {len(head)} bytes, less than an ormel header page")
    return int.from_bytes(head[4:6], "little")


def _locked(path: str) -> str:
    # Read-only subcommands follow without a lock: only a writing subcommand finds one.
    return (f"{path} is locked: another handle has it open (a writer, or plain read-only readers); "
            "close or release() that handle, then retry")


def _open(args: argparse.Namespace, read_only: bool, secret: str | None = None,
          dimensions: int | None = None, format_version: int | None = None) -> ormel.Ormel:
    """Opens the database at args.path; with `dimensions`, creates it (in `format_version`)."""
    if dimensions is None:
        _database_header(args.path)
    if secret is None:
        secret = _passphrase(args)
    try:
        # Read-only subcommands follow: they open beside an application that holds the file.
        return ormel.open(args.path, secret, dimensions=dimensions, read_only=read_only, follow=read_only,
                          format_version=format_version)
    except ormel.Locked:
        raise CommandError(_locked(args.path)) from None


# Output ---------------------------------------------------------------------------------

Progress = Callable[[int, int | None], None]


@contextlib.contextmanager
def _progress(desc: str, unit: str = "it", counts: bool = True) -> Iterator[Progress | None]:
    """A callable progress(done, total) drawing a bar on stderr, or None when stderr is not a
    terminal or tqdm is not installed. Without `counts` the bar shows only the fraction done
    (for work in abstract units); a None total draws a bare counter."""
    if not sys.stderr.isatty():
        yield None
        return
    try:
        from tqdm import tqdm
    except ImportError:
        yield None
        return
    bar_format = None if counts else "{desc}: {percentage:3.0f}%|{bar}| [{elapsed}<{remaining}]"
    with tqdm(desc=desc, unit=unit, unit_scale=unit == "B", file=sys.stderr, bar_format=bar_format) as bar:

        def report(done: int, total: int | None) -> None:
            if total != bar.total:
                bar.total = total
                bar.refresh()
            bar.update(done - bar.n)

        yield report


def _emit(args: argparse.Namespace, value: Any, lines: Callable[[], Iterable[str]]) -> None:
    if args.json:
        print(json.dumps(value, indent=2, sort_keys=False))
    else:
        for line in lines():
            print(line)


def _human_size(n: int) -> str:
    if n < 1024:
        return f"{n} B"
    size = float(n)
    for unit in ("KiB", "MiB", "GiB", "TiB"):
        size /= 1024
        if size < 1024:
            break
    return f"{size:.1f} {unit}"


def _iso(unix_secs: int) -> str:
    """A time as ISO 8601 in UTC; a value no calendar holds stays in unix seconds."""
    try:
        return datetime.fromtimestamp(unix_secs, timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    except (OverflowError, OSError, ValueError):
        return f"{unix_secs} (unix seconds)"


def _pairs(rows: Iterable[tuple[str, str]]) -> Iterator[str]:
    """Label and value lines, the values in one column."""
    for label, value in rows:
        yield f"{label:<16}{value}"


def _table(header: Sequence[str], rows: Sequence[Sequence[str]], right: Sequence[bool]) -> Iterator[str]:
    """A header line and one line per row, each column as wide as its widest cell."""
    widths = [max(len(cell) for cell in column) for column in zip(header, *rows)]
    for row in (header, *rows):
        cells = (cell.rjust(w) if r else cell.ljust(w) for cell, w, r in zip(row, widths, right))
        yield "  ".join(cells).rstrip()


def _index_text(index: ormel.IndexDict | None) -> str:
    if index is None:
        return "none"
    return f"{index['vectors']} vectors, {index['partitions']} partitions, {index['subspaces']} subspaces"


def _unix_time(text: str) -> int:
    """A --time argument: unix seconds, or an ISO 8601 time (UTC when it names no zone)."""
    with contextlib.suppress(ValueError):
        return int(text)
    try:
        moment = datetime.fromisoformat(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"neither unix seconds nor an ISO 8601 time: {text!r}") from None
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=timezone.utc)
    return math.floor(moment.timestamp())


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text}")
    return value


# Subcommands ----------------------------------------------------------------------------


def cmd_info(args: argparse.Namespace) -> None:
    db = _open(args, read_only=True)
    version = db.format_version
    stats = db.stats()
    space = db.space()
    snaps = db.snapshots()
    info = {"path": args.path, "format_version": version, **stats, "space": space,
            "snapshots": len(snaps), "latest_snapshot": snaps[-1] if snaps else None}

    def lines() -> Iterator[str]:
        latest = f" (latest: txn {snaps[-1]['txn_id']}, {_iso(snaps[-1]['created_at'])})" if snaps else ""
        yield from _pairs([
            ("path", args.path),
            ("format version", str(version)),
            ("created", _iso(stats["created_at"])),
            ("memories", f"{stats['memories']} live, {stats['deleted']} deleted"),
            ("dimensions", str(stats["dimensions"])),
            ("agents", ", ".join(stats["agents"]) or "-"),
            ("index", _index_text(stats["index"])),
            ("snapshots", f"{len(snaps)}{latest}"),
        ])
        sizes = [("file size", space["file_bytes"]), ("current state", space["current_bytes"]),
                 ("history", space["history_bytes"]), ("reclaimable", space["reclaimable_bytes"])]
        width = max(len(_human_size(n)) for _, n in sizes)
        yield from _pairs((label, _human_size(n).rjust(width)) for label, n in sizes)

    _emit(args, info, lines)


def cmd_verify(args: argparse.Namespace) -> int:
    db = _open(args, read_only=True)
    if not args.all:
        with _progress("verify", "memories") as progress:
            checked = db.verify(progress=progress)
        # verify() counts the live memories it read back (every page of each authenticated).
        _emit(args, {"ok": True, "checked": checked}, lambda: iter([f"ok: {checked} memories checked"]))
        return 0
    with _progress("verify", "parts") as progress:
        report = db.verify(all_errors=True, progress=progress)
    damaged = [(d["id"], d["error"]) for d in report["memories"]] + \
        [(d["structure"], d["error"]) for d in report["structures"]]

    def lines() -> Iterator[str]:
        yield f"checked {report['checked']}, damaged {len(damaged)}"
        for name, error in damaged:
            yield f"{name}: {error}"

    _emit(args, report, lines)
    return EXIT_ERROR if damaged else 0


def cmd_snapshots(args: argparse.Namespace) -> None:
    snaps = _open(args, read_only=True).snapshots()
    rows = [(str(s["txn_id"]), _iso(s["created_at"]), str(s["memory_count"])) for s in snaps]
    _emit(args, snaps, lambda: _table(("txn", "created (UTC)", "memories"), rows, right=(True, False, True)))


# The module takes transaction ids as unsigned and times as signed 64-bit integers.
_TXN_IDS = range(2**64)
_TIMES = range(-(2**63), 2**63)


def cmd_restore(args: argparse.Namespace) -> None:
    db = _open(args, read_only=False)
    missing = (f"no snapshot for transaction {args.txn}" if args.txn is not None
               else f"no snapshot at or before {_iso(args.time)}")
    try:
        if args.txn is None:
            # No snapshot lies outside the range, so a time beyond it selects as its end does.
            snap = db.restore_to_time(min(max(args.time, _TIMES[0]), _TIMES[-1]))
        elif args.txn in _TXN_IDS:
            snap = db.restore_to(args.txn)
        else:
            raise CommandError(missing)
    except ormel.NotFound:
        raise CommandError(missing) from None
    _emit(args, snap, lambda: iter([f"restored txn {snap['txn_id']} ({snap['memory_count']} memories)"]))


def cmd_export(args: argparse.Namespace) -> None:
    # An export flushes first, which takes a read-write handle.
    db = _open(args, read_only=False)
    try:
        db.export_encrypted(args.dest)
    except RuntimeError as e:
        # The copy's own failures ("export failed: <reason>") do not name the copy.
        if str(e).startswith("export failed: "):
            raise CommandError(f"{e}: {args.dest}") from None
        raise
    print(f"exported to {args.dest}")


def cmd_compact(args: argparse.Namespace) -> None:
    db = _open(args, read_only=False)
    # A file of an older format version is converted by this flush; compaction then gives
    # back the pages the conversion left behind.
    db.flush()
    converting = args.format is not None and args.format != db.format_version
    if not converting and not args.no_history and db.space()["reclaimable_bytes"] == 0:
        _emit(args, {"reclaimed_bytes": 0, "rewritten": False, "format_version": db.format_version},
              lambda: iter(["nothing to give back: the file was left as it is"]))
        return
    with _progress("compact", "pages") as progress:
        reclaimed = db.compact(keep_history=not args.no_history, progress=progress, format_version=args.format)
    converted = f"converted to format version {db.format_version}; " if converting else ""
    _emit(args, {"reclaimed_bytes": reclaimed, "rewritten": True, "format_version": db.format_version},
          lambda: iter([f"{converted}reclaimed {_human_size(reclaimed)} ({reclaimed} bytes)"]))


def cmd_passwd(args: argparse.Namespace) -> None:
    db = _open(args, read_only=False)
    new = _read_secret(args.new_passphrase_env, args.new_passphrase_file, "New passphrase: ", confirm=True)
    db.change_passphrase(new)
    print("passphrase changed")


def _refuse_writing_onto(database: str, output: str | None) -> None:
    """Refuses an output that is the database itself, by any name (a symlink, a hard link, or
    standard output redirected to it), before anything is opened."""
    try:
        target = os.stat(output) if output is not None else os.fstat(sys.stdout.fileno())
        same = os.path.samestat(target, os.stat(database))
    except (OSError, ValueError, io.UnsupportedOperation):
        return  # a new file, no standard output to write to, or no database (reported by the open)
    if same:
        raise CommandError(f"refusing to write the dump over the database {database}: "
                           f"{output if output is not None else 'standard output'} is that file")


def cmd_dump(args: argparse.Namespace) -> None:
    _refuse_writing_onto(args.path, args.output)
    db = _open(args, read_only=True)
    print("ormel: warning: the dump is not encrypted", file=sys.stderr)
    out: IO[str] = open(args.output, "w", encoding="utf-8") if args.output else sys.stdout
    try:
        entries = db.ids()
        with _progress("dump", "memories") as progress:
            for done, entry in enumerate(entries, start=1):
                record = dict(db.get(entry["id"]))
                if not args.vectors:
                    del record["vector"]
                out.write(json.dumps(record, ensure_ascii=False) + "\n")
                if progress:
                    progress(done, len(entries))
    finally:
        if out is not sys.stdout:
            out.close()


# load -----------------------------------------------------------------------------------


def _is_number(value: object) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _check_fields(record: dict[str, Any]) -> str | None:
    """What is wrong with a parsed line's fields, or None. The database checks the values;
    this catches what JSON would otherwise turn silently into something else."""
    for field in ("content", "memory_type"):
        if field not in record:
            return f"missing \"{field}\""
    if "vector" not in record:
        return "missing \"vector\" (a dump holds the vectors when made with --vectors)"
    vector = record["vector"]
    if not isinstance(vector, list) or not all(_is_number(x) for x in vector):
        return "\"vector\" must be an array of numbers"
    if "shared" in record and not isinstance(record["shared"], bool):
        return f"\"shared\" must be true or false, not {json.dumps(record['shared'])}"
    if record.get("scope") not in (None, "private", "shared"):
        return f"\"scope\" must be \"private\" or \"shared\", not {json.dumps(record['scope'])}"
    if "shared" in record and "scope" in record and record["shared"] != (record["scope"] == "shared"):
        return "\"shared\" and \"scope\" disagree"
    restored = [f for f in RESTORED_FIELDS if f in record]
    if "id" not in record and restored:
        return f"\"{restored[0]}\" is restored only with an \"id\" (a line without one is a new memory)"
    try:
        json.dumps(record, ensure_ascii=False).encode("utf-8")
    except UnicodeEncodeError as e:
        return f"a lone surrogate ({e.object[e.start]!a}) is not text"
    return None


def _parse_line(raw: bytes, number: int) -> dict[str, Any]:
    try:
        record = json.loads(raw.decode("utf-8"))
    except UnicodeDecodeError:
        raise CommandError(f"line {number}: not UTF-8 text") from None
    except json.JSONDecodeError as e:
        raise CommandError(f"line {number}: not JSON: {e.msg}") from None
    except RecursionError:
        raise CommandError(f"line {number}: nested too deeply") from None
    if not isinstance(record, dict):
        raise CommandError(f"line {number}: expected a JSON object")
    problem = _check_fields(record)
    if problem is not None:
        raise CommandError(f"line {number}: {problem}")
    if "shared" in record:
        record["scope"] = "shared" if record.pop("shared") else "private"
    return record


Line = tuple[int, dict[str, Any]]  # a line's number and its memory


def _records(source: IO[bytes], progress: Progress | None) -> Iterator[Line]:
    """The input's memories, skipping blank lines; reports the bytes read."""
    total = _size(source) if progress else None
    read = 0
    for number, raw in enumerate(source, start=1):
        read += len(raw)
        if progress:
            progress(read, total)
        if raw.strip():
            yield number, _parse_line(raw, number)


def _batches(lines: Iterable[Line], size: int) -> Iterator[list[Line]]:
    """Batches of at most `size` lines. A batch also ends where lines with an id meet lines
    without one: the two are stored by different calls, and a batch is all or nothing."""
    batch: list[Line] = []
    for line in lines:
        if batch and ("id" in batch[-1][1]) != ("id" in line[1]):
            yield batch
            batch = []
        batch.append(line)
        if len(batch) == size:
            yield batch
            batch = []
    if batch:
        yield batch


def _stage_new(db: ormel.Ormel, records: list[dict[str, Any]]) -> None:
    """Stages lines without an id as new memories (fresh ids, created now)."""
    columns: dict[str, Any] = {f: [r.get(f) for r in records] for f in _REMEMBER_FIELDS}
    columns["shared"] = [r.get("scope") == "shared" for r in records]
    db.remember_many([r["content"] for r in records], [r["memory_type"] for r in records],
                     [r["vector"] for r in records], **columns)


def _stage_exact(db: ormel.Ormel, records: list[dict[str, Any]]) -> None:
    """Stages lines with an id exactly as given: a dump's memories come back field for field."""
    db.load_memories([{f: r[f] for f in MEMORY_FIELDS if r.get(f) is not None} for r in records])


def _stage_batch(db: ormel.Ormel, batch: list[Line]) -> None:
    records = [r for _, r in batch]
    try:
        (_stage_exact if "id" in records[0] else _stage_new)(db, records)
    except (ValueError, TypeError, ArithmeticError, RuntimeError) as e:
        # Both calls name the refused item: "<call>() item <i>: <reason>".
        found = re.match(r"(?:remember_many|load_memories)\(\) item (\d+): (.*)", str(e), re.S)
        if found and int(found[1]) < len(batch):
            raise CommandError(f"line {batch[int(found[1])][0]}: {found[2]} (nothing of this batch was kept)") from None
        raise CommandError(f"lines {batch[0][0]}-{batch[-1][0]}: {e} (nothing of this batch was kept)") from None


def _size(f: IO[bytes]) -> int | None:
    """The size of a regular file; None for a pipe or a terminal."""
    info = os.fstat(f.fileno())
    return info.st_size if stat.S_ISREG(info.st_mode) else None


def _side_files(path: str) -> list[str]:
    """Files the database may make beside itself (a compaction's new file)."""
    return [path + ".compacting"]


class _Load:
    """One `load`: opens (or creates) the database at the first memory, stages and commits
    batch after batch, and removes a database it created when nothing was kept in it."""

    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args
        self.creating = not os.path.exists(args.path)
        if not self.creating:
            _check_format(args.path, args.format, _database_header(args.path))
        self.found_beside = [p for p in _side_files(args.path) if os.path.lexists(p)]
        self.db: ormel.Ormel | None = None
        self.loaded = 0

    def run(self, lines: Iterable[Line], secret: str) -> None:
        for batch in _batches(lines, self.args.batch):
            if self.db is None:
                self.db = self._open(batch[0], secret)
            _stage_batch(self.db, batch)
            self.db.flush()
            self.loaded += len(batch)

    def _open(self, first: Line, secret: str) -> ormel.Ormel:
        """The database; a new one takes its width from the first memory's vector."""
        number, record = first
        if not self.creating:
            return _open(self.args, read_only=False, secret=secret)
        if not record["vector"]:
            raise CommandError(f"line {number}: an empty vector gives the new database no width")
        return _open(self.args, read_only=False, secret=secret, dimensions=len(record["vector"]),
                     format_version=self.args.format)

    def discard_if_empty(self) -> None:
        """After a failure: a database this load created and kept nothing in is removed, with
        whatever appeared beside it. Nothing of a failed batch is staged, so release() commits
        nothing new."""
        if not self.creating or self.db is None:
            return
        with contextlib.suppress(RuntimeError):  # then the file stays, as after any failed load
            if self.db.ids():
                return
            self.db.release()
            for path in [self.args.path, *_side_files(self.args.path)]:
                if path not in self.found_beside:
                    with contextlib.suppress(FileNotFoundError):
                        os.remove(path)


def _check_format(path: str, asked: int | None, version: int) -> None:
    """Refuses a load whose --format is not the format the existing database has. A file of an
    older version is upgraded by the load's first write, so the version it becomes is accepted."""
    if asked is None or asked == max(version, UPGRADED_FORMAT):
        return
    how = f"; `ormel compact --format {asked}` converts it" if asked > version else ""
    raise UsageError(f"--format {asked} was given, but {path} is a format version {version} database{how}")


def _open_input(name: str) -> IO[bytes]:
    if name == "-":
        return sys.stdin.buffer
    try:
        return open(name, "rb")
    except OSError as e:
        raise CommandError(f"cannot read {name}: {e.strerror}") from None


def cmd_load(args: argparse.Namespace) -> None:
    load = _Load(args)
    # Read as bytes, so that the progress bar counts the bytes of the input read.
    with _open_input(args.input) as source:
        # Asked before the bar is drawn, so the bar does not split the prompt.
        secret = _passphrase(args, creating=load.creating)
        try:
            with _progress("load", "B") as progress:
                load.run(_records(source, progress), secret)
        except BaseException:
            load.discard_if_empty()
            raise
    print(f"loaded {load.loaded} memories")


def cmd_cache_stats(args: argparse.Namespace) -> None:
    db = _open(args, read_only=True)
    if args.namespaces:
        rows = [(ns, db.cache_stats(ns)) for ns in db.cache_namespaces()]
        _emit(args, {ns: {"entries": st["entries"], "bytes": st["bytes"]} for ns, st in rows},
              lambda: _table(("namespace", "entries", "size"),
                             [(ns, str(st["entries"]), _human_size(st["bytes"])) for ns, st in rows],
                             (False, True, True)))
        return
    stats = db.cache_stats(args.namespace)
    _emit(args, stats, lambda: _pairs([
        ("entries", str(stats["entries"])),
        ("size", _human_size(stats["bytes"])),
        ("hits", str(stats["hits"])),
        ("misses", str(stats["misses"])),
        ("hit rate", f"{stats['hit_rate']:.1%}"),
        ("evictions", str(stats["evictions"])),
    ]))


def cmd_build_index(args: argparse.Namespace) -> None:
    db = _open(args, read_only=False)
    with _progress("build-index", counts=False) as progress:
        db.build_index(progress=progress)
    db.flush()
    index = db.stats()["index"]
    _emit(args, index, lambda: iter([f"index built: {_index_text(index)}"]))


def cmd_drop_index(args: argparse.Namespace) -> None:
    db = _open(args, read_only=False)
    db.drop_index()
    db.flush()
    print("index dropped")


def cmd_search(args: argparse.Namespace) -> None:
    db = _open(args, read_only=True)
    if args.embedder:  # hybrid: module:callable maps the text to its query vector
        module, _, name = args.embedder.partition(":")
        try:
            embed = getattr(importlib.import_module(module), name)
        except (ImportError, AttributeError, ValueError) as e:
            raise CommandError(f"cannot load embedder {args.embedder!r}: {e}") from None
        found = db.recall(list(embed(args.text)), args.top_k, agent_id=args.agent, track_access=False, text=args.text)
        hits = [({k: v for k, v in r.items() if k not in ("score", "similarity", "bm25")}, r["score"]) for r in found]
    else:
        hits = db.search_text(args.text, args.top_k, agent_id=args.agent)
    rows = [{**{k: v for k, v in m.items() if k != "vector"}, "score": score} for m, score in hits]
    _emit(args, rows, lambda: (f"{r['score']:9.4f}  {r['id']}  {r['content'][:100]!r}" for r in rows))


# Parser ---------------------------------------------------------------------------------


class _Parser(argparse.ArgumentParser):
    """Reports a usage mistake on one line like every other error, with status 2."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"ormel: error: {message} (see {self.prog} --help)\n")


def _parser() -> argparse.ArgumentParser:
    common = _Parser(add_help=False)
    common.add_argument("path", help="the .ormel database file")
    secret = common.add_mutually_exclusive_group()
    secret.add_argument("--passphrase-env", metavar="VAR", help="read the passphrase from this environment variable")
    secret.add_argument("--passphrase-file", metavar="F", help="read the passphrase from the first line of this file")
    as_json = _Parser(add_help=False)
    as_json.add_argument("--json", action="store_true", help="print JSON for scripts")

    parser = _Parser(prog="ormel", description=__doc__.split("\n\n")[0])
    parser.add_argument("--version", action="version", version=f"ormel {ormel.__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="command")

    def add(name: str, func: Callable[[argparse.Namespace], int | None], help: str, *parents: _Parser) -> _Parser:
        p = sub.add_parser(name, help=help, description=help, parents=[common, *parents])
        p.set_defaults(func=func)
        return p

    add("info", cmd_info, "format version, memories, dimensions, agents, index, snapshots and space", as_json)
    p = add("verify", cmd_verify, "authenticate every page and decode every memory", as_json)
    p.add_argument("--all", action="store_true", help="report every damaged memory instead of stopping at the first")
    add("snapshots", cmd_snapshots, "list the retained snapshots", as_json)
    p = add("restore", cmd_restore, "restore a snapshot, by transaction id or by time", as_json)
    which = p.add_mutually_exclusive_group(required=True)
    which.add_argument("--txn", type=int, help="transaction id of the snapshot")
    which.add_argument("--time", type=_unix_time, metavar="TIME",
                       help="the newest snapshot at or before this time: unix seconds, or ISO 8601 "
                            "(UTC unless it names a zone), as `snapshots` prints it")
    p = add("export", cmd_export, "write an encrypted copy of the database")
    p.add_argument("dest", help="the copy's path")
    p = add("compact", cmd_compact, "rewrite the file so it holds only what is still reachable "
                                     "(left as it is when there is nothing to give back)", as_json)
    p.add_argument("--no-history", action="store_true", help="keep only the current state (one snapshot)")
    p.add_argument("--format", type=int, choices=FORMATS,
                   help="write the new file in this format version: 9 converts a version 8 file (never back)")
    p = add("passwd", cmd_passwd, "change the passphrase (asked twice)")
    new = p.add_mutually_exclusive_group()
    new.add_argument("--new-passphrase-env", metavar="VAR", help="read the new passphrase from this variable")
    new.add_argument("--new-passphrase-file", metavar="F", help="read the new passphrase from this file")
    p = add("dump", cmd_dump, "write the memories as JSON lines (not encrypted)")
    p.add_argument("-o", "--output", help="file to write (default: standard output)")
    p.add_argument("--vectors", action="store_true", help="include each memory's vector (needed to load the dump)")
    p = add("load", cmd_load, "add memories from JSON lines, in batches (creates the database if needed); "
                              "a line with an id is restored exactly, one without is a new memory")
    p.add_argument("input", nargs="?", default="-", help="JSON lines file (default: standard input)")
    p.add_argument("--batch", type=_positive, default=1000, help="memories per transaction (default 1000)")
    p.add_argument("--format", type=int, choices=FORMATS,
                   help="format version of a new database (default 8); an existing one must have it")
    p = add("cache-stats", cmd_cache_stats, "result-cache statistics", as_json)
    p.add_argument("--namespace", help="one namespace instead of all")
    p.add_argument("--namespaces", action="store_true", help="list the namespaces, with their entries and size")
    add("build-index", cmd_build_index, "build and save the IVF+PQ index", as_json)
    add("drop-index", cmd_drop_index, "drop the index")
    p = add("search", cmd_search, "best keyword (BM25) matches of a text, or hybrid with --embedder", as_json)
    p.add_argument("text", help="the words to look for")
    p.add_argument("-k", "--top-k", type=int, default=10, help="how many matches (default 10)")
    p.add_argument("--agent", help="only what this agent sees (its own and shared memories)")
    p.add_argument("--embedder", metavar="MODULE:CALLABLE", help="hybrid recall, embedding the text with this")
    return parser


def _silence_stdout() -> None:
    """Points standard output at /dev/null, so the interpreter's last flush of what is still
    buffered for a closed pipe fails no more."""
    with contextlib.suppress(OSError, ValueError, io.UnsupportedOperation):
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)


def _error_text(e: BaseException) -> str:
    if isinstance(e, OSError) and e.strerror:
        return f"{e.strerror}: {e.filename}" if e.filename else e.strerror
    return str(e) or type(e).__name__


def main(argv: Sequence[str] | None = None) -> int:
    try:
        args = _parser().parse_args(argv)
    except SystemExit as e:  # --help, --version, or a usage error already reported
        return int(e.code or 0)
    try:
        status = args.func(args)
        sys.stdout.flush()  # a closed pipe shows here, not at the interpreter's exit
    except BrokenPipeError:
        _silence_stdout()
        return EXIT_BROKEN_PIPE
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except UsageError as e:
        # Reported as the parser reports a usage mistake.
        print(f"ormel: error: {e} (see ormel {args.command} --help)", file=sys.stderr)
        return EXIT_USAGE
    except CommandError as e:
        print(f"ormel: error: {e}", file=sys.stderr)
        return EXIT_ERROR
    except (RuntimeError, ValueError, TypeError, ArithmeticError, OSError) as e:
        print(f"ormel: error: {_error_text(e)}", file=sys.stderr)
        return EXIT_ERROR
    return int(status or 0)
