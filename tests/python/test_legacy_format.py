"""Round trips and strictness checks of the test-only file writer and reader (no engine needed)."""
import struct
import zlib

import msgpack
import pytest

import legacy_format as lf

KDF = (64, 1, 1)  # cheap Argon2id parameters for tests
PASS = "correct horse"
DIMS = 4


def memory(n, **over):
    m = {"id": lf.make_ulid(1_700_000_000_000 + n, n * 7919), "memory_type": lf.MEMORY_TYPES[n % 4],
         "vector": [0.5 * n, -1.0, 0.25, 2.0 ** -n], "content": f"memory {n} \u2014 caf\u00e9",
         "metadata": {"z": 1, "a": {"pi": 3.25, "whole": 2.0, "neg": -5, "ok": True, "none": None},
                      "list": [1, "two", 3.5]},
         "agent_id": f"agent-{n % 2}", "session_id": None if n % 2 else "S-1",
         "scope": lf.SCOPES[n % 2], "created_at": 1_700_000_000 + n,
         "accessed_at": 1_700_000_100 + n, "access_count": n, "importance": 0.75,
         "ttl_secs": None if n % 3 else 3600}
    m.update(over)
    return m


def tiny_index(ids):
    return {"dims": DIMS, "n_partitions": 2, "n_probe": 1, "n_rerank": 10,
            "centroids": [0.0, 0.5, 1.0, -1.0, 2.0, 0.25, 0.0, 1.5],
            "pq": {"sub_offsets": [0, 2, 4], "centroids": [[0.0, 1.0, 0.5, 0.5], [1.0, 0.0, -0.5, 2.0]],
                   "ks": [2, 2]},
            "partitions": [{"ids": ids[:2], "codes": [0, 1, 1, 0]},
                           {"ids": ids[2:], "codes": [1, 1] * len(ids[2:])}]}


def build(tmp_path, version, **kw):
    mems = [memory(n) for n in range(1, 5)]
    ids = [m["id"] for m in mems]
    kw.setdefault("deleted_ids", [ids[1]])
    kw.setdefault("index", tiny_index(ids))
    kw.setdefault("catalog_access", {ids[0]: (1_800_000_000, 42)})
    if version == 8:
        kw.setdefault("cache_entries", [
            {"namespace": "llm", "key": "q1", "value": b"answer", "created_at": 1_700_000_500},
            {"namespace": "sem", "key": "x" * 130, "value": b"\x00\xff", "vector": [1.0, 0.0, 0.0, 0.5],
             "model": "m", "ttl_secs": 60, "created_at": 1_700_000_600},
            {"namespace": "llm", "key": "old", "value": b"gone", "deleted": True}])
    path = tmp_path / f"v{version}.ormel"
    info = lf.write_database(path, version, PASS, DIMS, mems, kdf=KDF, created_at=1_700_000_000, **kw)
    return path, mems, info


@pytest.mark.parametrize("version", [4, 5, 6, 7, 8])
def test_round_trip(tmp_path, version):
    path, mems, info = build(tmp_path, version)
    db = lf.read_database(path, PASS)
    h = db["header"]
    assert db["version"] == h["format_version"] == version
    assert (h["wal_start"], h["wal_pages"], h["txn_id"], h["dimensions"]) == (1, 8, 1, DIMS)
    assert h["memory_count"] == 3 and db["deleted_ids"] == [mems[1]["id"]]
    assert (h["seal_nonce"] is not None) == (version >= 7)
    assert path.stat().st_size == h["page_count"] * lf.PAGE_SIZE
    # records keep their own access fields; the catalog's win from version 5 on
    live = [m for m in mems if m["id"] != mems[1]["id"]]
    assert [db["records"][m["id"]] for m in live] == live
    expected = [dict(m) for m in live]
    if version >= 5:
        expected[0].update(accessed_at=1_800_000_000, access_count=42)
        assert db["catalog"][0]["access_count"] == 42
    else:
        assert "access_count" not in db["catalog"][0]
    assert db["memories"] == expected
    assert db["index"] == tiny_index([m["id"] for m in mems])
    (snap,) = db["snapshots"]
    assert snap == {"txn_id": 1, "created_at": 1_700_000_000, "catalog_start": h["catalog_start"],
                    "catalog_pages": 1, "catalog_len": h["catalog_len"], "index_start": h["index_start"],
                    "index_pages": 1, "index_len": h["index_len"], "memory_count": 3}
    assert db["wal_pending"] is None
    if version == 8:
        rows = db["cache_directory"]
        assert [r["deleted"] for r in rows] == [False, False, True]
        assert [e["value"] for e in db["cache_entries"]] == [b"answer", b"\x00\xff"]
        assert db["cache_entries"][1]["key_preview"] == "x" * 119 + "\u2026"
        assert rows[1]["vector"] == [1.0, 0.0, 0.0, 0.5] and rows[1]["ttl_secs"] == 60
    else:
        assert h["cache_dir_pages"] == 0 and db["cache_directory"] == []


def test_deleted_records_readable_on_request(tmp_path):
    path, mems, _ = build(tmp_path, 5)
    db = lf.read_database(path, PASS, read_deleted=True)
    assert db["records"][mems[1]["id"]] == mems[1]
    assert mems[1]["id"] not in [m["id"] for m in db["memories"]]


def test_no_index_no_snapshots_and_multi_page_record(tmp_path):
    big = memory(1, content="x" * 20000)
    path = tmp_path / "big.ormel"
    lf.write_database(path, 6, "", DIMS, [big], kdf=KDF, snapshots=False)
    db = lf.read_database(path, "")
    assert db["catalog"][0]["page_count"] == 3 and db["catalog"][0]["start_page"] == 9
    assert db["memories"] == [big] and db["index"] is None and db["snapshots"] == []
    assert db["header"]["manifest_pages"] == 0 and db["header"]["nonce_counter"] == 4


def test_empty_catalog_is_one_byte(tmp_path):
    path = tmp_path / "empty.ormel"
    lf.write_database(path, 8, PASS, DIMS, [], kdf=KDF, index=None)
    db = lf.read_database(path, PASS)
    assert db["header"]["catalog_len"] == 1 and db["memories"] == [] and db["snapshots"][0]["memory_count"] == 0


def test_older_snapshots_listed(tmp_path):
    path, _, _ = build(tmp_path, 7, snapshots=[{"txn_id": 1, "created_at": 5}, {"txn_id": 2}], txn_id=2)
    db = lf.read_database(path, PASS)
    assert [s["txn_id"] for s in db["snapshots"]] == [1, 2]


def copy_page(path, src, dst):
    data = bytearray(path.read_bytes())
    data[dst * lf.PAGE_SIZE:(dst + 1) * lf.PAGE_SIZE] = data[src * lf.PAGE_SIZE:(src + 1) * lf.PAGE_SIZE]
    path.write_bytes(bytes(data))


@pytest.mark.parametrize("version", [4, 5])
def test_moved_page_still_opens_before_v6(tmp_path, version):
    path, _, _ = build(tmp_path, version)
    original = lf.LegacyFile(path, PASS).read_page(9)
    copy_page(path, 9, 11)  # page 11 holds a live record
    assert lf.LegacyFile(path, PASS).read_page(11) == original
    with pytest.raises(lf.LegacyFormatError):  # the whole-file check still notices the swap
        lf.read_database(path, PASS)


@pytest.mark.parametrize("version", [6, 7, 8])
def test_moved_page_fails_from_v6(tmp_path, version):
    path, _, _ = build(tmp_path, version)
    copy_page(path, 9, 11)  # page 11 holds a live record
    with pytest.raises(lf.LegacyFormatError, match="page 11: failed authentication \u2014"):
        lf.LegacyFile(path, PASS).read_page(11)
    with pytest.raises(lf.LegacyFormatError, match="page 11: failed authentication"):
        lf.read_database(path, PASS)


@pytest.mark.parametrize("version", [4, 6, 8])
def test_flipped_header_byte_fails_crc(tmp_path, version):
    path, _, _ = build(tmp_path, version)
    data = bytearray(path.read_bytes())
    data[211] ^= 1  # reserved bytes are covered by the CRC too
    path.write_bytes(bytes(data))
    with pytest.raises(lf.LegacyFormatError, match="header checksum mismatch \u2014 page 0"):
        lf.read_database(path, PASS)


@pytest.mark.parametrize("version", [6, 7, 8])
def test_sealed_field_changed_with_crc_fixed(tmp_path, version):
    path, _, _ = build(tmp_path, version)
    data = bytearray(path.read_bytes())
    struct.pack_into("<Q", data, 194, 9)  # wal_pages
    struct.pack_into("<I", data, 238, zlib.crc32(bytes(data[:238])))
    path.write_bytes(bytes(data))
    if version < 7:
        assert lf.LegacyFile(path, PASS).header["wal_pages"] == 9
    else:
        with pytest.raises(lf.LegacyFormatError, match="header seal authentication failed"):
            lf.LegacyFile(path, PASS)


def test_cache_dir_fields_sealed_in_v8(tmp_path):
    path, _, _ = build(tmp_path, 8)
    data = bytearray(path.read_bytes())
    data[290] ^= 1  # cache_dir_len: outside the CRC, inside the seal
    path.write_bytes(bytes(data))
    with pytest.raises(lf.LegacyFormatError, match="header seal"):
        lf.LegacyFile(path, PASS)


def test_header_checks(tmp_path):
    path, _, _ = build(tmp_path, 7)
    with pytest.raises(lf.LegacyFormatError, match="wrong passphrase"):
        lf.read_database(path, "nope")
    page = bytearray(path.read_bytes()[:lf.PAGE_SIZE])
    struct.pack_into("<H", page, 4, 9)
    with pytest.raises(lf.LegacyFormatError, match="unsupported .ormel format version 9"):
        lf.parse_header(bytes(page))
    with pytest.raises(lf.LegacyFormatError, match="bad magic"):
        lf.parse_header(bytes(lf.PAGE_SIZE))
    h = lf.LegacyFile(path, PASS).header
    assert len(lf.seal_aad(h)) == 142 and len(lf.seal_aad({**h, "format_version": 8})) == 166


def test_memory_encoding_bytes():
    m = memory(3, metadata={"f": 1.5}, vector=[1.0, 2.0, 3.0, 4.0])
    raw = lf.encode_memory(m)
    assert raw[0] == 0x9D and raw[1] == 0xBA and raw[2:28] == m["id"].encode()
    items = list(msgpack.Unpacker(__import__("io").BytesIO(raw[1:]), raw=False))
    assert items[7] == "Shared" and items[6] is None
    assert b"\xa1f\xcb" in raw and b"\x94\xca\x3f\x80\x00\x00" in raw  # metadata f64, vector f32
    assert lf.decode_memory(raw, 4) == m
    assert lf.decode_memory(lf.encode_memory(m, str8_id=True), 4) == m


def test_decoders_are_strict():
    m = memory(2)
    raw = lf.encode_memory(m)
    twelve = b"\x9c" + raw[1:-1]  # drop ttl_secs
    with pytest.raises(lf.LegacyFormatError, match="invalid length 12, expected struct Memory with 13"):
        lf.decode_memory(twelve)
    f64 = raw.replace(b"\xca\x3f\x40\x00\x00", b"\xcb\x3f\xe8\x00\x00\x00\x00\x00\x00")  # importance
    with pytest.raises(lf.LegacyFormatError, match="canonical"):
        lf.decode_memory(f64)
    bad_key = raw.replace(b"\xa1z\x01", b"\x01\x01")  # metadata key 1 instead of "z"
    with pytest.raises(lf.LegacyFormatError, match="metadata is not a JSON object"):
        lf.decode_memory(bad_key)
    with pytest.raises(lf.LegacyFormatError, match="vector has 4 elements"):
        lf.decode_memory(raw, 5)
    row = msgpack.packb([[b"\x00" * 16, 9, 1, 10, False, 0]], use_bin_type=True)
    with pytest.raises(lf.LegacyFormatError, match="expected struct CatalogEntry with 7 elements"):
        lf.decode_catalog(row, 5)
    assert lf.decode_catalog(msgpack.packb([[b"\x00" * 16, 9, 1, 10, False]], use_bin_type=True), 4)
    with pytest.raises(lf.LegacyFormatError, match="struct Snapshot with 9"):
        lf.decode_snapshots(msgpack.packb([[1, 2, 3]]))
    ix = lf.encode_index(tiny_index([lf.make_ulid(1)] * 4))
    with pytest.raises(lf.LegacyFormatError, match="first byte"):
        lf.decode_index(b"\xdc\x00\x07" + ix[1:])  # array 16 header instead of fixarray


def test_pending_wal_transaction(tmp_path):
    path, _, info = build(tmp_path, 8)
    image = bytes(range(256)) * 32
    frame = struct.pack("<4sBQQII", b"OWAL", 1, 2, 0, len(image), zlib.crc32(image)) + image
    commit = struct.pack("<4sBQQII", b"OWAL", 2, 2, 0, 0, zlib.crc32(image))
    data = bytearray(path.read_bytes())
    data[lf.PAGE_SIZE:lf.PAGE_SIZE + len(frame) + 29] = frame + commit
    path.write_bytes(bytes(data))
    assert lf.read_database(path, PASS)["wal_pending"] == {"txn_id": 2, "pages": [0]}
    data[lf.PAGE_SIZE + len(frame) + 25] ^= 1  # commit CRC
    path.write_bytes(bytes(data))
    assert lf.LegacyFile(path, PASS).pending_wal() is None


def test_ulid_text():
    assert lf.int_to_ulid(0) == "0" * 26 and lf.int_to_ulid(2**128 - 1) == "7" + "Z" * 25
    for v in (1, 2**127 + 12345, 2**80 * 1_700_000_000_000):
        assert lf.ulid_to_int(lf.int_to_ulid(v)) == v
    with pytest.raises(lf.LegacyFormatError):
        lf.ulid_to_int("8" + "0" * 25)
