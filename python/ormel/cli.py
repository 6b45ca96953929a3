"""The `ormel` command: inspect, check, repair and move encrypted databases.

Every subcommand takes the database path first. The passphrase is never an argument (other
users would see it in the process list): it is asked for without echo, or read from an
environment variable (--passphrase-env VAR) or a file (--passphrase-file F, first line).
Errors are one line on stderr and a non-zero exit status. Long work (verify, compact,
build-index, dump, load) shows a progress bar on stderr when it is a terminal and tqdm is
installed (the `progress` extra); otherwise nothing is added to stderr.
"""

from __future__ import annotations

import argparse
import contextlib
import getpass
import importlib
import json
import os
import re
import stat
import sys
from collections.abc import Callable, Iterator, Sequence
from typing import IO, Any

import ormel

# Exit statuses: 1 for an error reported by the database or the system, 2 for bad usage.
EXIT_ERROR = 1
EXIT_USAGE = 2

# Fields a dumped line carries besides the vector; `load` reads the same names.
_LOAD_FIELDS = ("agent_id", "importance", "session_id", "ttl_secs", "metadata")


class CommandError(Exception):
    """An error to report on one line, without a traceback."""


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
    first = getpass.getpass(prompt)
    if confirm and getpass.getpass("Repeat: ") != first:
        raise CommandError("the passphrases do not match")
    return first


def _passphrase(args: argparse.Namespace) -> str:
    return _read_secret(args.passphrase_env, args.passphrase_file, f"Passphrase for {args.path}: ")


def _open(args: argparse.Namespace, read_only: bool, dimensions: int | None = None) -> ormel.Ormel:
    if dimensions is None and not os.path.exists(args.path):
        raise CommandError(f"file not found: {args.path}")
    return ormel.open(args.path, _passphrase(args), dimensions=dimensions, read_only=read_only)


def _format_version(path: str) -> int:
    """The format version recorded in the file's plaintext header (bytes 4-5, little-endian)."""
    with open(path, "rb") as f:
        head = f.read(6)
    return int.from_bytes(head[4:6], "little")


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


def _emit(args: argparse.Namespace, value: Any, lines: Callable[[], Iterator[str]]) -> None:
    if args.json:
        print(json.dumps(value, indent=2, sort_keys=False))
    else:
        for line in lines():
            print(line)


# Subcommands ----------------------------------------------------------------------------


def cmd_info(args: argparse.Namespace) -> None:
    version = _format_version(args.path) if os.path.exists(args.path) else None
    db = _open(args, read_only=True)
    stats = db.stats()
    info = {"path": args.path, "format_version": version, **stats, "space": db.space()}
    snaps = db.snapshots()
    info["snapshots"] = len(snaps)
    info["latest_snapshot"] = snaps[-1] if snaps else None

    def lines() -> Iterator[str]:
        yield f"path            {args.path}"
        yield f"format version  {version}"
        yield f"memories        {stats['memories']} live, {stats['deleted']} deleted"
        yield f"dimensions      {stats['dimensions']}"
        yield f"agents          {', '.join(stats['agents']) or '-'}"
        index = stats["index"]
        yield ("index           none" if index is None else
               f"index           {index['vectors']} vectors, {index['partitions']} partitions, "
               f"{index['subspaces']} subspaces")
        yield f"snapshots       {len(snaps)}" + (f" (latest txn {snaps[-1]['txn_id']})" if snaps else "")
        for key, value in info["space"].items():
            yield f"space.{key:<10} {value}"

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
    _emit(args, snaps, lambda: (f"txn {s['txn_id']:>8}  created_at {s['created_at']}  "
                                f"memories {s['memory_count']}" for s in snaps))


def cmd_restore(args: argparse.Namespace) -> None:
    db = _open(args, read_only=False)
    snap = db.restore_to(args.txn) if args.txn is not None else db.restore_to_time(args.time)
    _emit(args, snap, lambda: iter([f"restored txn {snap['txn_id']} ({snap['memory_count']} memories)"]))


def cmd_export(args: argparse.Namespace) -> None:
    # An export flushes first, which takes a read-write handle.
    _open(args, read_only=False).export_encrypted(args.dest)
    print(f"exported to {args.dest}")


def cmd_compact(args: argparse.Namespace) -> None:
    db = _open(args, read_only=False)
    with _progress("compact", "pages") as progress:
        reclaimed = db.compact(keep_history=not args.no_history, progress=progress)
    _emit(args, {"reclaimed_bytes": reclaimed}, lambda: iter([f"reclaimed {reclaimed} bytes"]))


def cmd_passwd(args: argparse.Namespace) -> None:
    db = _open(args, read_only=False)
    new = _read_secret(args.new_passphrase_env, args.new_passphrase_file, "New passphrase: ", confirm=True)
    db.change_passphrase(new)
    print("passphrase changed")


def cmd_dump(args: argparse.Namespace) -> None:
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


def _parse_line(raw: bytes, number: int) -> dict[str, Any]:
    try:
        record = json.loads(raw.decode("utf-8"))
    except UnicodeDecodeError:
        raise CommandError(f"line {number}: not UTF-8 text") from None
    except json.JSONDecodeError as e:
        raise CommandError(f"line {number}: not JSON: {e.msg}") from None
    if not isinstance(record, dict):
        raise CommandError(f"line {number}: expected a JSON object")
    for field in ("content", "memory_type", "vector"):
        if field not in record:
            raise CommandError(f"line {number}: missing \"{field}\"")
    return record


def _stage_batch(db: ormel.Ormel, batch: list[tuple[int, dict[str, Any]]]) -> None:
    records = [r for _, r in batch]
    columns: dict[str, Any] = {f: [r.get(f) for r in records] for f in _LOAD_FIELDS}
    columns["shared"] = [r.get("scope") == "shared" or bool(r.get("shared", False)) for r in records]
    columns["metadata"] = [m if m is not None else {} for m in columns["metadata"]]
    ids = [r.get("id") for r in records]
    try:
        db.remember_many([r["content"] for r in records], [r["memory_type"] for r in records],
                         [r["vector"] for r in records], ids=ids, **columns)
    except (ValueError, TypeError, RuntimeError) as e:
        # remember_many names the refused item: "remember_many() item <i>: <reason>".
        found = re.match(r"remember_many\(\) item (\d+): (.*)", str(e), re.S)
        if found and int(found[1]) < len(batch):
            raise CommandError(f"line {batch[int(found[1])][0]}: {found[2]} (nothing of this batch was kept)") from None
        raise CommandError(f"lines {batch[0][0]}-{batch[-1][0]}: {e} (nothing of this batch was kept)") from None


def _size(f: IO[bytes]) -> int | None:
    """The size of a regular file; None for a pipe or a terminal."""
    info = os.fstat(f.fileno())
    return info.st_size if stat.S_ISREG(info.st_mode) else None


def cmd_load(args: argparse.Namespace) -> None:
    # Read as bytes, so that the progress bar counts the bytes of the input read.
    source: IO[bytes] = sys.stdin.buffer if args.input == "-" else open(args.input, "rb")
    with source, _progress("load", "B") as progress:
        total = _size(source) if progress else None
        read = 0
        pending: list[tuple[int, dict[str, Any]]] = []
        db: ormel.Ormel | None = None
        loaded = 0
        for number, raw in enumerate(source, start=1):
            read += len(raw)
            if progress:
                progress(read, total)
            if not raw.strip():
                continue
            record = _parse_line(raw, number)
            if db is None:
                exists = os.path.exists(args.path)
                db = _open(args, read_only=False, dimensions=None if exists else len(record["vector"]))
            pending.append((number, record))
            if len(pending) == args.batch:
                _stage_batch(db, pending)
                db.flush()
                loaded += len(pending)
                pending.clear()
        if pending and db is not None:
            _stage_batch(db, pending)
            db.flush()
            loaded += len(pending)
    print(f"loaded {loaded} memories")


def cmd_cache_stats(args: argparse.Namespace) -> None:
    stats = _open(args, read_only=True).cache_stats(args.namespace)
    _emit(args, stats, lambda: (f"{k:<10} {v}" for k, v in stats.items()))


def cmd_build_index(args: argparse.Namespace) -> None:
    db = _open(args, read_only=False)
    with _progress("build-index", counts=False) as progress:
        db.build_index(progress=progress)
    db.flush()
    index = db.stats()["index"]
    _emit(args, index, lambda: iter([f"index built: {index}"]))


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


def _parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("path", help="the .ormel database file")
    secret = common.add_mutually_exclusive_group()
    secret.add_argument("--passphrase-env", metavar="VAR", help="read the passphrase from this environment variable")
    secret.add_argument("--passphrase-file", metavar="F", help="read the passphrase from the first line of this file")
    as_json = argparse.ArgumentParser(add_help=False)
    as_json.add_argument("--json", action="store_true", help="print JSON for scripts")

    parser = argparse.ArgumentParser(prog="ormel", description=__doc__.split("\n\n")[0])
    parser.add_argument("--version", action="version", version=f"ormel {ormel.__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="command")

    def add(name: str, func: Callable[[argparse.Namespace], int | None], help: str, *parents: argparse.ArgumentParser) -> argparse.ArgumentParser:
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
    which.add_argument("--time", type=int, metavar="UNIX_SECS", help="the newest snapshot at or before this time")
    p = add("export", cmd_export, "write an encrypted copy of the database")
    p.add_argument("dest", help="the copy's path")
    p = add("compact", cmd_compact, "rewrite the file so it holds only what is still reachable", as_json)
    p.add_argument("--no-history", action="store_true", help="keep only the current state (one snapshot)")
    p = add("passwd", cmd_passwd, "change the passphrase (asked twice)")
    new = p.add_mutually_exclusive_group()
    new.add_argument("--new-passphrase-env", metavar="VAR", help="read the new passphrase from this variable")
    new.add_argument("--new-passphrase-file", metavar="F", help="read the new passphrase from this file")
    p = add("dump", cmd_dump, "write the memories as JSON lines (not encrypted)")
    p.add_argument("-o", "--output", help="file to write (default: standard output)")
    p.add_argument("--vectors", action="store_true", help="include each memory's vector")
    p = add("load", cmd_load, "add memories from JSON lines, in batches (creates the database if needed)")
    p.add_argument("input", nargs="?", default="-", help="JSON lines file (default: standard input)")
    p.add_argument("--batch", type=int, default=1000, help="memories per transaction (default 1000)")
    p = add("cache-stats", cmd_cache_stats, "result-cache statistics", as_json)
    p.add_argument("--namespace", help="one namespace instead of all")
    add("build-index", cmd_build_index, "build and save the IVF+PQ index", as_json)
    add("drop-index", cmd_drop_index, "drop the index")
    p = add("search", cmd_search, "best keyword (BM25) matches of a text, or hybrid with --embedder", as_json)
    p.add_argument("text", help="the words to look for")
    p.add_argument("-k", "--top-k", type=int, default=10, help="how many matches (default 10)")
    p.add_argument("--agent", help="only what this agent sees (its own and shared memories)")
    p.add_argument("--embedder", metavar="MODULE:CALLABLE", help="hybrid recall, embedding the text with this")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        status = args.func(args)
    except CommandError as e:
        print(f"ormel: error: {e}", file=sys.stderr)
        return EXIT_ERROR
    except (RuntimeError, ValueError, TypeError, OSError, KeyboardInterrupt) as e:
        text = str(e) if not isinstance(e, OSError) or not e.strerror else f"{e.strerror}: {e.filename}"
        print(f"ormel: error: {text or type(e).__name__}", file=sys.stderr)
        return EXIT_ERROR
    return int(status or 0)
