"""Independent writer and strict reader of ormel database files, format versions 4 to 8.

Test support only: it builds files of the older versions the engine must upgrade, and it
parses files the engine writes as a second opinion on their layout. It shares no code with
the engine; it uses `cryptography` (Argon2id, AES-256-GCM) and `msgpack`.

Writer:  write_database(path, version, passphrase, dimensions, memories, ...) -> info dict
Reader:  read_database(path, passphrase, ...) -> dict;  LegacyFile(path, passphrase) for page access
Every problem the reader finds is raised as LegacyFormatError.
"""
from __future__ import annotations

import hashlib
import math
import os
import struct
import time
import zlib

import msgpack
from cryptography.exceptions import InvalidTag
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.argon2 import Argon2id

PAGE_SIZE = 8192
PAGE_PAYLOAD = 8164
MAGIC = b"ORME"
SEAL_PREFIX = b"ormel-header-seal-v7"
DEFAULT_KDF = (19456, 2, 1)
WAL_START, WAL_PAGES, FIRST_DATA_PAGE = 1, 8, 9
MEMORY_TYPES = ("Episodic", "Semantic", "Procedural", "Working")
SCOPES = ("Private", "Shared")
MEMORY_FIELDS = ("id", "memory_type", "vector", "content", "metadata", "agent_id", "session_id",
                 "scope", "created_at", "accessed_at", "access_count", "importance", "ttl_secs")
CATALOG_FIELDS = ("id", "start_page", "page_count", "len", "deleted", "accessed_at", "access_count")
SNAPSHOT_FIELDS = ("txn_id", "created_at", "catalog_start", "catalog_pages", "catalog_len",
                   "index_start", "index_pages", "index_len", "memory_count")
CACHE_ENTRY_FIELDS = ("namespace", "key_hash", "key_preview", "value", "content_type", "created_at",
                      "accessed_at", "access_count", "ttl_secs", "cost_hint_ms", "size_bytes",
                      "vector", "model")
CACHE_DIR_FIELDS = ("namespace", "key_hash", "start_page", "page_count", "len", "deleted",
                    "accessed_at", "access_count", "size_bytes", "ttl_secs", "created_at",
                    "vector", "model")

# Header page: (field, offset, struct format); all little-endian.
HEADER_INTS = (
    ("format_version", 4, "<H"), ("page_size", 6, "<I"), ("encrypted", 10, "<I"),
    ("dimensions", 14, "<I"), ("created_at", 18, "<Q"), ("nonce_counter", 26, "<Q"),
    ("page_count", 34, "<Q"), ("catalog_start", 42, "<Q"), ("catalog_pages", 50, "<Q"),
    ("catalog_len", 58, "<Q"), ("memory_count", 66, "<Q"), ("kdf_m_cost", 74, "<I"),
    ("kdf_t_cost", 78, "<I"), ("kdf_p_cost", 82, "<I"), ("index_start", 162, "<Q"),
    ("index_pages", 170, "<Q"), ("index_len", 178, "<Q"), ("wal_start", 186, "<Q"),
    ("wal_pages", 194, "<Q"), ("txn_id", 202, "<Q"), ("manifest_start", 214, "<Q"),
    ("manifest_pages", 222, "<Q"), ("manifest_len", 230, "<Q"))
HEADER_BYTES = (("kdf_salt", 86, 16), ("dek_nonce", 102, 12), ("wrapped_dek", 114, 48))
HEADER_CACHE_DIR = (("cache_dir_start", 270), ("cache_dir_pages", 278), ("cache_dir_len", 286))
SEALED_FIELDS = ("nonce_counter", "page_count", "catalog_start", "catalog_pages", "catalog_len",
                 "memory_count", "index_start", "index_pages", "index_len", "wal_start",
                 "wal_pages", "txn_id", "manifest_start", "manifest_pages", "manifest_len")
CRC_OFFSET, SEAL_NONCE_OFFSET, SEAL_TAG_OFFSET, HEADER_END = 238, 242, 254, 294


class LegacyFormatError(Exception):
    """The file breaks a rule of the format (or the passphrase is wrong)."""


# ---------------------------------------------------------------- ids, keys, pages

_CROCKFORD = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"


def ulid_to_int(text: str) -> int:
    if not isinstance(text, str) or len(text) != 26 or any(c not in _CROCKFORD for c in text):
        raise LegacyFormatError(f"not a ULID text: {text!r}")
    value = 0
    for c in text:
        value = value * 32 + _CROCKFORD.index(c)
    if value >> 128:
        raise LegacyFormatError(f"ULID out of range: {text}")
    return value


def int_to_ulid(value: int) -> str:
    return "".join(_CROCKFORD[(value >> (5 * i)) & 31] for i in range(25, -1, -1))


def make_ulid(millis: int, random_bits: int = 0) -> str:
    """A ULID text from 48 bits of milliseconds and 80 random bits."""
    return int_to_ulid(((millis & (2**48 - 1)) << 80) | (random_bits & (2**80 - 1)))


def id_bytes(ulid: str) -> bytes:
    return ulid_to_int(ulid).to_bytes(16, "big")


def derive_kek(passphrase: str, salt: bytes, m_cost: int, t_cost: int, p_cost: int) -> bytes:
    return Argon2id(salt=salt, length=32, iterations=t_cost, lanes=p_cost,
                    memory_cost=m_cost).derive(passphrase.encode("utf-8"))


def page_aad(version: int, page: int) -> bytes:
    """Associated data of a page: none before version 6, the page number (u64 LE) after."""
    return struct.pack("<Q", page) if version >= 6 else b""


def seal_page(dek: bytes, version: int, page: int, counter: int, payload: bytes) -> bytes:
    assert len(payload) <= PAGE_PAYLOAD
    nonce = struct.pack("<IQ", page & 0xFFFFFFFF, counter)
    body = AESGCM(dek).encrypt(nonce, payload.ljust(PAGE_PAYLOAD, b"\0"), page_aad(version, page))
    return nonce + body


def open_page(dek: bytes, version: int, page: int, image: bytes) -> bytes:
    try:
        return AESGCM(dek).decrypt(image[:12], image[12:], page_aad(version, page))
    except InvalidTag:
        raise LegacyFormatError(
            f"page {page}: failed authentication \u2014 the file is corrupt or tampered") from None


def run_pages(length: int) -> int:
    return max(1, math.ceil(length / PAGE_PAYLOAD))


# ---------------------------------------------------------------- header page

def header_crc(page: bytes) -> int:
    return zlib.crc32(page[:CRC_OFFSET]) & 0xFFFFFFFF


def seal_aad(h: dict) -> bytes:
    names = SEALED_FIELDS + (tuple(n for n, _ in HEADER_CACHE_DIR) if h["format_version"] > 7 else ())
    return SEAL_PREFIX + struct.pack("<H", h["format_version"]) + b"".join(
        struct.pack("<Q", h[n]) for n in names)


def build_header_page(h: dict, dek: bytes) -> bytes:
    """Header dict -> 8192-byte page 0 with CRC, and the seal for version 7 and later."""
    page = bytearray(PAGE_SIZE)
    page[0:4] = MAGIC
    for name, off, fmt in HEADER_INTS:
        struct.pack_into(fmt, page, off, h[name])
    for name, off, size in HEADER_BYTES:
        assert len(h[name]) == size
        page[off:off + size] = h[name]
    struct.pack_into("<I", page, CRC_OFFSET, header_crc(page))
    if h["format_version"] > 7:
        for name, off in HEADER_CACHE_DIR:
            struct.pack_into("<Q", page, off, h[name])
    if h["format_version"] >= 7:
        nonce = os.urandom(12)
        tag = AESGCM(dek).encrypt(nonce, b"", seal_aad(h))
        page[SEAL_NONCE_OFFSET:SEAL_NONCE_OFFSET + 12] = nonce
        page[SEAL_TAG_OFFSET:SEAL_TAG_OFFSET + 16] = tag
    return bytes(page)


def parse_header(page: bytes) -> dict:
    """Parse page 0: magic, version, CRC, then every field the version has; unused bytes must be zero."""
    if len(page) < PAGE_SIZE:
        raise LegacyFormatError("header page is shorter than 8192 bytes")
    if page[0:4] != MAGIC:
        raise LegacyFormatError("bad magic bytes \u2014 file is not a .ormel database")
    version = struct.unpack_from("<H", page, 4)[0]
    if not 4 <= version <= 8:
        raise LegacyFormatError(f"unsupported .ormel format version {version}")
    if header_crc(page) != struct.unpack_from("<I", page, CRC_OFFSET)[0]:
        raise LegacyFormatError("header checksum mismatch \u2014 page 0 is torn or corrupt")
    h = {name: struct.unpack_from(fmt, page, off)[0] for name, off, fmt in HEADER_INTS}
    h.update({name: bytes(page[off:off + size]) for name, off, size in HEADER_BYTES})
    h["header_crc"] = struct.unpack_from("<I", page, CRC_OFFSET)[0]
    for name, off in HEADER_CACHE_DIR:
        h[name] = struct.unpack_from("<Q", page, off)[0] if version == 8 else 0
    h["seal_nonce"] = h["seal_tag"] = None
    if version >= 7:
        h["seal_nonce"] = bytes(page[SEAL_NONCE_OFFSET:SEAL_NONCE_OFFSET + 12])
        h["seal_tag"] = bytes(page[SEAL_TAG_OFFSET:SEAL_TAG_OFFSET + 16])
    used_end = HEADER_END if version == 8 else 270 if version == 7 else 242
    if any(page[used_end:PAGE_SIZE]):
        raise LegacyFormatError(f"header bytes after offset {used_end} are not zero (version {version})")
    return h


def check_seal(h: dict, dek: bytes) -> None:
    if h["format_version"] < 7:
        return
    try:
        AESGCM(dek).decrypt(h["seal_nonce"], h["seal_tag"], seal_aad(h))
    except InvalidTag:
        raise LegacyFormatError(
            "header seal authentication failed \u2014 mutable fields tampered with") from None


# ---------------------------------------------------------------- record encoding

def _pk(value, f32: bool = False) -> bytes:
    return msgpack.packb(value, use_bin_type=True, use_single_float=f32)


def _array_header(n: int) -> bytes:
    return msgpack.Packer().pack_array_header(n)


def _json_sorted(value):
    """JSON value with object keys in ascending byte order, recursively."""
    if isinstance(value, dict):
        return {k: _json_sorted(value[k]) for k in sorted(value, key=lambda k: k.encode("utf-8"))}
    if isinstance(value, list):
        return [_json_sorted(v) for v in value]
    return value


def encode_memory(m: dict, str8_id: bool = False) -> bytes:
    """A Memory as the 13-element array: floats of vector and importance as float 32,
    metadata floats as float 64, enumerations by name, the id as its ULID text."""
    ulid_to_int(m["id"])
    id_part = (b"\xd9\x1a" + m["id"].encode()) if str8_id else _pk(m["id"])
    return b"".join((
        b"\x9d", id_part, _pk(m["memory_type"]), _pk([float(x) for x in m["vector"]], True),
        _pk(m["content"]), _pk(_json_sorted(m.get("metadata", {}))), _pk(m["agent_id"]),
        _pk(m.get("session_id")), _pk(m["scope"]), _pk(m["created_at"]), _pk(m["accessed_at"]),
        _pk(m["access_count"]), _pk(float(m["importance"]), True), _pk(m.get("ttl_secs"))))


def encode_catalog(entries: list, version: int) -> bytes:
    width = 5 if version == 4 else 7
    return _array_header(len(entries)) + b"".join(
        _array_header(width) + _pk(id_bytes(e["id"])) + b"".join(
            _pk(e[f]) for f in CATALOG_FIELDS[1:width]) for e in entries)


def encode_snapshots(snaps: list) -> bytes:
    return _array_header(len(snaps)) + b"".join(
        _array_header(9) + b"".join(_pk(s[f]) for f in SNAPSHOT_FIELDS) for s in snaps)


def encode_index(ix: dict) -> bytes:
    """IvfPqIndex: [dims, n_partitions, n_probe, n_rerank, centroids, pq, partitions];
    pq = {sub_offsets, centroids (list of lists), ks}; partitions = [{ids: [ULID], codes: [int]}]."""
    pq = ix["pq"]
    pq_bytes = b"\x93" + _pk(pq["sub_offsets"]) + _array_header(len(pq["centroids"])) + b"".join(
        _pk([float(x) for x in cb], True) for cb in pq["centroids"]) + _pk(pq["ks"])
    parts = _array_header(len(ix["partitions"])) + b"".join(
        b"\x92" + _pk([id_bytes(i) for i in p["ids"]]) + _pk(list(p["codes"]))
        for p in ix["partitions"])
    return b"\x97" + b"".join(_pk(ix[f]) for f in ("dims", "n_partitions", "n_probe", "n_rerank")) \
        + _pk([float(x) for x in ix["centroids"]], True) + pq_bytes + parts


def _cache_record(r: dict, fields: tuple) -> bytes:
    out = [b"\x9d"]
    for f in fields:
        v = r.get(f)
        if f in ("key_hash", "value"):
            v = list(v)
        out.append(_pk(None if v is None else [float(x) for x in v], True) if f == "vector" else _pk(v))
    return b"".join(out)


def encode_cache_entry(e: dict) -> bytes:
    return _cache_record(e, CACHE_ENTRY_FIELDS)


def encode_cache_directory(rows: list) -> bytes:
    return _array_header(len(rows)) + b"".join(_cache_record(r, CACHE_DIR_FIELDS) for r in rows)


def key_preview(key: str) -> str:
    return key if len(key) <= 120 else key[:119] + "\u2026"


def module_dict(m: dict) -> dict:
    """A memory as this file's records hold it, in the form the ormel module returns it
    (its 13 keys in the module's order, enumerations in lower case)."""
    out = {k: m[k] for k in ("id", "content", "memory_type", "vector", "agent_id", "session_id",
                             "scope", "created_at", "accessed_at", "access_count", "importance",
                             "ttl_secs", "metadata")}
    out["memory_type"], out["scope"] = m["memory_type"].lower(), m["scope"].lower()
    return out


# ---------------------------------------------------------------- record decoding (strict)

def _unpack(data: bytes, what: str):
    try:
        return msgpack.unpackb(data, raw=False, strict_map_key=False, use_list=True)
    except Exception as exc:  # malformed, truncated or trailing bytes
        raise LegacyFormatError(f"{what}: not one MessagePack value: {exc}") from None


def _canonical(data: bytes, *encodings: bytes, what: str) -> None:
    if data not in encodings:
        ref = encodings[0]
        at = next((i for i, (a, b) in enumerate(zip(data, ref)) if a != b), min(len(data), len(ref)))
        raise LegacyFormatError(f"{what}: bytes differ from the canonical encoding at offset {at}")


def _fields(values, names: tuple, struct_name: str, what: str, first: int | None = None,
            data: bytes | None = None, min_len: int | None = None) -> dict:
    if not isinstance(values, list):
        raise LegacyFormatError(f"{what}: not an array ({type(values).__name__})")
    if not (min_len or len(names)) <= len(values) <= len(names):
        raise LegacyFormatError(f"{what}: invalid length {len(values)}, expected struct "
                                f"{struct_name} with {len(names)} elements")
    if data is not None and first is not None and data[:1] != bytes([first]):
        raise LegacyFormatError(f"{what}: first byte {data[:1].hex()} is not {first:02x}")
    return dict(zip(names, values + [None] * (len(names) - len(values))))


def _check(cond: bool, what: str, msg: str) -> None:
    if not cond:
        raise LegacyFormatError(f"{what}: {msg}")


def _is_int(v, lo: int = 0, hi: int = 2**64 - 1) -> bool:
    return isinstance(v, int) and not isinstance(v, bool) and lo <= v <= hi


I64 = (-2**63, 2**63 - 1)


def _is_json(v, depth: int = 0) -> bool:
    if depth > 1024:
        return False
    if v is None or isinstance(v, (bool, int, float, str)):
        return not isinstance(v, int) or isinstance(v, bool) or -2**63 <= v < 2**64
    if isinstance(v, list):
        return all(_is_json(x, depth + 1) for x in v)
    if isinstance(v, dict):
        return all(isinstance(k, str) and _is_json(x, depth + 1) for k, x in v.items())
    return False


def decode_memory(data: bytes, dimensions: int | None = None, what: str = "memory") -> dict:
    m = _fields(_unpack(data, what), MEMORY_FIELDS, "Memory", what, 0x9D, data)
    ulid_to_int(m["id"])
    _check(m["memory_type"] in MEMORY_TYPES, what, f"memory_type {m['memory_type']!r}")
    _check(m["scope"] in SCOPES, what, f"scope {m['scope']!r}")
    _check(isinstance(m["vector"], list) and all(isinstance(x, float) for x in m["vector"]), what, "vector")
    _check(dimensions is None or len(m["vector"]) == dimensions, what,
           f"vector has {len(m['vector'])} elements, database has {dimensions} dimensions")
    _check(isinstance(m["content"], str) and isinstance(m["agent_id"], str), what, "content/agent_id")
    _check(isinstance(m["metadata"], dict) and _is_json(m["metadata"]), what,
           "metadata is not a JSON object")
    _check(m["session_id"] is None or isinstance(m["session_id"], str), what, "session_id")
    _check(_is_int(m["created_at"], *I64) and _is_int(m["accessed_at"], *I64), what, "times")
    _check(_is_int(m["access_count"], 0, 2**32 - 1), what, "access_count")
    _check(isinstance(m["importance"], float), what, "importance")
    _check(m["ttl_secs"] is None or _is_int(m["ttl_secs"], *I64), what, "ttl_secs")
    _canonical(data, encode_memory(m), encode_memory(m, str8_id=True), what=what)
    return m


def _decode_list(data: bytes, what: str) -> list:
    _check(data[:1] != b"" and (0x90 <= data[0] <= 0x9F or data[0] in (0xDC, 0xDD)), what,
           "not an array")
    return _unpack(data, what)


def decode_catalog(data: bytes, version: int) -> list:
    width, name = (5, "CatalogEntryV4") if version == 4 else (7, "CatalogEntry")
    out = []
    for i, row in enumerate(_decode_list(data, "catalog")):
        what = f"catalog entry {i}"
        e = _fields(row, CATALOG_FIELDS[:width], name, what)
        _check(isinstance(e["id"], bytes) and len(e["id"]) == 16, what, "id is not bin of 16 bytes")
        e["id"] = int_to_ulid(int.from_bytes(e["id"], "big"))
        _check(_is_int(e["start_page"]) and _is_int(e["page_count"], 0, 2**32 - 1)
               and _is_int(e["len"], 0, 2**32 - 1), what, "run fields")
        _check(isinstance(e["deleted"], bool), what, "deleted is not a boolean")
        if width == 7:
            _check(_is_int(e["accessed_at"], *I64) and _is_int(e["access_count"], 0, 2**32 - 1),
                   what, "access fields")
        out.append(e)
    _canonical(data, encode_catalog(out, version), what="catalog")
    return out


def decode_snapshots(data: bytes) -> list:
    out = []
    for i, row in enumerate(_decode_list(data, "snapshot manifest")):
        s = _fields(row, SNAPSHOT_FIELDS, "Snapshot", f"snapshot {i}")
        _check(all(_is_int(s[f], *(I64 if f == "created_at" else (0, 2**64 - 1)))
                   for f in SNAPSHOT_FIELDS), f"snapshot {i}", "fields are not integers")
        out.append(s)
    _check(all(a["txn_id"] < b["txn_id"] for a, b in zip(out, out[1:])), "snapshot manifest",
           "txn_id not ascending")
    _canonical(data, encode_snapshots(out), what="snapshot manifest")
    return out


def decode_index(data: bytes, dimensions: int | None = None) -> dict:
    what = "index"
    ix = _fields(_unpack(data, what), ("dims", "n_partitions", "n_probe", "n_rerank", "centroids",
                                       "pq", "partitions"), "IvfPqIndex", what, 0x97, data)
    _check(dimensions is None or ix["dims"] == dimensions, what, f"dims {ix['dims']}")
    _check(len(ix["centroids"]) == ix["n_partitions"] * ix["dims"], what, "centroid count")
    pq = _fields(ix["pq"], ("sub_offsets", "centroids", "ks"), "PqCodebook", "index pq")
    m = len(pq["ks"])
    _check(len(pq["sub_offsets"]) == m + 1 and len(pq["centroids"]) == m, what, "codebook shape")
    _check(pq["sub_offsets"][:1] == [0] and pq["sub_offsets"][-1] == ix["dims"], what, "sub_offsets")
    for j in range(m):
        width = pq["sub_offsets"][j + 1] - pq["sub_offsets"][j]
        _check(len(pq["centroids"][j]) == pq["ks"][j] * width, what, f"codebook {j} size")
    _check(len(ix["partitions"]) == ix["n_partitions"], what, "partition count")
    parts = []
    for p, row in enumerate(ix["partitions"]):
        post = _fields(row, ("ids", "codes"), "Posting", f"index posting {p}")
        _check(all(isinstance(i, bytes) and len(i) == 16 for i in post["ids"]), what, "posting ids")
        _check(len(post["codes"]) == m * len(post["ids"]) and all(
            _is_int(c, 0, 255) for c in post["codes"]), what, f"posting {p} codes")
        parts.append({"ids": [int_to_ulid(int.from_bytes(i, "big")) for i in post["ids"]],
                      "codes": post["codes"]})
    ix.update(pq=pq, partitions=parts)
    _canonical(data, encode_index(ix), what=what)
    return ix


def _check_cache_record(r: dict, what: str) -> None:
    _check(isinstance(r["namespace"], str), what, "namespace")
    _check(isinstance(r["key_hash"], list) and len(r["key_hash"]) == 32
           and all(_is_int(b, 0, 255) for b in r["key_hash"]), what, "key_hash")
    r["key_hash"] = bytes(r["key_hash"])
    if "value" in r:
        _check(all(_is_int(b, 0, 255) for b in r["value"]), what, "value")
        r["value"] = bytes(r["value"])
    _check(r["vector"] is None or all(isinstance(x, float) for x in r["vector"]), what, "vector")
    _check(r["model"] is None or isinstance(r["model"], str), what, "model")


def decode_cache_directory(data: bytes) -> list:
    rows, full = [], True
    for i, row in enumerate(_decode_list(data, "cache directory")):
        r = _fields(row, CACHE_DIR_FIELDS, "CacheDirectoryEntry", f"cache row {i}", min_len=11)
        _check_cache_record(r, f"cache row {i}")
        full = full and len(row) == 13
        rows.append(r)
    if full:  # rows written with all 13 fields must be canonical
        _canonical(data, encode_cache_directory(rows), what="cache directory")
    return rows


def decode_cache_entry(data: bytes, what: str = "cache entry") -> dict:
    e = _fields(_unpack(data, what), CACHE_ENTRY_FIELDS, "CacheEntry", what, min_len=11)
    _check(data[:1] in (b"\x9d", b"\x9b"), what, f"first byte {data[:1].hex()}")
    _check_cache_record(e, what)
    _check(e["size_bytes"] == len(e["value"]), what, "size_bytes differs from the value's length")
    if data[0] == 0x9D:
        _canonical(data, encode_cache_entry(e), what=what)
    return e


# ---------------------------------------------------------------- writer

class _Pages:
    """Allocates runs from page 9 on and seals them with an increasing nonce counter."""

    def __init__(self, dek: bytes, version: int):
        self.dek, self.version, self.next, self.counter, self.images = dek, version, FIRST_DATA_PAGE, 0, {}

    def run(self, blob: bytes) -> tuple[int, int, int]:
        start, n = self.next, run_pages(len(blob))
        for i in range(n):
            self.counter += 1
            chunk = blob[i * PAGE_PAYLOAD:(i + 1) * PAGE_PAYLOAD]
            self.images[start + i] = seal_page(self.dek, self.version, start + i, self.counter, chunk)
        self.next += n
        return start, n, len(blob)


def write_database(path, version: int, passphrase: str, dimensions: int, memories: list, *,
                   deleted_ids=(), catalog_access: dict | None = None, index: dict | None = None,
                   snapshots=True, cache_entries=(), kdf=DEFAULT_KDF, created_at: int | None = None,
                   txn_id: int = 1) -> dict:
    """Write a complete database file of format `version` (4..8).

    memories: dicts with the 13 Memory fields (id as ULID text, memory_type/scope by name,
      metadata a JSON object); each becomes one record run, in list order, from page 9 on.
    deleted_ids: ids whose catalog row is marked deleted (their records are still written).
    catalog_access: {id: (accessed_at, access_count)} for the catalog rows of versions 5+;
      by default the record's own values. Version 4 rows have no access fields.
    index: an IvfPqIndex dict (see encode_index), stored as the index run.
    snapshots: True for one snapshot of the written state (txn_id, created_at, current runs),
      False for no manifest, or a list of dicts whose missing fields come from that snapshot.
    cache_entries (version 8 only): dicts with namespace, key, value (bytes), and optionally
      content_type, created_at, ttl_secs, vector, model, deleted, accessed_at, access_count;
      each becomes an entry run plus a directory row.
    kdf: (m_cost KiB, t_cost, p_cost) for Argon2id.
    Pages 1..8 (the log region) are zero bytes. Returns {"header", "dek", "catalog", "path"}.
    """
    if not 4 <= version <= 8:
        raise ValueError("version must be 4..8")
    if cache_entries and version != 8:
        raise ValueError("cache entries exist only in version 8 files")
    now = int(time.time()) if created_at is None else created_at
    dek, salt, dek_nonce = os.urandom(32), os.urandom(16), os.urandom(12)
    wrapped = AESGCM(derive_kek(passphrase, salt, *kdf)).encrypt(dek_nonce, dek, b"")
    pages = _Pages(dek, version)
    deleted, access = set(deleted_ids), catalog_access or {}

    catalog = []
    for m in memories:
        start, n, length = pages.run(encode_memory(m))
        acc = access.get(m["id"], (m["accessed_at"], m["access_count"]))
        catalog.append({"id": m["id"], "start_page": start, "page_count": n, "len": length,
                        "deleted": m["id"] in deleted, "accessed_at": acc[0], "access_count": acc[1]})
    rows = []
    for e in cache_entries:
        ce = {"namespace": e["namespace"], "key_hash": hashlib.sha256(e["key"].encode()).digest(),
              "key_preview": key_preview(e["key"]), "value": bytes(e["value"]),
              "content_type": e.get("content_type", "text"), "created_at": e.get("created_at", now),
              "access_count": 0, "ttl_secs": e.get("ttl_secs"), "cost_hint_ms": None,
              "size_bytes": len(e["value"]), "vector": e.get("vector"), "model": e.get("model")}
        ce["accessed_at"] = ce["created_at"]
        start, n, length = pages.run(encode_cache_entry(ce))
        rows.append({**{f: ce[f] for f in CACHE_DIR_FIELDS if f in ce}, "start_page": start,
                     "page_count": n, "len": length, "deleted": bool(e.get("deleted", False)),
                     "accessed_at": e.get("accessed_at", ce["created_at"]),
                     "access_count": e.get("access_count", 0)})

    h = {"format_version": version, "page_size": PAGE_SIZE, "encrypted": 1,
         "dimensions": dimensions, "created_at": now, "kdf_m_cost": kdf[0], "kdf_t_cost": kdf[1],
         "kdf_p_cost": kdf[2], "kdf_salt": salt, "dek_nonce": dek_nonce, "wrapped_dek": wrapped,
         "wal_start": WAL_START, "wal_pages": WAL_PAGES, "txn_id": txn_id}
    for prefix in ("catalog", "index", "manifest", "cache_dir"):
        h[f"{prefix}_start"] = h[f"{prefix}_pages"] = h[f"{prefix}_len"] = 0
    h["catalog_start"], h["catalog_pages"], h["catalog_len"] = pages.run(encode_catalog(catalog, version))
    if index is not None:
        h["index_start"], h["index_pages"], h["index_len"] = pages.run(encode_index(index))
    if rows:
        h["cache_dir_start"], h["cache_dir_pages"], h["cache_dir_len"] = pages.run(
            encode_cache_directory(rows))
    h["memory_count"] = sum(1 for e in catalog if not e["deleted"])
    if snapshots:
        current = {f: h[f] for f in SNAPSHOT_FIELDS if f in h}
        current["created_at"] = now
        snaps = [current] if snapshots is True else [{**current, **s} for s in snapshots]
        h["manifest_start"], h["manifest_pages"], h["manifest_len"] = pages.run(encode_snapshots(snaps))
    h["nonce_counter"], h["page_count"] = pages.counter, pages.next

    with open(path, "wb") as f:
        f.write(build_header_page(h, dek))
        f.write(bytes(PAGE_SIZE * (FIRST_DATA_PAGE - 1)))
        for n in range(FIRST_DATA_PAGE, pages.next):
            f.write(pages.images[n])
    return {"header": h, "dek": dek, "catalog": catalog, "path": str(path)}


# ---------------------------------------------------------------- reader

class LegacyFile:
    """An opened file: parsed header, unwrapped data key, authenticated page access."""

    def __init__(self, path, passphrase: str):
        with open(path, "rb") as f:
            self.data = f.read()
        self.header = h = parse_header(self.data[:PAGE_SIZE])
        self.version = h["format_version"]
        kek = derive_kek(passphrase, h["kdf_salt"], h["kdf_m_cost"], h["kdf_t_cost"], h["kdf_p_cost"])
        try:
            self.dek = AESGCM(kek).decrypt(h["dek_nonce"], h["wrapped_dek"], b"")
        except InvalidTag:
            raise LegacyFormatError(
                "wrong passphrase, or the key material has been tampered with") from None
        if len(self.dek) != 32:
            raise LegacyFormatError("wrong passphrase, or the key material has been tampered with")
        check_seal(h, self.dek)
        self.counters: dict[int, int] = {}

    def image(self, page: int) -> bytes:
        image = self.data[page * PAGE_SIZE:(page + 1) * PAGE_SIZE]
        if len(image) != PAGE_SIZE:
            raise LegacyFormatError(f"page {page}: beyond the end of the file")
        return image

    def read_page(self, page: int) -> bytes:
        """Decrypt one page under the rule of the header's version; nonce counters must be
        unique across pages and not above the header's nonce_counter."""
        if not 1 <= page < self.header["page_count"]:
            raise LegacyFormatError(f"page {page}: outside 1..page_count {self.header['page_count']}")
        image = self.image(page)
        payload = open_page(self.dek, self.version, page, image)
        counter = struct.unpack_from("<Q", image, 4)[0]
        if not 1 <= counter <= self.header["nonce_counter"]:
            raise LegacyFormatError(f"page {page}: nonce counter {counter} above the header's "
                                    f"{self.header['nonce_counter']} or zero")
        if self.counters.setdefault(counter, page) != page:
            raise LegacyFormatError(f"page {page}: nonce counter {counter} reused from page "
                                    f"{self.counters[counter]}")
        return payload

    def read_run(self, start: int, pages: int, length: int, what: str) -> bytes:
        """A run's bytes; its page count must fit its length and padding must be zero."""
        h = self.header
        if pages != run_pages(length):
            raise LegacyFormatError(f"{what}: {pages} pages for {length} bytes")
        if start < h["wal_start"] + h["wal_pages"] and h["wal_start"] < start + pages:
            raise LegacyFormatError(f"{what}: run {start}+{pages} overlaps the log region")
        blob = b"".join(self.read_page(start + i) for i in range(pages))
        if any(blob[length:]):
            raise LegacyFormatError(f"{what}: padding after {length} bytes is not zero")
        return blob[:length]

    def pending_wal(self) -> dict | None:
        """A complete logged transaction newer than the header's txn_id, or None."""
        h = self.header
        region = self.data[h["wal_start"] * PAGE_SIZE:(h["wal_start"] + h["wal_pages"]) * PAGE_SIZE]
        pos, first, frames, running = 0, None, [], 0
        while pos + 29 <= len(region):
            magic, kind, txn, page, length, crc = struct.unpack_from("<4sBQQII", region, pos)
            if magic != b"OWAL" or (first is not None and txn != first):
                return None
            first = txn
            if kind == 2:
                ok = crc == running and bool(frames) and txn > h["txn_id"]
                return {"txn_id": txn, "pages": frames} if ok else None
            image = region[pos + 29:pos + 29 + length]
            if kind != 1 or len(image) != length or crc != (zlib.crc32(image) if length else 0):
                return None
            frames.append(page)
            running = zlib.crc32(image, running)
            pos += 29 + length
        return None


def read_database(path, passphrase: str, *, read_deleted: bool = False) -> dict:
    """Parse and check a whole file.

    Returns {"version", "header", "catalog", "records", "memories", "deleted_ids", "index",
    "snapshots", "cache_directory", "cache_entries", "wal_pending"}. "records" maps id to the
    record as stored; "memories" lists live memories in catalog order with the catalog's access
    fields (version 5 and later) applied. Records of deleted rows are read only with
    read_deleted (an upgraded file leaves them sealed under the old rule).
    """
    f = LegacyFile(path, passphrase)
    h, version = f.header, f.version
    catalog = []
    if h["catalog_pages"]:
        catalog = decode_catalog(f.read_run(h["catalog_start"], h["catalog_pages"],
                                            h["catalog_len"], "catalog"), version)
    live = sum(1 for e in catalog if not e["deleted"])
    _check(live == h["memory_count"], "header", f"memory_count {h['memory_count']}, catalog has {live}")
    records, memories = {}, []
    for e in catalog:
        if e["deleted"] and not read_deleted:
            continue
        what = f"record of {e['id']}"
        rec = decode_memory(f.read_run(e["start_page"], e["page_count"], e["len"], what),
                            h["dimensions"], what)
        _check(rec["id"] == e["id"], what, f"record holds id {rec['id']}")
        records[e["id"]] = rec
        if not e["deleted"]:
            mem = dict(rec)
            if version >= 5:
                mem["accessed_at"], mem["access_count"] = e["accessed_at"], e["access_count"]
            memories.append(mem)
    index = None
    if h["index_pages"]:
        index = decode_index(f.read_run(h["index_start"], h["index_pages"], h["index_len"], "index"),
                             h["dimensions"])
    snaps = []
    if h["manifest_pages"]:
        snaps = decode_snapshots(f.read_run(h["manifest_start"], h["manifest_pages"],
                                            h["manifest_len"], "snapshot manifest"))
        last = snaps[-1] if snaps else None
        _check(last is not None and all(last[k] == h[k] for k in SNAPSHOT_FIELDS if k != "created_at"),
               "snapshot manifest", "newest snapshot does not match the header")
        for s in snaps[:-1]:  # older snapshots must still be restorable
            old = decode_catalog(f.read_run(s["catalog_start"], s["catalog_pages"], s["catalog_len"],
                                            f"catalog of snapshot {s['txn_id']}"), version) \
                if s["catalog_pages"] else []
            _check(sum(1 for e in old if not e["deleted"]) == s["memory_count"],
                   f"snapshot {s['txn_id']}", "memory_count differs from its catalog")
            if s["index_pages"]:
                decode_index(f.read_run(s["index_start"], s["index_pages"], s["index_len"],
                                        f"index of snapshot {s['txn_id']}"), h["dimensions"])
    rows, entries = [], []
    if h["cache_dir_pages"]:
        rows = decode_cache_directory(f.read_run(h["cache_dir_start"], h["cache_dir_pages"],
                                                 h["cache_dir_len"], "cache directory"))
        for i, r in enumerate(rows):
            if r["deleted"]:
                continue
            e = decode_cache_entry(f.read_run(r["start_page"], r["page_count"], r["len"],
                                              f"cache entry {i}"), f"cache entry {i}")
            _check(all(e[k] == r[k] for k in ("namespace", "key_hash", "size_bytes", "ttl_secs",
                                               "created_at", "vector", "model")),
                   f"cache entry {i}", "differs from its directory row")
            entries.append(e)
    return {"version": version, "header": h, "catalog": catalog, "records": records,
            "memories": memories, "deleted_ids": [e["id"] for e in catalog if e["deleted"]],
            "index": index, "snapshots": snaps, "cache_directory": rows, "cache_entries": entries,
            "wal_pending": f.pending_wal()}
