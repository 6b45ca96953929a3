// Conversion between Python values and the core's values.
//
// Argument extractors take the function and argument names for their messages, return false
// with the Python exception set when the value does not fit, and leave `out` unchanged then.
// Type mismatches are TypeError "<fn>() argument '<name>' must be <kind>, not <type>"; errors
// raised by the interpreter's own conversions (OverflowError for integers out of range,
// TypeError for non-numbers) are re-raised with the prefix "<fn>() argument '<name>': ".
// Strings are converted to UTF-8; a str that has none (a lone surrogate) raises the
// interpreter's UnicodeEncodeError, with a note naming the argument.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/memory.h"
#include "core/store.h"

namespace ormel_py {

// Raises TypeError "<fn>() argument '<name>' must be <kind>, not <type of o>"; returns false.
bool type_error(PyObject* o, const char* fn, const char* name, const char* kind);
bool str_arg(PyObject* o, const char* fn, const char* name, std::string& out);
// None gives nullopt.
bool opt_str_arg(PyObject* o, const char* fn, const char* name, std::optional<std::string>& out);
// Only True and False.
bool bool_arg(PyObject* o, const char* fn, const char* name, bool& out);
bool u64_arg(PyObject* o, const char* fn, const char* name, uint64_t& out);
bool i64_arg(PyObject* o, const char* fn, const char* name, int64_t& out);
bool opt_u64_arg(PyObject* o, const char* fn, const char* name, std::optional<uint64_t>& out);
bool opt_i64_arg(PyObject* o, const char* fn, const char* name, std::optional<int64_t>& out);
// A file format version, or None (nullopt). A non-integer is the TypeError of u64_arg. An
// integer beyond 16 bits becomes 0, a version that never existed, so that the core refuses
// every version it does not write with the one InvalidArgument that names those it does.
bool opt_format_version_arg(PyObject* o, const char* fn, std::optional<uint16_t>& out);
// Anything the interpreter converts to a float.
bool f64_arg(PyObject* o, const char* fn, const char* name, double& out);
// An importance: f64_arg clamped to [0, 1], NaN giving 0.
bool importance_arg(PyObject* o, const char* fn, const char* name, float& out);
// Re-raises the pending exception as the same type, its text `prefix` followed by the old
// text (its one str argument, else str()) less a leading `strip` (when the old text starts
// with it), the original as its cause. A type not made from one message (UnicodeEncodeError)
// is raised as its built-in base, ValueError or TypeError, the original's notes appended to
// the text, or failing that as it was, with the prefix as a note. Returns false.
bool reraise_prefixed(const std::string& prefix, std::string_view strip);
// The same, choosing what becomes of a type not made from one message.
enum class Unmakeable { UseBuiltinBase, AddNote };
bool reraise_with(const std::string& prefix, std::string_view strip, Unmakeable unmakeable);
// A vector or query: any sequence of numbers, element by element to float32; a `str` is
// refused with TypeError "Can't extract `str` to `Vec`". A 1-D buffer of float32 ('f') or
// float64 ('d') is read directly, giving exactly what the equivalent list gives. A NaN or
// infinite component (after the narrowing, so 1e39 counts) is ValueError naming the argument.
bool vector_arg(PyObject* o, const char* fn, const char* name, std::vector<float>& out);
// A file-system path: a str without NUL characters (the system would read only up to the
// first one); otherwise ValueError naming the argument.
bool path_arg(PyObject* o, const char* fn, const char* name, std::string& out);
// The rows of a 2-D float32/float64 buffer (any strides), each what vector_arg gives for the
// row. Float32 rows with non-negative, 4-byte-aligned strides, contiguous within a row, are
// read where they lie when `in_place` is allowed: the buffer then stays exported (its array
// cannot be resized) until this is destroyed. Any other buffer is copied once, into one
// block of rows.
class BufferRows {
 public:
  BufferRows() = default;
  BufferRows(const BufferRows&) = delete;
  BufferRows& operator=(const BufferRows&) = delete;
  ~BufferRows();
  // False with no exception set when `o` is no such buffer.
  bool open(PyObject* o, bool in_place);
  // Whether open() succeeded.
  bool opened() const { return opened_; }
  const ormel::VectorRows& rows() const { return rows_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
  bool opened_ = false;
  std::unique_ptr<float[]> copy_;
  ormel::VectorRows rows_;
};
// None, or a sequence (not a bare str) of memory type texts, each parsed by parse_type.
bool memory_types_arg(PyObject* o, const char* fn, const char* name,
                      std::optional<std::vector<ormel::MemoryType>>& out);
// The caller-given part of a recall: `query`, `top_k` (nullptr keeps the default),
// `memory_types`; the rest of `request` keeps its defaults.
bool recall_args(PyObject* query, PyObject* top_k, PyObject* memory_types, const char* fn,
                 ormel::RecallRequest& request);
// A `where=` filter: None (no filter), or a dict parsed into the core's filter. A non-dict,
// a value that is no JSON, an unknown operator or an operand of the wrong shape is
// ValueError "<fn>() argument 'where': ..." naming the operator or key.
bool where_arg(PyObject* o, const char* fn, std::optional<ormel::MetadataFilter>& out);
// The filter arguments of recall and search: where, session_id (str or None),
// created_after and created_before (int or None).
bool memory_filter_args(PyObject* where, PyObject* session_id, PyObject* created_after, PyObject* created_before,
                        const char* fn, ormel::MemoryFilter& out);

// Memory type text, any ASCII case; otherwise ValueError "unknown memory_type '<text>'".
// A non-str argument is the TypeError of str_arg.
bool parse_type(PyObject* text, const char* fn, const char* name, ormel::MemoryType& out);
// 26 Crockford base-32 digits, either case; otherwise ValueError "invalid memory id '<text>'".
// A non-str argument is the TypeError of str_arg.
bool parse_id(PyObject* text, const char* fn, const char* name, ormel::MemoryId& out);
// An id to write a memory under: parse_id, refusing the all-zero id (which stands for "no
// id yet") with the same ValueError.
bool memory_id_to_write(PyObject* text, const char* fn, const char* name, ormel::MemoryId& out);

// Metadata value to JSON: None, bool, integers from -2**63 to 2**64-1 (stored unsigned when
// non-negative), anything convertible to a finite float, str, list, dict with str keys.
// Anything else is TypeError "metadata values must be null, bool, int, float, str, list, or
// dict"; a larger integer or a NaN or infinite float is ValueError naming the dict key it is
// under (it would otherwise come back as another value).
bool py_to_json(PyObject* o, ormel::Json& out);
// A metadata dict, or None (leaves `out` as it is).
bool metadata_arg(PyObject* o, const char* fn, const char* name, ormel::Json& out);
// JSON back to Python; objects become dicts in ascending key order. New reference.
PyObject* json_to_py(const ormel::Json& value);
// Cache value: a str's UTF-8 bytes, or a sequence of integers 0..255 (bytes, bytearray, list,
// tuple, a numpy uint8 array, anything whose items have __index__); anything else is
// TypeError "cache value must be str or bytes".
bool py_value_to_bytes(PyObject* o, std::vector<uint8_t>& out);

// Result conversions; each returns a new reference or nullptr with the exception set.
PyObject* str_to_py(std::string_view text);
PyObject* id_to_py(ormel::MemoryId id);
PyObject* strs_to_list(const std::vector<std::string>& texts);
PyObject* floats_to_list(const std::vector<float>& values);
PyObject* memory_to_dict(const ormel::Memory& memory);
PyObject* memories_to_list(const std::vector<ormel::Memory>& memories);
// With `hybrid`, each dict also gets the "bm25" key.
PyObject* recall_results_to_list(const std::vector<ormel::RecallResult>& results, bool hybrid = false);
PyObject* keyword_hits_to_list(const std::vector<ormel::KeywordHit>& hits);
// None, or the dict of keyword_index_stats().
PyObject* keyword_index_stats_to_py(const std::optional<ormel::KeywordIndexStats>& stats);
PyObject* search_hits_to_list(const std::vector<ormel::SearchHit>& hits);
PyObject* ids_to_list(const std::vector<ormel::MemoryId>& ids);
PyObject* snapshot_to_dict(const ormel::SnapshotInfo& info);
// Dicts {"txn_id", "created_at", "memory": memory dict}, in the given order.
PyObject* versions_to_list(const std::vector<ormel::MemoryVersion>& versions);
PyObject* snapshots_to_list(const std::vector<ormel::SnapshotInfo>& infos);
PyObject* stats_to_dict(const ormel::Stats& stats, uint64_t snapshots, uint16_t format_version);
// {"id", "agent_id", "memory_type", "scope"} per memory, the last three None when the
// record could not be read.
PyObject* listings_to_list(const std::vector<ormel::MemoryListing>& listings);
// {"checked": int, "memories": [{"id", "error"}], "structures": [{"structure", "error"}]}.
PyObject* verify_report_to_dict(const ormel::VerifyReport& report);
PyObject* space_to_dict(const ormel::SpaceReport& report, uint16_t format_version);
// None for a miss.
PyObject* cache_hit_to_py(const std::optional<ormel::CacheHit>& hit);
PyObject* cache_stats_to_dict(const ormel::CacheStats& stats);

}  // namespace ormel_py
