#include "python/src/convert.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "python/src/errors.h"

namespace ormel_py {

bool type_error(PyObject* o, const char* fn, const char* name, const char* kind) {
  PyObject* type_name = PyType_GetName(Py_TYPE(o));
  if (type_name == nullptr) return false;
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %U", fn, name, kind, type_name);
  Py_DECREF(type_name);
  return false;
}

namespace {

// Re-raises the pending exception with the text prefixed "<fn>() argument '<name>': ". A type
// that cannot be made from one message (UnicodeEncodeError takes five arguments) is raised as
// it was, with a note naming the argument.
bool reraise_for(const char* fn, const char* name) {
  return reraise_with(std::string(fn) + "() argument '" + name + "': ", {}, Unmakeable::AddNote);
}

bool refuse_str_as_vec() {
  PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
  return false;
}

// 'f' for native float32, 'd' for native float64, 0 otherwise. A byte-order prefix is
// accepted when it names the machine's own order.
char float_format(const char* format, Py_ssize_t itemsize) {
  if (format == nullptr) return 0;
  const char prefix = format[0];
  const bool native = prefix == '@' || prefix == '=' ||
                      (prefix == '<' && std::endian::native == std::endian::little) ||
                      ((prefix == '>' || prefix == '!') && std::endian::native == std::endian::big);
  if (native) ++format;
  if (format[0] == 0 || format[1] != 0) return 0;
  if (format[0] == 'f' && itemsize == 4) return 'f';
  if (format[0] == 'd' && itemsize == 8) return 'd';
  return 0;
}

// Calls read(view) on the buffer of `o`; false (with no exception set) when `o` has no
// buffer or `read` refuses its shape or format.
template <class F>
bool read_buffer(PyObject* o, F read) {
  if (!PyObject_CheckBuffer(o)) return false;
  Py_buffer view;
  if (PyObject_GetBuffer(o, &view, PyBUF_FORMAT | PyBUF_STRIDES) != 0) {
    PyErr_Clear();
    return false;
  }
  // Released however `read` ends, an allocation failure included: a buffer left exported
  // would lock the caller's array against resizing.
  struct Release {
    Py_buffer& view;
    ~Release() { PyBuffer_Release(&view); }
  } release{view};
  return read(view);
}

// n values of `kind` ('f' or 'd') at `base`, `stride` bytes apart, as float32 into `out`.
void floats_into(const char* base, Py_ssize_t n, Py_ssize_t stride, char kind, float* out) {
  if (kind == 'f' && stride == sizeof(float)) {  // contiguous float32: one copy
    std::memcpy(out, base, static_cast<size_t>(n) * sizeof(float));
    return;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (kind == 'f') {
      std::memcpy(&out[i], base + i * stride, sizeof(float));
    } else {
      double d;
      std::memcpy(&d, base + i * stride, sizeof(double));
      out[i] = static_cast<float>(d);
    }
  }
}

// n values of `kind` ('f' or 'd') at `base`, `stride` bytes apart, as float32.
std::vector<float> floats_at(const char* base, Py_ssize_t n, Py_ssize_t stride, char kind) {
  if (kind == 'f' && stride == sizeof(float) && reinterpret_cast<uintptr_t>(base) % alignof(float) == 0) {
    // Contiguous aligned float32: one copy, without zeroing the values first.
    const auto* first = reinterpret_cast<const float*>(base);
    return std::vector<float>(first, first + n);
  }
  std::vector<float> values(static_cast<size_t>(n));
  floats_into(base, n, stride, kind, values.data());
  return values;
}

// Reads a 1-D float32/float64 buffer; false (with no exception set) when `o` has none.
bool vector_from_buffer(PyObject* o, std::vector<float>& out) {
  return read_buffer(o, [&](const Py_buffer& view) {
    const char kind = float_format(view.format, view.itemsize);
    if (view.ndim != 1 || kind == 0) return false;
    const Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : view.itemsize;
    out = floats_at(static_cast<const char*>(view.buf), view.shape[0], stride, kind);
    return true;
  });
}

// Reads a 1-D buffer of unsigned bytes (format "B", a numpy uint8 array among others);
// false (with no exception set) when `o` has none.
bool bytes_from_buffer(PyObject* o, std::vector<uint8_t>& out) {
  return read_buffer(o, [&](const Py_buffer& view) {
    const char* format = view.format;
    if (view.ndim != 1 || format == nullptr || view.itemsize != 1) return false;
    if (format[0] != 0 && std::strchr("@=<>!", format[0]) != nullptr) ++format;  // no order for one byte
    if (std::strcmp(format, "B") != 0) return false;
    const Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : 1;
    const auto* base = static_cast<const uint8_t*>(view.buf);
    out.resize(static_cast<size_t>(view.shape[0]));
    for (Py_ssize_t i = 0; i < view.shape[0]; ++i) out[i] = base[i * stride];
    return true;
  });
}

// Refuses a vector with a NaN or infinite component: it would rank first (NaN) or make every
// similarity meaningless. Checked after the narrowing to float32, where 1e39 is infinite.
bool finite_vector(const std::vector<float>& values, const char* fn, const char* name) {
  for (size_t i = 0; i < values.size(); ++i) {
    if (!std::isfinite(values[i])) {
      invalid_format("%s() argument '%s' must contain only finite 32-bit floats (item %zu is not)", fn,
                   name, i);
      return false;
    }
  }
  return true;
}

bool put(PyObject* dict, const char* key, PyObject* value) {
  if (value == nullptr) return false;
  const int rc = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return rc == 0;
}

// A string literal usable as a template argument.
template <size_t N>
struct Literal {
  char text[N];
  constexpr Literal(const char (&s)[N]) { std::copy_n(s, N, text); }
};

// The keys of the dicts that recall and search return by the thousand, interned once for
// the life of the process: a fresh key str per entry would cost more than the entry.
template <Literal Key>
PyObject* interned() {
  static PyObject* key = nullptr;
  if (key == nullptr) key = PyUnicode_InternFromString(Key.text);
  return key;
}

// put() under an interned key.
template <Literal Key>
bool put(PyObject* dict, PyObject* value) {
  PyObject* key = interned<Key>();
  if (value == nullptr || key == nullptr) {
    Py_XDECREF(value);
    return false;
  }
  const int rc = PyDict_SetItem(dict, key, value);
  Py_DECREF(value);
  return rc == 0;
}

PyObject* opt_str_to_py(const std::optional<std::string>& text) {
  if (!text) Py_RETURN_NONE;
  return str_to_py(*text);
}

template <class T, class F>
PyObject* list_of(const std::vector<T>& items, F convert) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
  if (list == nullptr) return nullptr;
  for (size_t i = 0; i < items.size(); ++i) {
    PyObject* item = convert(items[i]);
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

bool metadata_type_error() {
  PyErr_SetString(PyExc_TypeError, "metadata values must be null, bool, int, float, str, list, or dict");
  return false;
}

bool to_json(PyObject* o, const std::string& key, ormel::Json& out);

// A number JSON cannot hold, or the store cannot hold exactly, is refused rather than
// stored as something else.
bool number_refused(const std::string& key, const char* why) {
  invalid_format("metadata value of key '%s' %s", key.c_str(), why);
  return false;
}

// Items keep the key of the dict value they lie in, for messages.
bool json_from_list(PyObject* list, const std::string& key, ormel::Json& out) {
  ormel::Json array = ormel::Json::array();
  // The size is read again on every step: converting an item may run Python code.
  for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
    PyObject* item = PyList_GetItem(list, i);
    if (item == nullptr) return false;
    Py_INCREF(item);
    ormel::Json value;
    const bool ok = to_json(item, key, value);
    Py_DECREF(item);
    if (!ok) return false;
    array.push_back(std::move(value));
  }
  out = std::move(array);
  return true;
}

bool json_from_dict(PyObject* dict, ormel::Json& out) {
  // A snapshot of the items, so that conversions running Python code cannot disturb the walk.
  PyObject* items = PyDict_Items(dict);
  if (items == nullptr) return false;
  ormel::Json object = ormel::Json::object();
  bool ok = true;
  for (Py_ssize_t i = 0; ok && i < PyList_Size(items); ++i) {
    ok = false;
    PyObject* pair = PyList_GetItem(items, i);
    PyObject* key = PyTuple_GetItem(pair, 0);
    Py_ssize_t len = 0;
    // A non-str key fails here with the interpreter's TypeError.
    const char* text = PyUnicode_AsUTF8AndSize(key, &len);
    if (text == nullptr) break;
    std::string name(text, static_cast<size_t>(len));
    ormel::Json value;
    ok = to_json(PyTuple_GetItem(pair, 1), name, value);
    if (ok) object[std::move(name)] = std::move(value);
  }
  Py_DECREF(items);
  if (ok) out = std::move(object);
  return ok;
}

}  // namespace

bool str_arg(PyObject* o, const char* fn, const char* name, std::string& out) {
  if (!PyUnicode_Check(o)) return type_error(o, fn, name, "str");
  Py_ssize_t len = 0;
  const char* text = PyUnicode_AsUTF8AndSize(o, &len);
  if (text == nullptr) return reraise_for(fn, name);
  out.assign(text, static_cast<size_t>(len));
  return true;
}

bool opt_str_arg(PyObject* o, const char* fn, const char* name, std::optional<std::string>& out) {
  if (o == Py_None) {
    out.reset();
    return true;
  }
  if (!PyUnicode_Check(o)) return type_error(o, fn, name, "str or None");
  std::string text;
  if (!str_arg(o, fn, name, text)) return false;
  out = std::move(text);
  return true;
}

bool bool_arg(PyObject* o, const char* fn, const char* name, bool& out) {
  if (!PyBool_Check(o)) return type_error(o, fn, name, "bool");
  out = o == Py_True;
  return true;
}

bool u64_arg(PyObject* o, const char* fn, const char* name, uint64_t& out) {
  PyObject* index = PyNumber_Index(o);
  if (index == nullptr) return reraise_for(fn, name);
  const unsigned long long value = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return reraise_for(fn, name);
  out = value;
  return true;
}

bool i64_arg(PyObject* o, const char* fn, const char* name, int64_t& out) {
  PyObject* index = PyNumber_Index(o);
  if (index == nullptr) return reraise_for(fn, name);
  const long long value = PyLong_AsLongLong(index);
  Py_DECREF(index);
  if (value == -1 && PyErr_Occurred()) return reraise_for(fn, name);
  out = value;
  return true;
}

bool opt_u64_arg(PyObject* o, const char* fn, const char* name, std::optional<uint64_t>& out) {
  if (o == Py_None) {
    out.reset();
    return true;
  }
  uint64_t value = 0;
  if (!u64_arg(o, fn, name, value)) return false;
  out = value;
  return true;
}

bool opt_format_version_arg(PyObject* o, const char* fn, std::optional<uint16_t>& out) {
  if (o == Py_None) {
    out.reset();
    return true;
  }
  PyObject* index = PyNumber_Index(o);
  if (index == nullptr) return reraise_for(fn, "format_version");
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index, &overflow);
  Py_DECREF(index);
  if (value == -1 && PyErr_Occurred()) return reraise_for(fn, "format_version");
  const bool fits = overflow == 0 && value >= 0 && value <= std::numeric_limits<uint16_t>::max();
  out = fits ? static_cast<uint16_t>(value) : 0;
  return true;
}

bool opt_i64_arg(PyObject* o, const char* fn, const char* name, std::optional<int64_t>& out) {
  if (o == Py_None) {
    out.reset();
    return true;
  }
  int64_t value = 0;
  if (!i64_arg(o, fn, name, value)) return false;
  out = value;
  return true;
}

bool f64_arg(PyObject* o, const char* fn, const char* name, double& out) {
  const double value = PyFloat_AsDouble(o);
  if (value == -1.0 && PyErr_Occurred()) return reraise_for(fn, name);
  out = value;
  return true;
}

bool importance_arg(PyObject* o, const char* fn, const char* name, float& out) {
  double value = 0;
  if (!f64_arg(o, fn, name, value)) return false;
  out = static_cast<float>(std::isnan(value) ? 0.0 : std::clamp(value, 0.0, 1.0));
  return true;
}

namespace {

// The text an exception was raised with: its argument when that is its only one and a str
// (str() of a KeyError would quote it, and each re-raise quote it again), otherwise str().
PyObject* exception_text(PyObject* value) {
  PyObject* args = PyObject_GetAttrString(value, "args");
  if (args != nullptr && PyTuple_Check(args) && PyTuple_Size(args) == 1 && PyUnicode_Check(PyTuple_GetItem(args, 0))) {
    PyObject* text = Py_NewRef(PyTuple_GetItem(args, 0));
    Py_DECREF(args);
    return text;
  }
  Py_XDECREF(args);
  PyErr_Clear();
  return PyObject_Str(value);
}

// An exception of `type` carrying `message`, or null when the type is not made from one
// message (UnicodeEncodeError takes five arguments).
PyObject* remade(PyObject* type, PyObject* message) {
  PyObject* made = PyObject_CallFunctionObjArgs(type, message, nullptr);
  if (made != nullptr && PyExceptionInstance_Check(made)) return made;
  Py_XDECREF(made);
  PyErr_Clear();
  return nullptr;
}

// The built-in base of `type` that is made from one message, ValueError or TypeError,
// carrying `message` followed by the notes of `value`; null for other types.
PyObject* as_builtin_base(PyObject* type, PyObject* value, PyObject* message) {
  PyObject* notes = PyObject_GetAttrString(value, "__notes__");
  PyErr_Clear();
  PyObject* joined = nullptr;
  if (notes != nullptr && PyList_Check(notes) && PyList_Size(notes) > 0) {
    PyObject* separator = PyUnicode_FromString("; ");
    PyObject* all = separator != nullptr ? PyUnicode_Join(separator, notes) : nullptr;
    joined = all != nullptr ? PyUnicode_FromFormat("%U (%U)", message, all) : nullptr;
    Py_XDECREF(all);
    Py_XDECREF(separator);
  }
  Py_XDECREF(notes);
  PyErr_Clear();
  PyObject* text = joined != nullptr ? joined : Py_NewRef(message);
  PyObject* made = nullptr;
  for (PyObject* base : {PyExc_ValueError, PyExc_TypeError}) {
    if (made == nullptr && PyObject_IsSubclass(type, base) == 1) made = PyObject_CallFunctionObjArgs(base, text, nullptr);
  }
  Py_DECREF(text);
  PyErr_Clear();
  return made;
}

}  // namespace

bool reraise_prefixed(const std::string& prefix, std::string_view strip) {
  return reraise_with(prefix, strip, Unmakeable::UseBuiltinBase);
}

bool reraise_with(const std::string& prefix, std::string_view strip, Unmakeable unmakeable) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value == nullptr) {
    PyErr_Restore(type, value, traceback);
    return false;
  }
  PyObject* text = exception_text(value);
  PyObject* head = text != nullptr ? PyUnicode_FromStringAndSize(strip.data(), static_cast<Py_ssize_t>(strip.size()))
                                   : nullptr;
  if (head != nullptr && PyUnicode_GetLength(head) > 0 && PyUnicode_Tailmatch(text, head, 0, PY_SSIZE_T_MAX, -1) == 1) {
    PyObject* rest = PyUnicode_Substring(text, PyUnicode_GetLength(head), PyUnicode_GetLength(text));
    Py_DECREF(text);
    text = rest;
  }
  Py_XDECREF(head);
  PyObject* message = text != nullptr ? PyUnicode_FromFormat("%s%U", prefix.c_str(), text)
                                      : PyUnicode_FromFormat("%sinvalid", prefix.c_str());
  Py_XDECREF(text);
  PyObject* renamed = message != nullptr ? remade(type, message) : nullptr;
  if (renamed == nullptr && message != nullptr && unmakeable == Unmakeable::UseBuiltinBase)
    renamed = as_builtin_base(type, value, message);
  if (renamed == nullptr && message != nullptr) {
    // Nothing could carry the prefix: the original goes on as raised, the prefix as a note.
    const std::string head = "in " + prefix.substr(0, prefix.ends_with(": ") ? prefix.size() - 2 : prefix.size());
    PyObject* note = PyUnicode_FromString(head.c_str());
    PyObject* added = note != nullptr ? PyObject_CallMethod(value, "add_note", "O", note) : nullptr;
    Py_XDECREF(added);
    Py_XDECREF(note);
  }
  Py_XDECREF(message);
  if (renamed == nullptr) {
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    return false;
  }
  PyException_SetCause(renamed, value);  // steals `value`: the original stays reachable
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(renamed)), renamed);
  Py_DECREF(renamed);
  Py_DECREF(type);
  Py_XDECREF(traceback);
  return false;
}

bool vector_arg(PyObject* o, const char* fn, const char* name, std::vector<float>& out) {
  if (PyUnicode_Check(o)) return refuse_str_as_vec();
  std::vector<float> values;
  if (!vector_from_buffer(o, values)) {
    if (!PySequence_Check(o)) return type_error(o, fn, name, "a sequence of numbers");
    const Py_ssize_t n = PySequence_Size(o);
    if (n < 0) return reraise_for(fn, name);
    values.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PySequence_GetItem(o, i);
      if (item == nullptr) return reraise_for(fn, name);
      const double d = PyFloat_AsDouble(item);
      Py_DECREF(item);
      if (d == -1.0 && PyErr_Occurred()) return reraise_for(fn, name);
      values[static_cast<size_t>(i)] = static_cast<float>(d);
    }
  }
  if (!finite_vector(values, fn, name)) return false;
  out = std::move(values);
  return true;
}

bool path_arg(PyObject* o, const char* fn, const char* name, std::string& out) {
  std::string text;
  if (!str_arg(o, fn, name, text)) return false;
  if (text.find('\0') != std::string::npos) {
    invalid_format("%s() argument '%s' must not contain NUL characters", fn, name);
    return false;
  }
  out = std::move(text);
  return true;
}

BufferRows::~BufferRows() {
  if (held_) PyBuffer_Release(&view_);
}

bool BufferRows::open(PyObject* o, bool in_place) {
  if (opened_ || !PyObject_CheckBuffer(o)) return false;
  if (PyObject_GetBuffer(o, &view_, PyBUF_FORMAT | PyBUF_STRIDES) != 0) {
    PyErr_Clear();
    return false;
  }
  held_ = true;
  const char kind = float_format(view_.format, view_.itemsize);
  if (view_.ndim != 2 || kind == 0) {
    PyBuffer_Release(&view_);
    held_ = false;
    return false;
  }
  const Py_ssize_t count = view_.shape[0];
  const Py_ssize_t width = view_.shape[1];
  const Py_ssize_t stride = view_.strides != nullptr ? view_.strides[1] : view_.itemsize;
  const Py_ssize_t row_stride = view_.strides != nullptr ? view_.strides[0] : width * view_.itemsize;
  const char* base = static_cast<const char*>(view_.buf);
  rows_.count = static_cast<size_t>(count);
  rows_.width = static_cast<size_t>(width);
  const bool readable_in_place = kind == 'f' && stride == sizeof(float) && row_stride >= 0 &&
                                 row_stride % static_cast<Py_ssize_t>(sizeof(float)) == 0 &&
                                 reinterpret_cast<uintptr_t>(base) % alignof(float) == 0;
  if (in_place && readable_in_place) {
    rows_.data = reinterpret_cast<const float*>(base);
    rows_.stride = static_cast<size_t>(row_stride) / sizeof(float);
    return opened_ = true;
  }
  copy_ = std::make_unique_for_overwrite<float[]>(static_cast<size_t>(count * width));
  for (Py_ssize_t r = 0; r < count; ++r) floats_into(base + r * row_stride, width, stride, kind, &copy_[r * width]);
  rows_.data = copy_.get();
  rows_.stride = rows_.width;
  // The copy stands alone: the caller's array is free again.
  PyBuffer_Release(&view_);
  held_ = false;
  return opened_ = true;
}

bool memory_types_arg(PyObject* o, const char* fn, const char* name,
                      std::optional<std::vector<ormel::MemoryType>>& out) {
  if (o == Py_None) {
    out.reset();
    return true;
  }
  if (PyUnicode_Check(o)) return refuse_str_as_vec();
  if (!PySequence_Check(o)) return type_error(o, fn, name, "a sequence of str");
  const Py_ssize_t n = PySequence_Size(o);
  if (n < 0) return reraise_for(fn, name);
  std::vector<ormel::MemoryType> types;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_GetItem(o, i);
    if (item == nullptr) return reraise_for(fn, name);
    ormel::MemoryType type;
    const bool ok = parse_type(item, fn, name, type);
    Py_DECREF(item);
    if (!ok) return false;
    types.push_back(type);
  }
  out = std::move(types);
  return true;
}

bool recall_args(PyObject* query, PyObject* top_k, PyObject* memory_types, const char* fn,
                 ormel::RecallRequest& request) {
  return vector_arg(query, fn, "query", request.query) &&
         (top_k == nullptr || u64_arg(top_k, fn, "top_k", request.top_k)) &&
         memory_types_arg(memory_types, fn, "memory_types", request.memory_types);
}

bool where_arg(PyObject* o, const char* fn, std::optional<ormel::MetadataFilter>& out) {
  if (o == Py_None) return true;
  if (!PyDict_Check(o)) {
    // ValueError rather than type_error's TypeError: every malformed filter raises the same.
    PyObject* type_name = PyType_GetName(Py_TYPE(o));
    if (type_name == nullptr) return false;
    invalid_format("%s() argument 'where' must be a dict, not %U", fn, type_name);
    Py_DECREF(type_name);
    return false;
  }
  ormel::Json json;
  if (!py_to_json(o, json)) {
    if (PyErr_ExceptionMatches(PyExc_ValueError)) return reraise_prefixed(std::string(fn) + "() argument 'where': ", {});
    // Values that are no JSON make a malformed filter as much as a bad operator does.
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
    invalid_format(
                 "%s() argument 'where': keys must be str and values null, bool, int, float, str, list or dict", fn);
    return false;
  }
  auto parsed = ormel::parse_filter(json);
  if (!parsed) {
    invalid_format("%s() argument 'where': %s", fn, parsed.error().text().c_str());
    return false;
  }
  out = std::move(*parsed);
  return true;
}

bool memory_filter_args(PyObject* where, PyObject* session_id, PyObject* created_after, PyObject* created_before,
                        const char* fn, ormel::MemoryFilter& out) {
  return where_arg(where, fn, out.where) && opt_str_arg(session_id, fn, "session_id", out.session_id) &&
         opt_i64_arg(created_after, fn, "created_after", out.created_after) &&
         opt_i64_arg(created_before, fn, "created_before", out.created_before);
}

bool parse_type(PyObject* text, const char* fn, const char* name, ormel::MemoryType& out) {
  std::string utf8;
  if (!str_arg(text, fn, name, utf8)) return false;
  const std::optional<ormel::MemoryType> type = ormel::parse_memory_type(utf8);
  if (!type) {
    invalid_format("unknown memory_type '%U'", text);
    return false;
  }
  out = *type;
  return true;
}

bool parse_id(PyObject* text, const char* fn, const char* name, ormel::MemoryId& out) {
  std::string utf8;
  if (!str_arg(text, fn, name, utf8)) return false;
  const std::optional<ormel::MemoryId> id = ormel::ulid_from_text(utf8);
  if (!id) {
    invalid_format("invalid memory id '%U'", text);
    return false;
  }
  out = *id;
  return true;
}

bool memory_id_to_write(PyObject* text, const char* fn, const char* name, ormel::MemoryId& out) {
  ormel::MemoryId id = 0;
  if (!parse_id(text, fn, name, id)) return false;
  if (id == 0) {
    invalid_format("invalid memory id '%U'", text);
    return false;
  }
  out = id;
  return true;
}

namespace {

// An integer from -2**63 to 2**64-1, kept exactly (non-negative ones unsigned).
bool integer_to_json(PyObject* o, const std::string& key, ormel::Json& out) {
  PyObject* index = PyNumber_Index(o);
  if (index == nullptr) return false;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index, &overflow);
  if (value == -1 && PyErr_Occurred()) {
    Py_DECREF(index);
    return false;
  }
  if (overflow == 0) {
    Py_DECREF(index);
    out = value >= 0 ? ormel::Json(static_cast<uint64_t>(value)) : ormel::Json(static_cast<int64_t>(value));
    return true;
  }
  const unsigned long long large = overflow > 0 ? PyLong_AsUnsignedLongLong(index) : 0;
  Py_DECREF(index);
  if (overflow < 0 || (large == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
    PyErr_Clear();
    return number_refused(key, "is out of range (integers from -2**63 to 2**64-1 are stored)");
  }
  out = static_cast<uint64_t>(large);
  return true;
}

bool to_json(PyObject* o, const std::string& key, ormel::Json& out) {
  if (o == Py_None) {
    out = nullptr;
    return true;
  }
  if (PyBool_Check(o)) {
    out = o == Py_True;
    return true;
  }
  if (PyIndex_Check(o)) return integer_to_json(o, key, out);
  if (!PyUnicode_Check(o)) {
    const double value = PyFloat_AsDouble(o);
    if (!(value == -1.0 && PyErr_Occurred())) {
      if (!std::isfinite(value)) return number_refused(key, "is not a finite number (NaN and infinities cannot be stored)");
      out = value;
      return true;
    }
    PyErr_Clear();
  }
  if (PyUnicode_Check(o)) {
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(o, &len);
    if (text == nullptr) return false;
    out = std::string(text, static_cast<size_t>(len));
    return true;
  }
  if (!PyList_Check(o) && !PyDict_Check(o)) return metadata_type_error();
  if (Py_EnterRecursiveCall(" while converting metadata") != 0) return false;
  const bool ok = PyList_Check(o) ? json_from_list(o, key, out) : json_from_dict(o, out);
  Py_LeaveRecursiveCall();
  return ok;
}

}  // namespace

bool py_to_json(PyObject* o, ormel::Json& out) { return to_json(o, {}, out); }

bool metadata_arg(PyObject* o, const char* fn, const char* name, ormel::Json& out) {
  if (o == Py_None) return true;
  if (!PyDict_Check(o)) return type_error(o, fn, name, "dict or None");
  return py_to_json(o, out);
}

PyObject* json_to_py(const ormel::Json& value) {
  using T = ormel::Json::value_t;
  switch (value.type()) {
    case T::boolean:
      return PyBool_FromLong(value.get<bool>());
    case T::number_integer:
      return PyLong_FromLongLong(value.get<int64_t>());
    case T::number_unsigned:
      return PyLong_FromUnsignedLongLong(value.get<uint64_t>());
    case T::number_float:
      return PyFloat_FromDouble(value.get<double>());
    case T::string:
      return str_to_py(value.get_ref<const std::string&>());
    case T::array:
      return list_of(value.get_ref<const ormel::Json::array_t&>(), json_to_py);
    case T::object: {
      PyObject* dict = PyDict_New();
      if (dict == nullptr) return nullptr;
      for (const auto& [key, item] : value.items()) {
        PyObject* py_key = str_to_py(key);
        PyObject* converted = py_key != nullptr ? json_to_py(item) : nullptr;
        if (converted == nullptr || PyDict_SetItem(dict, py_key, converted) != 0) {
          Py_XDECREF(py_key);
          Py_XDECREF(converted);
          Py_DECREF(dict);
          return nullptr;
        }
        Py_DECREF(py_key);
        Py_DECREF(converted);
      }
      return dict;
    }
    default:  // null (binary and discarded values never come from a record)
      Py_RETURN_NONE;
  }
}

bool py_value_to_bytes(PyObject* o, std::vector<uint8_t>& out) {
  if (PyUnicode_Check(o)) {
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(o, &len);
    if (text == nullptr) return false;
    out.assign(text, text + len);
    return true;
  }
  if (PyBytes_Check(o)) {
    char* data = nullptr;
    Py_ssize_t len = 0;
    if (PyBytes_AsStringAndSize(o, &data, &len) != 0) return false;
    out.assign(data, data + len);
    return true;
  }
  if (PyByteArray_Check(o)) {
    const char* data = PyByteArray_AsString(o);
    out.assign(data, data + PyByteArray_Size(o));
    return true;
  }
  std::vector<uint8_t> bytes;
  if (bytes_from_buffer(o, bytes)) {
    out = std::move(bytes);
    return true;
  }
  // Any other sequence of integers 0..255, numpy integers included (through __index__).
  bool ok = PySequence_Check(o);
  const Py_ssize_t n = ok ? PySequence_Size(o) : 0;
  ok = ok && n >= 0;
  for (Py_ssize_t i = 0; ok && i < n; ++i) {
    PyObject* item = PySequence_GetItem(o, i);
    PyObject* index = item != nullptr && PyIndex_Check(item) ? PyNumber_Index(item) : nullptr;
    const long value = index != nullptr ? PyLong_AsLong(index) : -1;
    Py_XDECREF(index);
    Py_XDECREF(item);
    ok = value >= 0 && value <= 255;
    bytes.push_back(static_cast<uint8_t>(value));
  }
  PyErr_Clear();
  if (!ok) {
    PyErr_SetString(PyExc_TypeError, "cache value must be str or bytes");
    return false;
  }
  out = std::move(bytes);
  return true;
}

PyObject* str_to_py(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* id_to_py(ormel::MemoryId id) { return str_to_py(ormel::ulid_to_text(id)); }

PyObject* floats_to_list(const std::vector<float>& values) {
  PyObject* list = list_of(values, [](float v) { return PyFloat_FromDouble(v); });
  // A list of floats cannot be part of a reference cycle, so the garbage collector need not
  // walk its hundreds of items at every collection while results are kept (it would, as
  // it does for any list). Only a caller who later stores in it an object that refers back
  // to it makes a cycle, which is then freed only when broken by hand.
  if (list != nullptr) PyObject_GC_UnTrack(list);
  return list;
}

PyObject* ids_to_list(const std::vector<ormel::MemoryId>& ids) { return list_of(ids, id_to_py); }

PyObject* strs_to_list(const std::vector<std::string>& texts) {
  return list_of(texts, [](const std::string& text) { return str_to_py(text); });
}

PyObject* memory_to_dict(const ormel::Memory& m) {
  PyObject* d = PyDict_New();
  if (d == nullptr) return nullptr;
  const bool ok =
      put<"id">(d, id_to_py(m.id)) && put<"content">(d, str_to_py(m.content)) &&
      put<"memory_type">(d, str_to_py(ormel::memory_type_text(m.memory_type))) &&
      put<"vector">(d, floats_to_list(m.vector)) && put<"agent_id">(d, str_to_py(m.agent_id)) &&
      put<"session_id">(d, opt_str_to_py(m.session_id)) &&
      put<"scope">(d, str_to_py(ormel::scope_text(m.scope))) &&
      put<"created_at">(d, PyLong_FromLongLong(m.created_at)) &&
      put<"accessed_at">(d, PyLong_FromLongLong(m.accessed_at)) &&
      put<"access_count">(d, PyLong_FromUnsignedLong(m.access_count)) &&
      put<"importance">(d, PyFloat_FromDouble(m.importance)) &&
      put<"ttl_secs">(d, m.ttl_secs ? PyLong_FromLongLong(*m.ttl_secs) : Py_NewRef(Py_None)) &&
      put<"metadata">(d, m.metadata.is_object() ? json_to_py(m.metadata) : PyDict_New());
  if (!ok) {
    Py_DECREF(d);
    return nullptr;
  }
  return d;
}

PyObject* memories_to_list(const std::vector<ormel::Memory>& memories) {
  return list_of(memories, memory_to_dict);
}

PyObject* recall_results_to_list(const std::vector<ormel::RecallResult>& results, bool hybrid) {
  return list_of(results, [hybrid](const ormel::RecallResult& r) -> PyObject* {
    PyObject* d = memory_to_dict(r.memory);
    if (d == nullptr) return nullptr;
    if (!put<"score">(d, PyFloat_FromDouble(r.score)) || !put<"similarity">(d, PyFloat_FromDouble(r.similarity)) ||
        (hybrid && !put<"bm25">(d, PyFloat_FromDouble(r.keyword_score)))) {
      Py_DECREF(d);
      return nullptr;
    }
    return d;
  });
}

PyObject* search_hits_to_list(const std::vector<ormel::SearchHit>& hits) {
  return list_of(hits, [](const ormel::SearchHit& h) -> PyObject* {
    PyObject* d = memory_to_dict(h.memory);
    if (d == nullptr) return nullptr;
    return Py_BuildValue("(Nd)", d, static_cast<double>(h.similarity));
  });
}

PyObject* keyword_hits_to_list(const std::vector<ormel::KeywordHit>& hits) {
  return list_of(hits, [](const ormel::KeywordHit& h) -> PyObject* {
    PyObject* d = memory_to_dict(h.memory);
    if (d == nullptr) return nullptr;
    return Py_BuildValue("(Nd)", d, h.score);
  });
}

PyObject* keyword_index_stats_to_py(const std::optional<ormel::KeywordIndexStats>& stats) {
  if (!stats) Py_RETURN_NONE;
  PyObject* d = PyDict_New();
  if (d == nullptr) return nullptr;
  if (!put(d, "documents", PyLong_FromUnsignedLongLong(stats->documents)) ||
      !put(d, "terms", PyLong_FromUnsignedLongLong(stats->terms)) ||
      !put(d, "bytes", PyLong_FromUnsignedLongLong(stats->bytes))) {
    Py_DECREF(d);
    return nullptr;
  }
  return d;
}

PyObject* snapshot_to_dict(const ormel::SnapshotInfo& info) {
  PyObject* d = PyDict_New();
  if (d == nullptr) return nullptr;
  if (!put(d, "txn_id", PyLong_FromUnsignedLongLong(info.txn_id)) ||
      !put(d, "created_at", PyLong_FromLongLong(info.created_at)) ||
      !put(d, "memory_count", PyLong_FromUnsignedLongLong(info.memory_count))) {
    Py_DECREF(d);
    return nullptr;
  }
  return d;
}

PyObject* versions_to_list(const std::vector<ormel::MemoryVersion>& versions) {
  return list_of(versions, [](const ormel::MemoryVersion& v) -> PyObject* {
    PyObject* d = PyDict_New();
    if (d == nullptr) return nullptr;
    if (!put(d, "txn_id", PyLong_FromUnsignedLongLong(v.txn_id)) ||
        !put(d, "created_at", PyLong_FromLongLong(v.created_at)) || !put(d, "memory", memory_to_dict(v.memory))) {
      Py_DECREF(d);
      return nullptr;
    }
    return d;
  });
}

PyObject* snapshots_to_list(const std::vector<ormel::SnapshotInfo>& infos) {
  return list_of(infos, snapshot_to_dict);
}

PyObject* stats_to_dict(const ormel::Stats& s, uint64_t snapshots, uint16_t format_version) {
  PyObject* index = !s.index ? Py_NewRef(Py_None)
                             : Py_BuildValue("{sKsKsK}", "vectors", static_cast<unsigned long long>(s.index->vectors),
                                             "partitions", static_cast<unsigned long long>(s.index->partitions),
                                             "subspaces", static_cast<unsigned long long>(s.index->subspaces));
  if (index == nullptr) return nullptr;
  PyObject* d = PyDict_New();
  const bool ok = d != nullptr && put(d, "memories", PyLong_FromUnsignedLongLong(s.live)) &&
                  put(d, "deleted", PyLong_FromUnsignedLongLong(s.deleted)) &&
                  put(d, "dimensions", PyLong_FromUnsignedLongLong(s.dimensions)) &&
                  put(d, "file_bytes", PyLong_FromUnsignedLongLong(s.file_bytes)) &&
                  put(d, "agents", list_of(s.agents, [](const std::string& a) { return str_to_py(a); })) &&
                  put(d, "encrypted", PyBool_FromLong(s.encrypted)) &&
                  put(d, "created_at", PyLong_FromLongLong(s.created_at)) &&
                  put(d, "wal_pages", PyLong_FromUnsignedLongLong(s.wal_pages)) &&
                  put(d, "snapshots", PyLong_FromUnsignedLongLong(snapshots)) &&
                  put(d, "index", Py_NewRef(index)) &&
                  put(d, "format_version", PyLong_FromUnsignedLong(format_version));
  Py_DECREF(index);
  if (!ok) {
    Py_XDECREF(d);
    return nullptr;
  }
  return d;
}

PyObject* listings_to_list(const std::vector<ormel::MemoryListing>& listings) {
  return list_of(listings, [](const ormel::MemoryListing& l) -> PyObject* {
    PyObject* d = PyDict_New();
    if (d == nullptr) return nullptr;
    const auto& k = l.kind;
    const bool ok =
        put<"id">(d, id_to_py(l.id)) && put<"agent_id">(d, k ? str_to_py(k->agent_id) : Py_NewRef(Py_None)) &&
        put<"memory_type">(d, k ? str_to_py(ormel::memory_type_text(k->memory_type)) : Py_NewRef(Py_None)) &&
        put<"scope">(d, k ? str_to_py(ormel::scope_text(k->scope)) : Py_NewRef(Py_None));
    if (!ok) {
      Py_DECREF(d);
      return nullptr;
    }
    return d;
  });
}

PyObject* verify_report_to_dict(const ormel::VerifyReport& report) {
  // {key: value, "error": the error's display text}; takes the reference of `value`.
  const auto with_error = [](const char* key, PyObject* value, const ormel::OrmelError& error) -> PyObject* {
    PyObject* text = value != nullptr ? str_to_py(error.message()) : nullptr;
    if (text == nullptr) {
      Py_XDECREF(value);
      return nullptr;
    }
    return Py_BuildValue("{sNsN}", key, value, "error", text);
  };
  PyObject* memories = list_of(report.memories, [&](const ormel::VerifyReport::DamagedMemory& m) {
    return with_error("id", id_to_py(m.id), m.error);
  });
  PyObject* structures =
      memories == nullptr ? nullptr : list_of(report.structures, [&](const ormel::VerifyReport::DamagedStructure& d) {
        return with_error("structure", str_to_py(d.what), d.error);
      });
  if (memories == nullptr || structures == nullptr) {
    Py_XDECREF(memories);
    Py_XDECREF(structures);
    return nullptr;
  }
  return Py_BuildValue("{sKsNsN}", "checked", static_cast<unsigned long long>(report.checked), "memories", memories,
                       "structures", structures);
}

PyObject* space_to_dict(const ormel::SpaceReport& r, uint16_t format_version) {
  PyObject* failure = r.auto_compact_failure ? str_to_py(r.auto_compact_failure->message()) : Py_NewRef(Py_None);
  if (failure == nullptr) return nullptr;
  return Py_BuildValue("{sKsKsKsKsNsI}", "file_bytes", static_cast<unsigned long long>(r.file_bytes),
                       "current_bytes", static_cast<unsigned long long>(r.current_bytes), "history_bytes",
                       static_cast<unsigned long long>(r.history_bytes), "reclaimable_bytes",
                       static_cast<unsigned long long>(r.reclaimable_bytes), "auto_compact_error", failure,
                       "format_version", static_cast<unsigned int>(format_version));
}

PyObject* cache_hit_to_py(const std::optional<ormel::CacheHit>& hit) {
  if (!hit) Py_RETURN_NONE;
  PyObject* d = PyDict_New();
  if (d == nullptr) return nullptr;
  const char* value = reinterpret_cast<const char*>(hit->value.data());
  bool ok = put(d, "value", PyBytes_FromStringAndSize(value, static_cast<Py_ssize_t>(hit->value.size())));
  if (ok && hit->similarity) ok = put(d, "similarity", PyFloat_FromDouble(*hit->similarity));
  ok = ok && put(d, "content_type", str_to_py(hit->content_type)) &&
       put(d, "created_at", PyLong_FromLongLong(hit->created_at)) &&
       put(d, "accessed_at", PyLong_FromLongLong(hit->accessed_at)) &&
       put(d, "access_count", PyLong_FromUnsignedLong(hit->access_count));
  if (ok && hit->ttl_secs) ok = put(d, "ttl_secs", PyLong_FromUnsignedLongLong(*hit->ttl_secs));
  if (!ok) {
    Py_DECREF(d);
    return nullptr;
  }
  return d;
}

PyObject* cache_stats_to_dict(const ormel::CacheStats& s) {
  return Py_BuildValue("{sKsKsKsKsdsK}", "entries", static_cast<unsigned long long>(s.entries), "bytes",
                       static_cast<unsigned long long>(s.bytes), "hits", static_cast<unsigned long long>(s.hits),
                       "misses", static_cast<unsigned long long>(s.misses), "hit_rate", s.hit_rate,
                       "evictions", static_cast<unsigned long long>(s.evictions));
}

}  // namespace ormel_py
