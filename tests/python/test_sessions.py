"""Sessions and turns: construction, repr, recording, consolidation, discarding, and the
rules for a session that has ended."""

import re

import pytest

import ormel
from conftest import PASSPHRASE, RO_MESSAGE, vec

pytestmark = pytest.mark.usefixtures("file_format")

CLOSED = "session is already closed"


@pytest.mark.parametrize("role", ["User", "user ", " user", "", "USER", "tool", "assistant\n"])
def test_unknown_roles(role):
    with pytest.raises(ValueError) as info:
        ormel.Turn(role, "x", [1.0])
    assert str(info.value) == f"unknown role '{role}' (expected user, assistant, or system)"


def test_turn_constructors_properties_and_repr():
    for make, role in [(ormel.Turn.user, "user"), (ormel.Turn.assistant, "assistant"),
                       (ormel.Turn.system, "system")]:
        turn = make("hi", [0.5, 0.1])
        assert type(turn) is ormel.Turn
        assert (turn.role, turn.content) == (role, "hi")
        assert turn.vector == [0.5, float.fromhex("0x1.99999ap-4")]
        assert repr(turn) == f"<ormel.Turn role='{role}' content='hi'>"
    turn = ormel.Turn("assistant", "line 1\nline 2 'quoted' \u2014", [])
    assert repr(turn) == "<ormel.Turn role='assistant' content='line 1\nline 2 'quoted' \u2014'>"
    assert ormel.Turn(role="system", content="c", vector=(1, 2)).vector == [1.0, 2.0]
    assert turn.vector is not turn.vector  # a new list every time
    turn.vector.append(9.0)
    assert turn.vector == []
    for name in ("role", "content", "vector"):
        with pytest.raises(AttributeError):
            setattr(turn, name, "x")


def test_session_has_no_constructor_and_a_repr(db):
    with pytest.raises(TypeError, match="^No constructor defined for Session$"):
        ormel.Session()
    session = db.session("agent-7")
    assert re.fullmatch(r"[0-9A-HJKMNP-TV-Z]{26}", session.id())
    assert session.agent() == "agent-7"
    assert (session.turn_ids(), session.turn_count()) == ([], 0)
    assert repr(session) == f"<ormel.Session id='{session.id()}' agent='agent-7' turns=0 open=true>"
    assert session.close() == 0
    assert repr(session) == f"<ormel.Session id='{session.id()}' agent='agent-7' turns=0 open=false>"
    assert db.session("agent-7").id() != session.id()


def test_turns_are_recorded_as_working_memories(db):
    session = db.session("bot")
    turns = [ormel.Turn.user("q", vec(1)), ormel.Turn.assistant("a", vec(0, 1)), ormel.Turn.system("s", vec(0, 0, 1))]
    ids = [session.add_turn(t) for t in turns]
    assert session.turn_ids() == ids and session.turn_count() == 3
    copy = session.turn_ids()
    copy.clear()
    assert session.turn_count() == 3
    for memory_id, turn in zip(ids, turns):
        memory = db.get(memory_id)
        assert memory["memory_type"] == "working"
        assert (memory["agent_id"], memory["session_id"]) == ("bot", session.id())
        assert memory["metadata"] == {"role": turn.role}
        assert (memory["scope"], memory["importance"], memory["ttl_secs"]) == ("private", 0.5, None)
        assert memory["content"] == turn.content
    assert repr(session).endswith("turns=3 open=true>")


def test_close_promotes_flushes_and_ends(db_path):
    db = ormel.open(db_path, PASSPHRASE, dimensions=4)
    session = db.session("bot")
    ids = [session.add_turn(ormel.Turn.user(f"t{n}", vec(1, n))) for n in range(3)]
    assert db.snapshots() == []
    assert session.close() == 3
    assert len(db.snapshots()) == 1  # close flushed
    for call in (lambda: session.close(), lambda: session.discard(), lambda: session.recall(vec(1)),
                 lambda: session.add_turn(ormel.Turn.user("late", vec(1)))):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == CLOSED
    assert session.turn_ids() == ids and session.turn_count() == 3 and session.agent() == "bot"
    del db, session
    reopened = ormel.open(db_path, PASSPHRASE, read_only=True)
    assert [reopened.get(i)["memory_type"] for i in ids] == ["episodic"] * 3
    assert {reopened.get(i)["session_id"] for i in ids} == {reopened.get(ids[0])["session_id"]}


def test_close_skips_deleted_turns(db):
    session = db.session("bot")
    ids = [session.add_turn(ormel.Turn.user(f"t{n}", vec(1))) for n in range(2)]
    for memory_id in ids:
        db.delete(memory_id)
    assert session.close() == 0
    assert repr(session).endswith("open=false>")


def test_close_counts_only_promoted_turns(db):
    session = db.session("bot")
    ids = [session.add_turn(ormel.Turn.user(f"t{n}", vec(1))) for n in range(3)]
    db.delete(ids[0])
    assert session.close() == 2
    assert session.turn_count() == 3


def test_discard_counts_every_recorded_turn(db):
    session = db.session("bot")
    ids = [session.add_turn(ormel.Turn.user(f"t{n}", vec(1))) for n in range(3)]
    db.delete(ids[1])  # deleting again in discard succeeds, so it is counted
    assert session.discard() == 3
    for memory_id in ids:
        with pytest.raises(RuntimeError, match="not found"):
            db.get(memory_id)
    with pytest.raises(RuntimeError, match=f"^{CLOSED}$"):
        session.add_turn(ormel.Turn.user("late", vec(1)))
    assert db.snapshots()  # discard flushed


def test_with_block(db):
    with db.session("bot") as session:
        memory_id = session.add_turn(ormel.Turn.user("t", vec(1)))
    assert repr(session).endswith("open=false>")
    assert db.get(memory_id)["memory_type"] == "episodic"

    with db.session("bot") as session:
        session.add_turn(ormel.Turn.user("t", vec(1)))
        assert session.discard() == 1
    assert repr(session).endswith("open=false>")  # leaving after discard does nothing

    with pytest.raises(ZeroDivisionError):
        with db.session("bot") as session:
            memory_id = session.add_turn(ormel.Turn.user("t", vec(1)))
            1 / 0
    assert db.get(memory_id)["memory_type"] == "episodic"
    assert session.__exit__(None, None, None) is False


def test_session_recall_uses_the_agent_view(db):
    db.remember("other private", "semantic", vec(1), agent_id="other")
    shared_id = db.remember("other shared", "semantic", vec(1), agent_id="other", shared=True)
    session = db.session("me")
    turn_id = session.add_turn(ormel.Turn.user("mine", vec(1)))
    results = session.recall(vec(1))
    assert {r["id"] for r in results} == {shared_id, turn_id}
    assert list(results[0])[-2:] == ["score", "similarity"]
    assert all(r["access_count"] == 1 for r in results)  # access is tracked
    assert session.recall(vec(1), top_k=1, memory_types=["Working"])[0]["id"] == turn_id
    assert session.recall(vec(1), memory_types=[]) == []
    with pytest.raises(ValueError, match="unknown memory_type 'nope'"):
        session.recall(vec(1), memory_types=["nope"])
    with pytest.raises(OverflowError):
        session.recall(vec(1), top_k=-1)


def test_add_turn_failures_record_nothing(db):
    session = db.session("bot")
    with pytest.raises(TypeError, match="'turn'"):
        session.add_turn("hello")
    with pytest.raises(RuntimeError, match="^vector dimension mismatch: database expects 4, got 2$"):
        session.add_turn(ormel.Turn.user("short", [1.0, 2.0]))
    assert session.turn_count() == 0
    with pytest.raises(RuntimeError, match="dimension mismatch"):
        session.recall([1.0])


def test_sessions_on_a_read_only_handle(ro_db):
    handle, _ = ro_db
    session = handle.session("bot")
    with pytest.raises(RuntimeError) as info:
        session.add_turn(ormel.Turn.user("t", vec(1)))
    assert str(info.value) == RO_MESSAGE
    for end in (session.close, session.discard):
        with pytest.raises(RuntimeError) as info:
            end()
        assert str(info.value) == RO_MESSAGE
    assert repr(session).endswith("open=true>")  # a failed end leaves the session open


def test_session_keeps_its_database_alive(db_path):
    db = ormel.open(db_path, PASSPHRASE, dimensions=4)
    session = db.session("bot")
    del db
    memory_id = session.add_turn(ormel.Turn.user("t", vec(1)))
    assert session.close() == 1
    with pytest.raises(RuntimeError, match="already locked"):
        ormel.open(db_path, PASSPHRASE)
    del session
    assert ormel.open(db_path, PASSPHRASE).get(memory_id)["memory_type"] == "episodic"
