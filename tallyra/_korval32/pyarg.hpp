// The binding's thin layer over the CPython limited API: owned references, argument parsing
// by position or keyword, the conversion rules shared by every method, NumPy arrays through
// the buffer protocol, and the mapping of core exceptions to Python ones.
//
// Every converter returns false with a Python exception set, naming the function and the
// argument, or true with the converted value.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "errors.hpp"

namespace pyarg {

// An owned reference, released when it goes out of scope.
class Ref {
 public:
  Ref() noexcept = default;
  explicit Ref(PyObject* o) noexcept : o_(o) {}  // steals `o`
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& r) noexcept : o_(r.o_) { r.o_ = nullptr; }
  Ref& operator=(Ref&& r) noexcept {
    if (this != &r) {
      Py_XDECREF(o_);
      o_ = r.o_;
      r.o_ = nullptr;
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(o_); }

  static Ref borrowed(PyObject* o) noexcept {
    Py_XINCREF(o);
    return Ref(o);
  }
  PyObject* get() const noexcept { return o_; }
  PyObject* release() noexcept {
    PyObject* o = o_;
    o_ = nullptr;
    return o;
  }
  explicit operator bool() const noexcept { return o_ != nullptr; }

 private:
  PyObject* o_ = nullptr;
};

// The name of an object's type, for messages ("int", "numpy.ndarray" is shown as "ndarray").
inline std::string type_name(PyObject* obj) {
  Ref name(PyType_GetName(Py_TYPE(obj)));
  if (!name) {
    PyErr_Clear();
    return "object";
  }
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(name.get(), &n);
  if (!s) {
    PyErr_Clear();
    return "object";
  }
  return std::string(s, static_cast<std::size_t>(n));
}

inline std::nullptr_t type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return nullptr;
}

// Where a value comes from: "f() argument 'x'", or "f() argument 'x' item 3".
struct Where {
  const char* fn;
  const char* arg;
  Py_ssize_t item = -1;

  std::string text() const {
    std::string s = std::string(fn) + "() argument '" + arg + "'";
    if (item >= 0) s += " item " + std::to_string(item);
    return s;
  }
  Where at(Py_ssize_t i) const { return {fn, arg, i}; }
};

// ---- argument parsing ----------------------------------------------------------------------

// A callable's parameters: all positional-or-keyword, the first `required` of them required.
struct Params {
  const char* fn;
  const char* const* names;
  int count;
  int required;
};

// Fills slots[0..count) with borrowed references to the given arguments, nullptr for omitted
// optional ones, following the rules and messages of CPython's own argument parser.
inline bool parse(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  PyObject** slots) {
  const Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
  if (nargs + nkw > p.count) {
    if (p.count == 0) {
      PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", p.fn, nargs + nkw);
    } else {
      PyErr_Format(PyExc_TypeError, "%s() takes at most %d argument%s (%zd given)", p.fn,
                   p.count, p.count == 1 ? "" : "s", nargs + nkw);
    }
    return false;
  }
  for (int i = 0; i < p.count; ++i) slots[i] = i < nargs ? args[i] : nullptr;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GetItem(kwnames, k);
    if (!key) return false;
    int found = -1;
    for (int i = 0; i < p.count; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, p.names[i]) == 0) {
        found = i;
        break;
      }
    }
    if (found < 0) {
      PyErr_Format(PyExc_TypeError, "'%U' is an invalid keyword argument for %s()", key, p.fn);
      return false;
    }
    if (slots[found]) {
      PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%d)",
                   p.fn, p.names[found], found + 1);
      return false;
    }
    slots[found] = args[nargs + k];
  }
  for (int i = 0; i < p.required; ++i) {
    if (!slots[i]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %d)", p.fn,
                   p.names[i], i + 1);
      return false;
    }
  }
  return true;
}

// ---- scalar conversions ----------------------------------------------------------------------

// An integer (int, or anything with __index__, NumPy integers included) in 0..max.
inline bool to_uint(PyObject* obj, const Where& w, std::uint64_t max, std::uint64_t& out) {
  Ref index;
  if (!PyLong_Check(obj)) {
    index = Ref(PyNumber_Index(obj));
    if (!index) {
      if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        type_error(w.text() + " must be int, not " + type_name(obj));
      }
      return false;
    }
    obj = index.get();
  }
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || v < 0 || static_cast<unsigned long long>(v) > max) {
    PyErr_Format(PyExc_OverflowError, "%s out of range (0 to %llu)", w.text().c_str(),
                 static_cast<unsigned long long>(max));
    return false;
  }
  out = static_cast<std::uint64_t>(v);
  return true;
}

inline bool to_u32(PyObject* obj, const Where& w, std::uint32_t& out) {
  std::uint64_t v = 0;
  if (!to_uint(obj, w, 0xFFFFFFFFu, v)) return false;
  out = static_cast<std::uint32_t>(v);
  return true;
}

inline bool to_u16(PyObject* obj, const Where& w, std::uint16_t& out) {
  std::uint64_t v = 0;
  if (!to_uint(obj, w, 0xFFFFu, v)) return false;
  out = static_cast<std::uint16_t>(v);
  return true;
}

// A str (or subclass) as UTF-8. Lone surrogates pass through, so every str round-trips.
inline bool to_text(PyObject* obj, const Where& w, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    type_error(w.text() + " must be str, not " + type_name(obj));
    return false;
  }
  Py_ssize_t n = 0;
  if (const char* s = PyUnicode_AsUTF8AndSize(obj, &n)) {
    out.assign(s, static_cast<std::size_t>(n));
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
  PyErr_Clear();
  Ref bytes(PyUnicode_AsEncodedString(obj, "utf-8", "surrogatepass"));
  if (!bytes) return false;
  char* s = nullptr;
  if (PyBytes_AsStringAndSize(bytes.get(), &s, &n) < 0) return false;
  out.assign(s, static_cast<std::size_t>(n));
  return true;
}

inline PyObject* from_text(const std::string& s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass");
}

// The type numpy.bool_ if NumPy is loaded, else nullptr (no object can then be a NumPy bool).
inline PyObject* numpy_bool_type() {
  static PyObject* cached = nullptr;
  if (cached) return cached;
  Ref name(PyUnicode_FromString("numpy"));
  if (!name) return nullptr;
  Ref np(PyImport_GetModule(name.get()));
  if (!np) {
    PyErr_Clear();
    return nullptr;
  }
  PyObject* t = PyObject_GetAttrString(np.get(), "bool_");
  if (!t) PyErr_Clear();
  cached = t;  // kept for the life of the process
  return cached;
}

// A Python bool or a NumPy bool scalar; everything else, the ints 0 and 1 included, is refused.
inline bool to_flag(PyObject* obj, const Where& w, bool& out) {
  if (PyBool_Check(obj)) {
    out = obj == Py_True;
    return true;
  }
  PyObject* np_bool = numpy_bool_type();
  if (np_bool && PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(np_bool))) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
  }
  type_error(w.text() + " must be bool, not " + type_name(obj));
  return false;
}

// A sequence (list, tuple, 1-D array, ...) but not a str, converted element by element.
template <class T, class Convert>
bool to_vector(PyObject* obj, const Where& w, const char* of, Convert convert,
               std::vector<T>& out) {
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
    type_error(w.text() + " must be a sequence of " + of + " (a list, tuple or 1-D array), not " +
               type_name(obj));
    return false;
  }
  const Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      type_error(w.text() + " must be a sized sequence of " + of + ", not " + type_name(obj));
    }
    return false;
  }
  out.clear();
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item(PySequence_GetItem(obj, i));
    if (!item) return false;
    T value{};
    if (!convert(item.get(), w.at(i), value)) return false;
    out.push_back(std::move(value));
  }
  return true;
}

// ---- NumPy arrays through the buffer protocol ------------------------------------------------

struct Numpy {
  PyObject* ndarray = nullptr;
  PyObject* empty = nullptr;
  PyObject* uint32 = nullptr;
  PyObject* bool_ = nullptr;
  PyObject* float64 = nullptr;
};

// NumPy's array type, `empty` and the dtypes the outputs use; imported on first use and kept
// for the life of the process. Returns nullptr with ImportError set when NumPy is missing.
inline const Numpy* numpy() {
  static Numpy np;
  if (np.ndarray) return &np;
  Ref mod(PyImport_ImportModule("numpy"));
  if (!mod) return nullptr;
  Numpy got;
  got.ndarray = PyObject_GetAttrString(mod.get(), "ndarray");
  got.empty = PyObject_GetAttrString(mod.get(), "empty");
  got.uint32 = PyObject_GetAttrString(mod.get(), "uint32");
  got.bool_ = PyObject_GetAttrString(mod.get(), "bool_");
  got.float64 = PyObject_GetAttrString(mod.get(), "float64");
  if (!got.ndarray || !got.empty || !got.uint32 || !got.bool_ || !got.float64) {
    Py_XDECREF(got.ndarray);
    Py_XDECREF(got.empty);
    Py_XDECREF(got.uint32);
    Py_XDECREF(got.bool_);
    Py_XDECREF(got.float64);
    return nullptr;
  }
  np = got;
  return &np;
}

// Whether a buffer format names a native-order unsigned 32-bit integer: NumPy reports uint32
// as "I", or as "L" where long is 32 bits; an explicit native byte-order prefix is fine too.
inline bool is_native_u32(const char* format, Py_ssize_t itemsize) {
  if (itemsize != 4 || !format) return false;
  const char native = [] {
    const std::uint16_t probe = 1;
    return *reinterpret_cast<const char*>(&probe) == 1 ? '<' : '>';
  }();
  if (*format == '@' || *format == '=' || *format == native) ++format;
  return (format[0] == 'I' || format[0] == 'L') && format[1] == '\0';
}

// A read-only view of a 1-D NumPy array of uint32 words.
class WordArray {
 public:
  WordArray() = default;
  WordArray(const WordArray&) = delete;
  WordArray& operator=(const WordArray&) = delete;
  ~WordArray() {
    if (held_) PyBuffer_Release(&view_);
  }

  bool convert(PyObject* obj, const Where& w) {
    const std::string expected = w.text() + " must be a 1-D numpy.ndarray of dtype uint32, not ";
    const Numpy* np = numpy();
    if (!np) {
      PyErr_Clear();
      type_error(expected + type_name(obj) + " (NumPy is not available)");
      return false;
    }
    const int is_array = PyObject_IsInstance(obj, np->ndarray);
    if (is_array < 0) return false;
    if (!is_array) {
      type_error(expected + type_name(obj));
      return false;
    }
    if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) < 0) {
      PyErr_Clear();
      type_error(expected + "an array of dtype " + dtype_text(obj));
      return false;
    }
    held_ = true;
    if (view_.ndim != 1) {
      type_error(expected + "a " + std::to_string(view_.ndim) + "-D array");
      return false;
    }
    if (!is_native_u32(view_.format, view_.itemsize)) {
      type_error(expected + "an array of dtype " + dtype_text(obj));
      return false;
    }
    return true;
  }

  // Run once all arguments are converted.
  bool check_contiguous() const {
    if (size() <= 1 || view_.strides[0] == 4) return true;
    type_error("The given array is not contiguous");
    return false;
  }

  std::size_t size() const noexcept { return static_cast<std::size_t>(view_.shape[0]); }
  const std::uint32_t* data() const noexcept { return static_cast<const std::uint32_t*>(view_.buf); }

 private:
  static std::string dtype_text(PyObject* obj) {
    Ref dtype(PyObject_GetAttrString(obj, "dtype"));
    Ref text(dtype ? PyObject_Str(dtype.get()) : nullptr);
    const char* s = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
    if (!s) {
      PyErr_Clear();
      return "?";
    }
    return s;
  }

  Py_buffer view_{};
  bool held_ = false;
};

// A new, writable, contiguous 1-D NumPy array of n elements of `dtype`, with its buffer open.
class NewArray {
 public:
  NewArray() = default;
  NewArray(const NewArray&) = delete;
  NewArray& operator=(const NewArray&) = delete;
  ~NewArray() { close(); }

  bool create(std::size_t n, PyObject* dtype) {
    const Numpy* np = numpy();
    if (!np) return false;
    Ref length(PyLong_FromSize_t(n));
    if (!length) return false;
    array_ = Ref(PyObject_CallFunctionObjArgs(np->empty, length.get(), dtype, nullptr));
    if (!array_) return false;
    if (PyObject_GetBuffer(array_.get(), &view_, PyBUF_CONTIG) < 0) return false;
    held_ = true;
    return true;
  }

  template <class T>
  T* data() const noexcept {
    return static_cast<T*>(view_.buf);
  }

  // Closes the buffer and hands the array to the caller.
  PyObject* finish() {
    close();
    return array_.release();
  }

 private:
  void close() {
    if (held_) {
      PyBuffer_Release(&view_);
      held_ = false;
    }
  }

  Ref array_;
  Py_buffer view_{};
  bool held_ = false;
};

// ---- exceptions ----------------------------------------------------------------------------

// The module's internal-error type; set at module initialisation.
inline PyObject* internal_error = nullptr;

// Sets the Python exception that matches the C++ exception being handled. Call it only from
// inside a catch block.
inline void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const korval::InternalError& e) {
    PyErr_SetString(internal_error, e.what());
  } catch (const korval::BorrowError& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {  // a container asked for more than it can hold
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(internal_error, e.what());
  } catch (...) {
    PyErr_SetString(internal_error, "unexpected native failure");
  }
}

// Runs `body`, which returns a new reference or nullptr with an exception set, and turns any C++
// exception into the matching Python one: no C++ exception leaves the binding.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

// The same for a body with no result: false with a Python exception set if it threw.
template <class Body>
bool attempt(Body&& body) noexcept {
  try {
    body();
    return true;
  } catch (...) {
    set_error_from_current_exception();
    return false;
  }
}

}  // namespace pyarg
