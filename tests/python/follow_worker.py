"""A reader that follows a writer from another process. test_follow.py starts it with the
database path, the passphrase and how long to read; it prints one JSON line: the counters it
saw, in order, and every inconsistency found (or the exception that stopped it).

The writer commits transaction after transaction, each one adding memory "m<k>" and setting
the counter memory's content and the cache entry "counter" to k, all in one flush. A reader
looking at one committed state must therefore find the counter, the cache and exactly the
memories m1..mk agreeing on one k."""
import json
import sys
import time

import ormel

COUNTER_ID = "0000000000000000000000000C"


def check(db, problems):
    k = int(db.get(COUNTER_ID)["content"])
    cached = db.cache_get("follow", "counter")
    listed = [e["id"] for e in db.ids()]
    found = sorted(m["content"] for m, _ in db.search([1.0, 0.0, 0.0, 0.0], top_k=len(listed) + 5)
                   if m["id"] != COUNTER_ID)
    expected = sorted(f"m{n}" for n in range(1, k + 1))
    if found != expected:
        problems.append(f"counter {k} but memories {found[:3]}... ({len(found)})")
    if len(listed) != k + 1:
        problems.append(f"counter {k} but {len(listed)} ids")
    if cached is None or cached["value"] != str(k).encode():
        problems.append(f"counter {k} but cache {cached and cached['value']}")
    return k


def main():
    path, passphrase, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
    seen, problems = [], []
    try:
        db = ormel.open(path, passphrase, read_only=True, follow=True)
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            k = check(db, problems)
            if check(db, problems) != k:
                problems.append("the state changed without a refresh")
            if seen and k < seen[-1]:
                problems.append(f"went back from {seen[-1]} to {k}")
            seen.append(k)
            db.refresh()
    except Exception as error:  # reported to the test, which fails on it
        problems.append(f"{type(error).__name__}: {error}")
    print(json.dumps({"seen": seen, "problems": problems}))


if __name__ == "__main__":
    main()
