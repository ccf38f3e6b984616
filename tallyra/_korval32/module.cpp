// tallyra._korval32: the Python face of the native provenance core. This file converts
// arguments, checks them, calls the core and maps its errors; the algorithms live in the core.
#include <Python.h>

#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "pyarg.hpp"
#include "tracker.hpp"

namespace {

using pyarg::Ref;
using pyarg::Where;
using pyarg::guarded;
using korval::PairId;

// ---- the tracker object --------------------------------------------------------------------

struct TrackerObject {
  PyObject_HEAD
  korval::Tracker* tracker;
  korval::BorrowFlag* borrow;
};

PyTypeObject* tracker_type = nullptr;

TrackerObject* as_tracker(PyObject* self) { return reinterpret_cast<TrackerObject*>(self); }

bool to_tracker(PyObject* obj, const Where& w, TrackerObject*& out) {
  const int ok = PyObject_TypeCheck(obj, tracker_type);
  if (!ok) {
    pyarg::type_error(w.text() + " must be NativeProvenanceTracker, not " + pyarg::type_name(obj));
    return false;
  }
  out = as_tracker(obj);
  return true;
}

PyObject* tracker_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (PyTuple_Size(args) != 0 || (kwargs && PyDict_Size(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "NativeProvenanceTracker() takes no arguments");
    return nullptr;
  }
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  Ref self(alloc(type, 0));
  if (!self) return nullptr;
  TrackerObject* t = as_tracker(self.get());
  t->tracker = nullptr;
  t->borrow = nullptr;
  return guarded([&]() -> PyObject* {
    t->tracker = new korval::Tracker();
    t->borrow = new korval::BorrowFlag();
    return self.release();
  });
}

void tracker_dealloc(PyObject* self) {
  TrackerObject* t = as_tracker(self);
  delete t->tracker;
  delete t->borrow;
  PyTypeObject* type = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// ---- conversions of results ----------------------------------------------------------------

PyObject* word_object(std::uint32_t w) { return PyLong_FromUnsignedLong(w); }

PyObject* bool_object(bool b) { return PyBool_FromLong(b ? 1 : 0); }

PyObject* name_tuple(const korval::PairName& n) {
  Ref table(pyarg::from_text(n.table));
  if (!table) return nullptr;
  Ref column(pyarg::from_text(n.column));
  if (!column) return nullptr;
  return PyTuple_Pack(2, table.get(), column.get());
}

PyObject* id_list(const PairId* ids, std::size_t n) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* v = PyLong_FromLong(ids[i]);
    if (!v) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), v);
  }
  return list.release();
}

// A list of (table, column) tuples; `cache` reuses one tuple per pair across a batch.
PyObject* names_list(const std::vector<const korval::PairName*>& names,
                     std::unordered_map<const korval::PairName*, Ref>* cache) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(names.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < names.size(); ++i) {
    PyObject* tuple = nullptr;
    if (cache) {
      auto it = cache->find(names[i]);
      if (it == cache->end()) {
        Ref made(name_tuple(*names[i]));
        if (!made) return nullptr;
        it = cache->emplace(names[i], std::move(made)).first;
      }
      tuple = it->second.get();
      Py_INCREF(tuple);
    } else {
      tuple = name_tuple(*names[i]);
      if (!tuple) return nullptr;
    }
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), tuple);
  }
  return list.release();
}

// ---- methods ---------------------------------------------------------------------------------

enum class Access { Shared, Exclusive };

// Runs `work` on the tracker under a borrow of the given kind, gives the borrow back, and only
// then turns the result into a Python object with `box`: no Python code (a finalizer run by the
// garbage collector, say) ever runs while the tracker is borrowed.
template <Access kind, class Work, class Box>
PyObject* on_tracker(PyObject* self, Work work, Box box) {
  TrackerObject* t = as_tracker(self);
  return guarded([&]() -> PyObject* {
    auto result = [&] {
      const auto borrow = kind == Access::Shared ? t->borrow->shared() : t->borrow->exclusive();
      return work(*t->tracker);
    }();
    return box(result);
  });
}

PyObject* none_object(bool) { Py_RETURN_NONE; }

PyObject* small_int_object(PairId id) { return PyLong_FromLong(id); }

#define FASTCALL_ARGS PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames

constexpr const char* kTableColumnProtected[] = {"table", "column", "protected"};
constexpr const char* kTableColumnsProtected[] = {"table", "columns", "protected"};
constexpr const char* kPairId[] = {"pair_id"};
constexpr const char* kTableColumn[] = {"table", "column"};
constexpr const char* kTable[] = {"table"};
constexpr const char* kEncode[] = {"pairs", "entity", "chain", "taint", "depth"};
constexpr const char* kProv[] = {"prov"};
constexpr const char* kCombine[] = {"prov_a", "prov_b", "op"};
constexpr const char* kProvOp[] = {"prov", "op"};
constexpr const char* kProvPairId[] = {"prov", "pair_id"};

PyObject* t_register(FASTCALL_ARGS) {
  static constexpr pyarg::Params p{"register", kTableColumnProtected, 3, 3};
  PyObject* a[3];
  std::string table, column;
  bool protect = false;
  if (!pyarg::parse(p, args, nargs, kwnames, a) || !pyarg::to_text(a[0], {p.fn, "table"}, table) ||
      !pyarg::to_text(a[1], {p.fn, "column"}, column) ||
      !pyarg::to_flag(a[2], {p.fn, "protected"}, protect)) {
    return nullptr;
  }
  return on_tracker<Access::Exclusive>(
      self, [&](korval::Tracker& tr) { return tr.register_pair(table, column, protect); },
      small_int_object);
}

PyObject* t_register_table(FASTCALL_ARGS) {
  static constexpr pyarg::Params p{"register_table", kTableColumnsProtected, 3, 3};
  PyObject* a[3];
  std::string table;
  std::vector<std::string> columns;
  bool protect = false;
  if (!pyarg::parse(p, args, nargs, kwnames, a) || !pyarg::to_text(a[0], {p.fn, "table"}, table) ||
      !pyarg::to_vector<std::string>(a[1], {p.fn, "columns"}, "str", pyarg::to_text, columns) ||
      !pyarg::to_flag(a[2], {p.fn, "protected"}, protect)) {
    return nullptr;
  }
  return on_tracker<Access::Exclusive>(
      self, [&](korval::Tracker& tr) { return tr.register_table(table, columns, protect); },
      [](const std::vector<PairId>& ids) { return id_list(ids.data(), ids.size()); });
}

PyObject* t_get_name(FASTCALL_ARGS) {
  static constexpr pyarg::Params p{"get_name", kPairId, 1, 1};
  PyObject* a[1];
  std::uint16_t id = 0;
  if (!pyarg::parse(p, args, nargs, kwnames, a) || !pyarg::to_u16(a[0], {p.fn, "pair_id"}, id)) {
    return nullptr;
  }
  // Names are never moved or removed, so the pointer outlives the borrow.
  return on_tracker<Access::Shared>(
      self, [&](korval::Tracker& tr) { return tr.name_of(id); },
      [](const korval::PairName* name) { return name ? name_tuple(*name) : Py_NewRef(Py_None); });
}

PyObject* t_get_id(FASTCALL_ARGS) {
  static constexpr pyarg::Params p{"get_id", kTableColumn, 2, 2};
  PyObject* a[2];
  std::string table, column;
  if (!pyarg::parse(p, args, nargs, kwnames, a) || !pyarg::to_text(a[0], {p.fn, "table"}, table) ||
      !pyarg::to_text(a[1], {p.fn, "column"}, column)) {
    return nullptr;
  }
  return on_tracker<Access::Shared>(
      self, [&](korval::Tracker& tr) { return tr.get_id(table, column); },
      [](std::optional<PairId> id) { return id ? small_int_object(*id) : Py_NewRef(Py_None); });
}

PyObject* t_mark_table_protected(FASTCALL_ARGS) {
  static constexpr pyarg::Params p{"mark_table_protected", kTable, 1, 1};
  PyObject* a[1];
  std::string table;
  if (!pyarg::parse(p, args, nargs, kwnames, a) || !pyarg::to_text(a[0], {p.fn, "table"}, table)) {
    return nullptr;
  }
  return on_tracker<Access::Exclusive>(
      self, [&](korval::Tracker& tr) { return tr.mark_table_protected(table), true; },
      none_object);
}

PyObject* t_is_protected(FASTCALL_ARGS) {
  static constexpr pyarg::Params p{"is_protected", kTableColumn, 2, 1};
  PyObject* a[2];
  std::string table, column;
  if (!pyarg::parse(p, args, nargs, kwnames, a) || !pyarg::to_text(a[0], {p.fn, "table"}, table)) {
    return nullptr;
  }
  const bool has_column = a[1] && a[1] != Py_None;
  if (has_column && !pyarg::to_text(a[1], {p.fn, "column"}, column)) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      pyarg::type_error(Where{p.fn, "column"}.text() + " must be str or None, not " +
                        pyarg::type_name(a[1]));
    }
    return nullptr;
  }
  const std::string_view column_view = column;
  return on_tracker<Access::Shared>(
      self,
      [&](korval::Tracker& tr) { return tr.is_protected(table, has_column ? &column_view : nullptr); },
      bool_object);
}

PyObject* t_encode(FASTCALL_ARGS) {
  static constexpr pyarg::Params p{"encode", kEncode, 5, 5};
  PyObject* a[5];
  std::vector<PairId> ids;
  std::uint32_t entity = 0, chain = 0, depth = 0;
  bool taint = false;
  if (!pyarg::parse(p, args, nargs, kwnames, a) ||
      !pyarg::to_vector<PairId>(a[0], {p.fn, "pairs"}, "int", pyarg::to_u16, ids) ||
      !pyarg::to_u32(a[1], {p.fn, "entity"}, entity) ||
      !pyarg::to_u32(a[2], {p.fn, "chain"}, chain) ||
      !pyarg::to_flag(a[3], {p.fn, "taint"}, taint) ||
      !pyarg::to_u32(a[4], {p.fn, "depth"}, depth)) {
    return nullptr;
  }
  return on_tracker<Access::Shared>(
      self, [&](korval::Tracker& tr) { return tr.encode(ids, entity, chain, taint, depth); },
      word_object);
}

// Converts the one argument `prov` and decodes it under a shared borrow.
bool decode_arg(PyObject* self, const pyarg::Params& p, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, korval::DecodedWord& out) {
  PyObject* a[1];
  std::uint32_t w = 0;
  if (!pyarg::parse(p, args, nargs, kwnames, a) || !pyarg::to_u32(a[0], {p.fn, "prov"}, w)) {
    return false;
  }
  TrackerObject* t = as_tracker(self);
  return pyarg::attempt([&] {
    const auto borrow = t->borrow->shared();
    t->tracker->decode(w, out);
  });
}

PyObject* t_decode_full(FASTCALL_ARGS) {
  static constexpr pyarg::Params p{"decode_full", kProv, 1, 1};
  korval::DecodedWord d;
  if (!decode_arg(self, p, args, nargs, kwnames, d)) return nullptr;
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  Ref pairs(id_list(d.pairs.data(), d.pairs.size()));
  Ref entity(word_object(d.entity)), chain(word_object(d.chain));
  Ref taint(bool_object(d.taint)), depth(PyLong_FromUnsignedLong(d.depth));
  Ref mode(PyUnicode_FromString(korval::label_text(d.label)));
  if (!pairs || !entity || !chain || !taint || !depth || !mode ||
      PyDict_SetItemString(dict.get(), "pairs", pairs.get()) < 0 ||
      PyDict_SetItemString(dict.get(), "entity", entity.get()) < 0 ||
      PyDict_SetItemString(dict.get(), "chain", chain.get()) < 0 ||
      PyDict_SetItemString(dict.get(), "taint", taint.get()) < 0 ||
      PyDict_SetItemString(dict.get(), "depth", depth.get()) < 0 ||
      PyDict_SetItemString(dict.get(), "mode", mode.get()) < 0) {
    return nullptr;
  }
  return dict.release();
}

PyObject* t_decode(FASTCALL_ARGS) {
  static constexpr pyarg::Params p{"decode", kProv, 1, 1};
  korval::DecodedWord d;
  if (!decode_arg(self, p, args, nargs, kwnames, d)) return nullptr;
  return id_list(d.pairs.data(), d.pairs.size());
}

PyObject* t_combine(FASTCALL_ARGS) {
  static constexpr pyarg::Params p{"combine", kCombine, 3, 3};
  PyObject* a[3];
  std::uint32_t x = 0, y = 0, op = 0;
  if (!pyarg::parse(p, args, nargs, kwnames, a) || !pyarg::to_u32(a[0], {p.fn, "prov_a"}, x) ||
      !pyarg::to_u32(a[1], {p.fn, "prov_b"}, y) || !pyarg::to_u32(a[2], {p.fn, "op"}, op)) {
    return nullptr;
  }
  return on_tracker<Access::Shared>(
      self, [&](korval::Tracker& tr) { return tr.combine(x, y, op); }, word_object);
}

PyObject* t_update_chain(FASTCALL_ARGS) {
  static constexpr pyarg::Params p{"update_chain", kProvOp, 2, 2};
  PyObject* a[2];
  std::uint32_t x = 0, op = 0;
  if (!pyarg::parse(p, args, nargs, kwnames, a) || !pyarg::to_u32(a[0], {p.fn, "prov"}, x) ||
      !pyarg::to_u32(a[1], {p.fn, "op"}, op)) {
    return nullptr;
  }
  return on_tracker<Access::Shared>(
      self, [&](korval::Tracker& tr) { return tr.update_chain(x, op); }, word_object);
}

PyObject* t_explain(FASTCALL_ARGS) {
  static constexpr pyarg::Params p{"explain", kProv, 1, 1};
  PyObject* a[1];
  std::uint32_t w = 0;
  if (!pyarg::parse(p, args, nargs, kwnames, a) || !pyarg::to_u32(a[0], {p.fn, "prov"}, w)) {
    return nullptr;
  }
  return on_tracker<Access::Shared>(
      self, [&](korval::Tracker& tr) { return tr.explain(w); },
      [](const std::vector<const korval::PairName*>& names) { return names_list(names, nullptr); });
}

PyObject* t_has_protected(FASTCALL_ARGS) {
  static constexpr pyarg::Params p{"has_protected", kProv, 1, 1};
  PyObject* a[1];
  std::uint32_t w = 0;
  if (!pyarg::parse(p, args, nargs, kwnames, a) || !pyarg::to_u32(a[0], {p.fn, "prov"}, w)) {
    return nullptr;
  }
  return on_tracker<Access::Shared>(
      self, [&](korval::Tracker& tr) { return tr.has_protected(w); }, bool_object);
}

PyObject* t_contains(FASTCALL_ARGS) {
  static constexpr pyarg::Params p{"contains", kProvPairId, 2, 2};
  PyObject* a[2];
  std::uint32_t w = 0;
  std::uint16_t id = 0;
  if (!pyarg::parse(p, args, nargs, kwnames, a) || !pyarg::to_u32(a[0], {p.fn, "prov"}, w) ||
      !pyarg::to_u16(a[1], {p.fn, "pair_id"}, id)) {
    return nullptr;
  }
  return on_tracker<Access::Shared>(
      self, [&](korval::Tracker& tr) { return tr.contains(w, id); }, bool_object);
}

// Static readers: no tracker, no borrow. Converts `prov`, reads it and boxes the result.
template <class Result>
PyObject* static_reader(const char* fn, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, Result (*read)(std::uint32_t),
                        PyObject* (*box)(Result)) {
  const pyarg::Params p{fn, kProv, 1, 1};
  PyObject* a[1];
  std::uint32_t w = 0;
  if (!pyarg::parse(p, args, nargs, kwnames, a) || !pyarg::to_u32(a[0], {fn, "prov"}, w)) {
    return nullptr;
  }
  return box(read(w));
}

PyObject* depth_object(std::uint32_t d) { return PyLong_FromUnsignedLong(d); }

PyObject* header_object(korval::Header h) {
  Ref mode(PyLong_FromUnsignedLong(h.mode)), taint(bool_object(h.taint)),
      depth(PyLong_FromUnsignedLong(h.depth));
  if (!mode || !taint || !depth) return nullptr;
  return PyTuple_Pack(3, mode.get(), taint.get(), depth.get());
}

PyObject* s_is_tainted(FASTCALL_ARGS) {
  (void)self;
  return static_reader<bool>("is_tainted", args, nargs, kwnames, korval::is_tainted, bool_object);
}

PyObject* s_get_depth(FASTCALL_ARGS) {
  (void)self;
  return static_reader<std::uint32_t>("get_depth", args, nargs, kwnames, korval::get_depth,
                                      depth_object);
}

PyObject* s_risk_score(FASTCALL_ARGS) {
  (void)self;
  return static_reader<double>("risk_score", args, nargs, kwnames, korval::risk_score,
                               PyFloat_FromDouble);
}

PyObject* s_read_header(FASTCALL_ARGS) {
  (void)self;
  return static_reader<korval::Header>("read_header", args, nargs, kwnames, korval::read_header,
                                       header_object);
}

// ---- batch functions ---------------------------------------------------------------------------

constexpr const char* kCombineBatch[] = {"tracker", "prov_a", "prov_b", "op"};
constexpr const char* kUpdateBatch[] = {"tracker", "prov", "op"};
constexpr const char* kEncodeColumn[] = {"tracker", "pair_id", "entity_hashes", "taint"};
constexpr const char* kTrackerProv[] = {"tracker", "prov"};

PyObject* f_combine_batch(FASTCALL_ARGS) {
  (void)self;
  static constexpr pyarg::Params p{"combine_batch", kCombineBatch, 4, 4};
  PyObject* a[4];
  TrackerObject* t = nullptr;
  pyarg::WordArray x, y;
  std::uint32_t op = 0;
  if (!pyarg::parse(p, args, nargs, kwnames, a) || !to_tracker(a[0], {p.fn, "tracker"}, t) ||
      !x.convert(a[1], {p.fn, "prov_a"}) || !y.convert(a[2], {p.fn, "prov_b"}) ||
      !pyarg::to_u32(a[3], {p.fn, "op"}, op) || !x.check_contiguous() || !y.check_contiguous()) {
    return nullptr;
  }
  const std::size_t n = std::min(x.size(), y.size());
  pyarg::NewArray out;
  if (!out.create(n, pyarg::numpy()->uint32)) return nullptr;
  return guarded([&]() -> PyObject* {
    {
      const auto borrow = t->borrow->shared();
      t->tracker->combine_batch({x.data(), n}, {y.data(), n}, op, {out.data<std::uint32_t>(), n});
    }
    return out.finish();
  });
}

PyObject* f_update_chain_batch(FASTCALL_ARGS) {
  (void)self;
  static constexpr pyarg::Params p{"update_chain_batch", kUpdateBatch, 3, 3};
  PyObject* a[3];
  TrackerObject* t = nullptr;
  pyarg::WordArray x;
  std::uint32_t op = 0;
  if (!pyarg::parse(p, args, nargs, kwnames, a) || !to_tracker(a[0], {p.fn, "tracker"}, t) ||
      !x.convert(a[1], {p.fn, "prov"}) || !pyarg::to_u32(a[2], {p.fn, "op"}, op) ||
      !x.check_contiguous()) {
    return nullptr;
  }
  const std::size_t n = x.size();
  pyarg::NewArray out;
  if (!out.create(n, pyarg::numpy()->uint32)) return nullptr;
  return guarded([&]() -> PyObject* {
    {
      const auto borrow = t->borrow->shared();
      t->tracker->update_chain_batch({x.data(), n}, op, {out.data<std::uint32_t>(), n});
    }
    return out.finish();
  });
}

PyObject* f_encode_source_column(FASTCALL_ARGS) {
  (void)self;
  static constexpr pyarg::Params p{"encode_source_column", kEncodeColumn, 4, 4};
  PyObject* a[4];
  TrackerObject* t = nullptr;
  std::uint16_t id = 0;
  pyarg::WordArray hashes;
  bool taint = false;
  if (!pyarg::parse(p, args, nargs, kwnames, a) || !to_tracker(a[0], {p.fn, "tracker"}, t) ||
      !pyarg::to_u16(a[1], {p.fn, "pair_id"}, id) ||
      !hashes.convert(a[2], {p.fn, "entity_hashes"}) ||
      !pyarg::to_flag(a[3], {p.fn, "taint"}, taint) || !hashes.check_contiguous()) {
    return nullptr;
  }
  const std::size_t n = hashes.size();
  pyarg::NewArray out;
  if (!out.create(n, pyarg::numpy()->uint32)) return nullptr;
  return guarded([&]() -> PyObject* {
    {
      const auto borrow = t->borrow->shared();
      korval::encode_source_column(id, {hashes.data(), n}, taint, {out.data<std::uint32_t>(), n});
    }
    return out.finish();
  });
}

// The pattern of the two functions that need no tracker: copy the input, then compute without
// the interpreter lock, so that other Python threads run meanwhile and none of them can change
// what is read. The copy goes a block at a time through one small private buffer, which stays in
// cache, instead of through a second array as large as the input.
template <class T, class Loop>
PyObject* header_batch(const char* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       PyObject* pyarg::Numpy::*dtype, Loop loop) {
  const pyarg::Params p{fn, kProv, 1, 1};
  PyObject* a[1];
  pyarg::WordArray x;
  if (!pyarg::parse(p, args, nargs, kwnames, a) || !x.convert(a[0], {fn, "prov"}) ||
      !x.check_contiguous()) {
    return nullptr;
  }
  constexpr std::size_t kBlock = std::size_t{1} << 16;
  const std::size_t n = x.size();
  pyarg::NewArray out;
  if (!out.create(n, pyarg::numpy()->*dtype)) return nullptr;
  std::unique_ptr<std::uint32_t[]> copy(new (std::nothrow) std::uint32_t[std::min(n, kBlock) + 1]);
  if (!copy) return PyErr_NoMemory();
  T* dst = out.data<T>();
  for (std::size_t start = 0; start < n; start += kBlock) {
    const std::size_t len = std::min(kBlock, n - start);
    std::memcpy(copy.get(), x.data() + start, len * sizeof(std::uint32_t));
    Py_BEGIN_ALLOW_THREADS
    loop(std::span<const std::uint32_t>(copy.get(), len), std::span<T>(dst + start, len));
    Py_END_ALLOW_THREADS
  }
  return out.finish();
}

PyObject* f_is_tainted_batch(FASTCALL_ARGS) {
  (void)self;
  static_assert(sizeof(bool) == 1);
  return header_batch<std::uint8_t>(
      "is_tainted_batch", args, nargs, kwnames, &pyarg::Numpy::bool_,
      [](std::span<const std::uint32_t> in, std::span<std::uint8_t> o) {
        korval::is_tainted_batch(in, o);
      });
}

PyObject* f_risk_score_batch(FASTCALL_ARGS) {
  (void)self;
  return header_batch<double>(
      "risk_score_batch", args, nargs, kwnames, &pyarg::Numpy::float64,
      [](std::span<const std::uint32_t> in, std::span<double> o) {
        korval::risk_score_batch(in, o);
      });
}

PyObject* f_explain_batch(FASTCALL_ARGS) {
  (void)self;
  static constexpr pyarg::Params p{"explain_batch", kTrackerProv, 2, 2};
  PyObject* a[2];
  TrackerObject* t = nullptr;
  pyarg::WordArray x;
  if (!pyarg::parse(p, args, nargs, kwnames, a) || !to_tracker(a[0], {p.fn, "tracker"}, t) ||
      !x.convert(a[1], {p.fn, "prov"}) || !x.check_contiguous()) {
    return nullptr;
  }
  const std::size_t n = x.size();
  return guarded([&]() -> PyObject* {
    Ref list(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return nullptr;
    std::unordered_map<const korval::PairName*, Ref> cache;
    std::vector<const korval::PairName*> names;
    for (std::size_t i = 0; i < n; ++i) {
      {
        const auto borrow = t->borrow->shared();
        names = t->tracker->explain(x.data()[i]);
      }
      PyObject* entry = names_list(names, &cache);
      if (!entry) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), entry);
    }
    return list.release();
  });
}

// ---- tables --------------------------------------------------------------------------------------

#define FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f))
constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef tracker_methods[] = {
    {"register", FASTCALL(t_register), kFast,
     "register($self, table, column, protected)\n--\n\n"
     "Register a single (table, column) pair. Returns the assigned pair_id."},
    {"register_table", FASTCALL(t_register_table), kFast,
     "register_table($self, table, columns, protected)\n--\n\n"
     "Register all columns in a table at once. Returns a list of pair_ids."},
    {"get_name", FASTCALL(t_get_name), kFast,
     "get_name($self, pair_id)\n--\n\n"
     "Look up the (table, column) name for a pair_id."},
    {"get_id", FASTCALL(t_get_id), kFast,
     "get_id($self, table, column)\n--\n\n"
     "Look up the pair_id for a (table, column) name."},
    {"mark_table_protected", FASTCALL(t_mark_table_protected), kFast,
     "mark_table_protected($self, table)\n--\n\n"
     "Mark an entire table as protected."},
    {"is_protected", FASTCALL(t_is_protected), kFast,
     "is_protected($self, table, column=None)\n--\n\n"
     "Check whether a table (or specific column within it) is marked protected."},
    {"encode", FASTCALL(t_encode), kFast,
     "encode($self, pairs, entity, chain, taint, depth)\n--\n\n"
     "Encode a provenance word from its constituent parts."},
    {"decode_full", FASTCALL(t_decode_full), kFast,
     "decode_full($self, prov)\n--\n\n"
     "Decode a provenance word into a Python dict with keys:\n"
     "pairs, entity, chain, taint, depth, mode."},
    {"decode", FASTCALL(t_decode), kFast,
     "decode($self, prov)\n--\n\n"
     "Decode only the pair_ids from a provenance word."},
    {"combine", FASTCALL(t_combine), kFast,
     "combine($self, prov_a, prov_b, op)\n--\n\n"
     "Combine two provenance words under the given operation code."},
    {"update_chain", FASTCALL(t_update_chain), kFast,
     "update_chain($self, prov, op)\n--\n\n"
     "Append an operation to the chain of a single provenance word."},
    {"explain", FASTCALL(t_explain), kFast,
     "explain($self, prov)\n--\n\n"
     "Explain a provenance word as a list of (table, column) names."},
    {"has_protected", FASTCALL(t_has_protected), kFast,
     "has_protected($self, prov)\n--\n\n"
     "Return True if the provenance word references any protected column."},
    {"contains", FASTCALL(t_contains), kFast,
     "contains($self, prov, pair_id)\n--\n\n"
     "Return True if the provenance word contains the given pair_id."},
    {"is_tainted", FASTCALL(s_is_tainted), kFast | METH_STATIC,
     "is_tainted(prov)\n--\n\n"
     "Return True if the taint bit is set on a provenance word."},
    {"get_depth", FASTCALL(s_get_depth), kFast | METH_STATIC,
     "get_depth(prov)\n--\n\n"
     "Extract the chain depth from a provenance word."},
    {"risk_score", FASTCALL(s_risk_score), kFast | METH_STATIC,
     "risk_score(prov)\n--\n\n"
     "Compute a risk score in [0.0, 1.0] for a provenance word."},
    {"read_header", FASTCALL(s_read_header), kFast | METH_STATIC,
     "read_header(prov)\n--\n\n"
     "Read the 2-bit header from a provenance word.\n"
     "Returns (mode, taint_bit_set, depth)."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef module_functions[] = {
    {"combine_batch", FASTCALL(f_combine_batch), kFast,
     "combine_batch(tracker, prov_a, prov_b, op)\n--\n\n"
     "Combine two provenance arrays element-wise under a single op code.\n"
     "Replaces the per-row Python loop in TrackedSeries._binop().\n\n"
     "prov_a and prov_b are contiguous 1-D uint32 arrays. The result is a new uint32 array of\n"
     "length min(len(prov_a), len(prov_b)) with out[i] = tracker.combine(prov_a[i], prov_b[i], op);\n"
     "elements beyond the shorter input are ignored. The word 0 is the identity of each element.\n"
     "Results with four or more pairs add entries to the tracker's dense registry. The call keeps\n"
     "the interpreter lock and a shared borrow of the tracker for the whole loop."},
    {"update_chain_batch", FASTCALL(f_update_chain_batch), kFast,
     "update_chain_batch(tracker, prov, op)\n--\n\n"
     "Apply a unary chain operation to every element of a provenance array.\n"
     "Replaces the per-row Python loop in TrackedSeries._unop().\n\n"
     "The result is a new uint32 array of the same length with out[i] =\n"
     "tracker.update_chain(prov[i], op). The call keeps the interpreter lock and a shared borrow\n"
     "of the tracker for the whole loop."},
    {"encode_source_column", FASTCALL(f_encode_source_column), kFast,
     "encode_source_column(tracker, pair_id, entity_hashes, taint)\n--\n\n"
     "Encode an entire source column in one call.\n\n"
     "Used by wrap_dataframe(). Returns a new uint32 array with one word per entity hash: the\n"
     "single pair pair_id, entity entity_hashes[i] & 0xFF, chain 0, depth 0, and the taint bit\n"
     "when taint is true. The pair id is not checked against the registry. The call keeps the\n"
     "interpreter lock and a shared borrow of the tracker for the whole loop."},
    {"is_tainted_batch", FASTCALL(f_is_tainted_batch), kFast,
     "is_tainted_batch(prov)\n--\n\n"
     "Check the taint bit for every element of a provenance array.\n"
     "Returns a boolean NumPy array.\n\n"
     "Needs no tracker. The input is copied a block at a time into a private buffer, and each\n"
     "block's taint bits are read with the interpreter lock released, so the caller's array is\n"
     "never read while other Python threads run. The lock is held again to return the array."},
    {"risk_score_batch", FASTCALL(f_risk_score_batch), kFast,
     "risk_score_batch(prov)\n--\n\n"
     "Compute a risk score in [0.0, 1.0] for every element of a provenance array.\n\n"
     "Returns a new float64 array: 0.0 for an untainted word, otherwise 1 / (1 + depth). Needs no\n"
     "tracker. The input is copied a block at a time into a private buffer, and each block is\n"
     "scored with the interpreter lock released, so the caller's array is never read while\n"
     "other Python threads run. The lock is held again to return the array."},
    {"explain_batch", FASTCALL(f_explain_batch), kFast,
     "explain_batch(tracker, prov)\n--\n\n"
     "Explain every element of a provenance array.\n"
     "Returns a list of lists of (table, column) tuples.\n\n"
     "Entry i is what tracker.explain(prov[i]) returns. The call keeps the interpreter lock for\n"
     "the whole loop, since it creates Python strings for every element."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot tracker_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "NativeProvenanceTracker()\n--\n\n"
                    "The native provenance tracker: the registry of (table, column) pairs, their\n"
                    "protection marks and the dense signature registry, with the KORVAL-32 codec\n"
                    "and algebra over them.")},
    {Py_tp_new, reinterpret_cast<void*>(tracker_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tracker_dealloc)},
    {Py_tp_methods, tracker_methods},
    {0, nullptr},
};

PyType_Spec tracker_spec = {
    "tallyra._korval32.NativeProvenanceTracker",
    sizeof(TrackerObject),
    0,
    Py_TPFLAGS_DEFAULT,
    tracker_slots,
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_korval32",
    "KORVAL-32 provenance words: the native tracker, its batch operations and operation codes.",
    0,  // no per-module state; a non-negative size makes every interpreter call PyInit
    nullptr,  // the functions are added in order by create_module
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* the_module = nullptr;
std::int64_t owner_interpreter = -1;

PyObject* create_module() {
  Ref module(PyModule_Create(&module_def));
  if (!module) return nullptr;
  Ref all(PyList_New(0));
  if (!all) return nullptr;
  auto add = [&](const char* name, PyObject* value) {  // steals value
    Ref v(value);
    if (!v || PyModule_AddObjectRef(module.get(), name, v.get()) < 0) return false;
    Ref key(PyUnicode_FromString(name));
    return key && PyList_Append(all.get(), key.get()) == 0;
  };

  Ref type(PyType_FromSpec(&tracker_spec));
  if (!type) return nullptr;
  if (!add("NativeProvenanceTracker", Py_NewRef(type.get()))) return nullptr;
  Ref module_name(PyUnicode_FromString("tallyra._korval32"));
  if (!module_name) return nullptr;
  for (PyMethodDef* f = module_functions; f->ml_name; ++f) {
    if (!add(f->ml_name, PyCFunction_NewEx(f, module.get(), module_name.get()))) return nullptr;
  }
  for (const korval::OpName& op : korval::kOpNames) {
    if (!add(op.name, PyLong_FromUnsignedLong(op.value))) return nullptr;
  }
  if (PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) return nullptr;

  Ref internal(PyErr_NewExceptionWithDoc(
      "tallyra._korval32.InternalError",
      "A broken internal check of the native core, such as the limit of 512 pairs per tracker.\n"
      "It derives from BaseException, not Exception.",
      PyExc_BaseException, nullptr));
  if (!internal || PyModule_AddObjectRef(module.get(), "InternalError", internal.get()) < 0) {
    return nullptr;
  }
  tracker_type = reinterpret_cast<PyTypeObject*>(type.release());
  pyarg::internal_error = internal.release();
  return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit__korval32(void) {
  PyInterpreterState* interp = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interp);
  if (id < 0) return nullptr;
  if (the_module) {
    // The module and its type live once per process, in the interpreter that first loaded it.
    if (id != owner_interpreter) {
      PyErr_SetString(PyExc_ImportError,
                      "tallyra._korval32 does not support sub-interpreters: it can only be "
                      "imported once per process, in the interpreter that first imported it");
      return nullptr;
    }
    return Py_NewRef(the_module);
  }
  PyObject* module = create_module();
  if (!module) return nullptr;
  the_module = Py_NewRef(module);
  owner_interpreter = id;
  return module;
}
