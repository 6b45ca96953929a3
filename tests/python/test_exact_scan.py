"""Exact search and recall: a scan for few results, which first bounds every similarity from a
binary16 copy of the vectors, ranks as the full scan does, whatever the query's magnitude."""

import numpy as np
import pytest

from conftest import DIMS

pytestmark = pytest.mark.usefixtures("file_format")


def test_a_tiny_query_ranks_as_the_full_scan(db):
    """The query's float sum of squares is subnormal, a third below its square. binary16 rounds
    R onto S's direction; only a bound that holds tells them apart. top_k beyond 100 is the full
    scan."""
    rows = np.zeros((9002, DIMS), dtype=np.float32)
    rows[:9000, 1] = 1.0
    rows[9000, 0] = 1 + 2**-12  # R
    rows[9001, :2] = [1, 2**-8]  # S
    ids = db.remember_many(["row"] * 9000 + ["R", "S"], "semantic", rows)
    query = np.array([4.58e-23, 0, 0, 0], dtype=np.float32)
    exact = rows.astype(np.float64) @ query.astype(np.float64) / np.linalg.norm(rows.astype(np.float64), axis=1)
    assert ids[int(np.argmax(exact))] == ids[9000]
    for top_k in (1, 2, 101):
        assert [hit["content"] for hit, _ in db.search(query, top_k)][:2] == ["R", "S"][:top_k]
        assert db.recall(query, top_k, track_access=False)[0]["content"] == "R"
