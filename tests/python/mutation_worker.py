"""Opens database files one after another and prints one JSON line per file: everything it
reads back, or the exception it raised. test_file_mutation.py runs it in a subprocess, so a
crash or a hang on a damaged file is seen from outside and never takes the test run down.

The plan comes as one JSON line on stdin: passphrase, query, ids, cache_keys and paths."""
import json
import sys

import ormel

IGNORED = ("accessed_at", "access_count")  # reading a memory may count as an access


def observe(path, plan):
    db = ormel.open(path, plan["passphrase"])
    query, top_k = plan["query"], len(plan["ids"]) + 5
    seen = {
        "memories": {i: {k: v for k, v in db.get(i).items() if k not in IGNORED} for i in plan["ids"]},
        "searched": sorted(m["id"] for m, _ in db.search(query, top_k=top_k)),
        "recalled": sorted(r["id"] for r in db.recall(query, top_k=top_k, track_access=False)),
        "live": db.stats()["memories"],
        "verified": db.verify(),
        "cache": {},
    }
    for namespace, key in plan["cache_keys"]:
        hit = db.cache_get(namespace, key)
        seen["cache"][f"{namespace}/{key}"] = hit["value"].hex() if hit else None
    db.close()
    return seen


def main():
    plan = json.loads(sys.stdin.readline())
    for path in plan["paths"]:
        try:
            line = {"data": observe(path, plan)}
        except Exception as e:  # noqa: BLE001 - any clean exception is an acceptable outcome
            line = {"error": type(e).__name__, "message": str(e)}
        print(json.dumps(line), flush=True)


if __name__ == "__main__":
    main()
