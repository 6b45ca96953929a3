// The arguments of remember_many (columns of memory fields) and of load_memories (whole
// memories as dicts), converted to memories.
//
// Contract:
// - `contents` is a sequence of str (a bare str is refused); its length n is the batch size.
// - `vectors` is a sequence of n vectors, each converted as remember's vector into the
//   memory's vector; or a 2-D float32/float64 buffer of n rows (a numpy array), opened as
//   `rows` (see BufferRows; read in place when `rows_in_place`), the memories' vectors
//   left empty.
// - Every other column is either one value for every memory, of the kind remember takes
//   for that argument, or a sequence of n such values: memory_type (str), agent_id and
//   session_id (str or None), importance (number or None), ttl_secs (int or None), shared
//   (bool), metadata (dict or None). `ids` is None (fresh ids) or a sequence of n id texts
//   or None (a fresh id for that item).
// - A sequence column of another length than n is ValueError
//   "remember_many() argument '<name>' holds <m> items, expected <n> (one per content)".
// - A value that does not convert raises what remember would; an item's failure has its
//   text prefixed "remember_many() item <i>: " (dropping the converters' own
//   "remember_many() " head). On any failure `out` is left unchanged.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <vector>

#include "core/memory.h"
#include "python/src/convert.h"

namespace ormel_py {

struct BatchColumns {
  PyObject* contents;
  PyObject* memory_type;
  PyObject* vectors;
  PyObject* agent_id;
  PyObject* importance;
  PyObject* session_id;
  PyObject* ttl_secs;
  PyObject* shared;
  PyObject* metadata;
  PyObject* ids;
};

bool memories_from_columns(const BatchColumns& columns, bool rows_in_place, std::vector<ormel::Memory>& out,
                           BufferRows& rows);

// The argument of load_memories: a sequence of dicts, each a whole memory with the keys of a
// memory dict ("id", "content", "memory_type" and "vector" required; "metadata",
// "agent_id", "session_id", "scope", "created_at", "accessed_at", "access_count",
// "importance", "ttl_secs" optional, defaulting as remember does, "accessed_at" to
// "created_at"). Another key, or a value of the wrong kind, fails as remember_many's items
// do, prefixed "load_memories() item <i>: ". On any failure `out` is left unchanged.
bool memories_from_dicts(PyObject* items, std::vector<ormel::Memory>& out);

// Re-raises the pending exception as the failure of item `i` of `fn`'s batch, as above.
// Returns false.
bool raise_for_item(const char* fn, size_t i);

}  // namespace ormel_py
