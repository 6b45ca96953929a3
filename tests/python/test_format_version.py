"""The file format a database is created in (open's format_version), the version an existing
file must then be named with, and the values refused before any file is touched.

Tests whose id names v9 need a core that writes version 9; `-k "not v9"` leaves them out."""

import asyncio
import os
from pathlib import Path

import pytest

import ormel
from conftest import DIMS, FORMATS, PASSPHRASE, vec

NOT_A_VERSION = "invalid argument: format_version must be 8 or 9"


@pytest.mark.parametrize(
    "value, error, message",
    [
        ("9", TypeError, "argument 'format_version'"),
        (9.0, TypeError, "argument 'format_version'"),
        (7, ormel.InvalidArgument, NOT_A_VERSION),
        (0, ormel.InvalidArgument, NOT_A_VERSION),
        (-1, ormel.InvalidArgument, NOT_A_VERSION),
        (True, ormel.InvalidArgument, NOT_A_VERSION),
        # Past 16 bits, never wrapped round to a version that exists.
        (2**16 + 8, ormel.InvalidArgument, NOT_A_VERSION),
        (2**64 + 8, ormel.InvalidArgument, NOT_A_VERSION),
    ],
    ids=["str", "float", "7", "0", "negative", "bool", "wraps-to-8", "beyond-64-bits"],
)
def test_a_value_that_is_no_format_version_is_refused(db_path, value, error, message):
    with pytest.raises(error, match=message):
        ormel.open(db_path, PASSPHRASE, dimensions=DIMS, format_version=value)
    assert not os.path.exists(db_path)
    with pytest.raises(error, match=message):
        asyncio.run(ormel.open_async(db_path, PASSPHRASE, dimensions=DIMS, format_version=value))
    assert not os.path.exists(db_path)

    db = ormel.open(db_path, PASSPHRASE, dimensions=DIMS)
    db.remember("committed", "semantic", vec(1))
    db.flush()
    db.remember("staged", "semantic", vec(0, 1))
    before = (db.snapshots(), Path(db_path).read_bytes())
    with pytest.raises(error, match=message):
        db.compact(format_version=value)
    # Refused before the flush that a compaction starts with: the staged memory is still staged.
    assert (db.snapshots(), Path(db_path).read_bytes()) == before
    with pytest.raises(error, match=message):
        ormel.open(db_path, PASSPHRASE, format_version=value)
    db.flush()
    assert db.stats()["memories"] == 2


def test_without_a_format_version_a_file_is_created_in_version_8(db_path):
    db = ormel.open(db_path, PASSPHRASE, dimensions=DIMS)
    assert db.format_version == db.stats()["format_version"] == db.space()["format_version"] == 8


@pytest.mark.parametrize("version", list(FORMATS.values()), ids=list(FORMATS))
def test_a_file_keeps_the_format_it_was_created_in(db_path, version):
    db = ormel.open(db_path, PASSPHRASE, dimensions=DIMS, format_version=version)
    assert db.format_version == version
    memory_id = db.remember("kept", "semantic", vec(1))
    db.release()
    assert int.from_bytes(Path(db_path).read_bytes()[4:6], "little") == version  # so does the plaintext header
    # Reopened without a version, with its own, read-only, following and as a coroutine.
    for asked in (None, version):
        writer = ormel.open(db_path, PASSPHRASE, format_version=asked)
        assert writer.format_version == version
        writer.release()
    handles = [
        ormel.open(db_path, PASSPHRASE, read_only=True),
        ormel.open(db_path, PASSPHRASE, read_only=True, format_version=version),
        ormel.open(db_path, PASSPHRASE, read_only=True, follow=True),
    ]
    for handle in handles:
        assert handle.format_version == handle.stats()["format_version"] == version
        assert handle.get(memory_id)["content"] == "kept"
    del handles

    async def reopened():
        db = await ormel.open_async(db_path, PASSPHRASE, format_version=version)
        try:
            return db.format_version, (await db.stats())["format_version"], (await db.space())["format_version"]
        finally:
            await db.release()

    assert asyncio.run(reopened()) == (version, version, version)


@pytest.mark.parametrize("created, asked", [(8, 9), (9, 8)], ids=["v8-asked-as-v9", "v9-asked-as-v8"])
@pytest.mark.parametrize("read_only", [False, True], ids=["read-write", "read-only"])
def test_an_existing_file_asked_for_in_another_format_is_refused(db_path, created, asked, read_only):
    db = ormel.open(db_path, PASSPHRASE, dimensions=DIMS, format_version=created)
    db.remember("x", "semantic", vec(1))
    db.release()
    before = Path(db_path).read_bytes()
    pattern = rf"format_version {asked} was asked for, but the file is version {created}"
    with pytest.raises(ormel.InvalidArgument, match=pattern):
        ormel.open(db_path, PASSPHRASE, read_only=read_only, format_version=asked)
    with pytest.raises(ormel.InvalidArgument, match=pattern):
        asyncio.run(ormel.open_async(db_path, PASSPHRASE, read_only=read_only, format_version=asked))
    assert Path(db_path).read_bytes() == before
    ormel.open(db_path, PASSPHRASE).release()  # the refused opens left no lock behind


def test_a_follower_takes_no_format_version(db_path):
    ormel.open(db_path, PASSPHRASE, dimensions=DIMS).release()
    for version in (8, 9):
        with pytest.raises(ormel.InvalidArgument, match="'format_version' is not taken with follow=True"):
            ormel.open(db_path, PASSPHRASE, read_only=True, follow=True, format_version=version)
    assert ormel.open(db_path, PASSPHRASE, read_only=True, follow=True).format_version == 8


def test_a_follower_moves_on_to_a_file_converted_to_v9(db_path):
    writer = ormel.open(db_path, PASSPHRASE, dimensions=DIMS, format_version=8)
    memory_id = writer.remember("x", "semantic", vec(1))
    writer.flush()
    follower = ormel.open(db_path, PASSPHRASE, read_only=True, follow=True)
    assert follower.format_version == 8
    writer.compact(format_version=9)
    assert follower.format_version == 8  # until it moves on
    assert follower.refresh() is True
    assert follower.format_version == follower.stats()["format_version"] == 9
    assert follower.get(memory_id)["content"] == "x"
