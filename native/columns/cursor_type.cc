#include "columns/cursor_type.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "columns/capsules.h"
#include "columns/guarded.h"
#include "columns/module_state.h"
#include "columns/table_type.h"
#include "core/run_budget.h"
#include "core/run_cursor.h"
#include "json/writer.h"
#include "protocol/chunk_text.h"
#include "protocol/spec_reading.h"
#include "tables/block_pool.h"
#include "tables/run_tables.h"

namespace talpen::columns {

namespace {

constexpr unsigned long long kDefaultBarsPerChunk = 65536;

// What a cursor keeps between calls: the run's state and the buffers that
// each chunk reuses.
struct CursorState {
  CursorState(const ValidSpec& spec, uint64_t bars_per_chunk)
      : cursor(spec), bars_per_chunk(bars_per_chunk), chunk(tables::take_chunk_buffers()) {}
  ~CursorState() { tables::give_chunk_buffers(std::move(chunk)); }
  CursorState(const CursorState&) = delete;
  CursorState& operator=(const CursorState&) = delete;

  RunCursor cursor;
  uint64_t bars_per_chunk;
  RunBars chunk;  // the buffers of the last run that ended, if any
  std::vector<StreamEvent> events;
};

struct CursorObject {
  PyObject_HEAD
  CursorState* state;  // owned
  std::atomic<bool> busy;
};

struct TableStreamObject {
  PyObject_HEAD
  ValidSpec* spec;  // owned
  size_t index;
  uint64_t bars_per_chunk;
};

CursorObject* as_cursor(PyObject* self) { return reinterpret_cast<CursorObject*>(self); }
TableStreamObject* as_stream(PyObject* self) { return reinterpret_cast<TableStreamObject*>(self); }

// The spec and chunk size both classes take: the spec read as generate reads
// it, a chunk of at least one bar that memory can hold, and book levels that
// a column can number.
Result<ValidSpec> read_run(std::string_view text, uint64_t bars_per_chunk) {
  Result<ValidSpec> spec = protocol::read_spec_document(text);
  if (!spec.ok()) return spec;
  if (Status numbered = tables::check_level_numbering(spec.value().get()); !numbered.ok()) {
    return std::move(numbered).failure();
  }
  GenSpec chunk = spec.value().get();
  chunk.bars = std::min<uint64_t>(chunk.bars, bars_per_chunk);
  if (Status fits = check_run_fits(chunk, 1.0); !fits.ok()) return std::move(fits).failure();
  return spec;
}

bool parse_run_args(PyObject* args, PyObject* kwargs, const char* format, const char** keywords,
                    std::string_view* text, unsigned long long* bars_per_chunk, const char** table) {
  PyObject* spec = nullptr;
  *bars_per_chunk = kDefaultBarsPerChunk;
  bool ok = table == nullptr
                ? PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &spec,
                                              bars_per_chunk)
                : PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &spec, table,
                                              bars_per_chunk);
  if (!ok) return false;
  if (*bars_per_chunk == 0) {
    PyErr_SetString(PyExc_ValueError, "bars_per_chunk must be at least 1");
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(spec, &size);
  if (utf8 == nullptr) return false;
  *text = std::string_view(utf8, static_cast<size_t>(size));
  return true;
}

PyObject* cursor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"spec_json", "bars_per_chunk", nullptr};
  std::string_view text;
  unsigned long long bars_per_chunk = 0;
  if (!parse_run_args(args, kwargs, "U|K:Cursor", keywords, &text, &bars_per_chunk, nullptr)) return nullptr;
  return guarded([&]() -> PyObject* {
    Result<ValidSpec> spec = read_run(text, bars_per_chunk);
    if (!spec.ok()) return pyglue::raise_error(spec.error());
    auto state = std::make_unique<CursorState>(spec.value(), bars_per_chunk);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    as_cursor(self)->state = state.release();
    new (&as_cursor(self)->busy) std::atomic<bool>(false);
    return self;
  });
}

void cursor_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete as_cursor(self)->state;
  as_cursor(self)->busy.~atomic();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

// Makes the next chunk and runs `produce` on it, without the interpreter
// lock; *ended when the run had no bars left. A chunk for records other than
// book snapshots leaves the book's levels out (`book_levels` false), one for
// records other than trades the trades. False with an exception set.
template <class Produce>
bool next_chunk(PyObject* self, bool* ended, bool book_levels, bool trades, Produce&& produce) {
  CursorObject* obj = as_cursor(self);
  CursorState& s = *obj->state;
  return run_unlocked(obj->busy, "Cursor", [&]() -> Status {
    s.cursor.skip_book_levels(!book_levels);
    s.cursor.skip_trades(!trades);
    Result<uint64_t> produced = s.cursor.next(s.bars_per_chunk, &s.chunk);
    if (!produced.ok()) return std::move(produced).failure();
    *ended = produced.value() == 0;
    return *ended ? ok_status() : produce(s);
  });
}

PyObject* bytes_of(const json::JsonWriter& out) {
  return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

PyObject* cursor_next_json(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"kind", nullptr};
  const char* name = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s:next_json", const_cast<char**>(keywords), &name)) return nullptr;
  const std::optional<protocol::RecordList> list = protocol::record_list_from_name(name);
  if (!list) {
    PyErr_Format(PyExc_ValueError,
                 "unknown kind '%s': expected candles, book_snapshots, trades, funding or events", name);
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    json::JsonWriter out;
    bool ended = false;
    if (!next_chunk(self, &ended, protocol::needs_book_levels(*list), protocol::needs_trades(*list),
                    [&](CursorState& s) {
          return protocol::write_chunk_records(out, s.chunk, *list, &s.events);
        })) {
      return nullptr;
    }
    if (ended) Py_RETURN_NONE;
    return bytes_of(out);
  });
}

PyObject* cursor_next_rows(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"table", "fmt", nullptr};
  const char* table_name = nullptr;
  const char* format_name = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ss:next_rows", const_cast<char**>(keywords), &table_name,
                                   &format_name)) {
    return nullptr;
  }
  const std::optional<protocol::RowTable> table = protocol::row_table_from_name(table_name);
  const std::optional<protocol::RowFormat> format = protocol::row_format_from_name(format_name);
  if (!table || !format) {
    PyErr_SetString(PyExc_ValueError,
                    "next_rows takes a table (candles, book, trades, funding) and a format (csv, jsonl)");
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    json::JsonWriter out;
    bool ended = false;
    if (!next_chunk(self, &ended, *table == protocol::RowTable::Book, *table == protocol::RowTable::Trades,
                    [&](CursorState& s) {
          protocol::write_chunk_rows(out, s.chunk, *table, *format);
          return ok_status();
        })) {
      return nullptr;
    }
    if (ended) Py_RETURN_NONE;
    return bytes_of(out);
  });
}

PyObject* cursor_next_tables(PyObject* self, PyObject*) {
  ModuleState* state = state_of_type(Py_TYPE(self));
  if (state == nullptr || state->table_type == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "talpen_synth._talpen_columns is being torn down");
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    tables::RunTables laid_out;
    bool ended = false;
    if (!next_chunk(self, &ended, true, true, [&](CursorState& s) {
          laid_out = tables::chunk_tables(s.chunk, tables::shared_block_pool());
          return ok_status();
        })) {
      return nullptr;
    }
    if (ended) Py_RETURN_NONE;
    Owned result(PyTuple_New(static_cast<Py_ssize_t>(laid_out.size())));
    if (!result) return nullptr;
    for (size_t i = 0; i < laid_out.size(); ++i) {
      PyObject* table = new_table(state->table_type, std::move(laid_out[i]));
      if (table == nullptr) return nullptr;
      PyTuple_SetItem(result.get(), static_cast<Py_ssize_t>(i), table);  // steals
    }
    return result.release();
  });
}

PyObject* get_bars(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(as_cursor(self)->state->cursor.spec().bars);
}
PyObject* get_bars_done(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(as_cursor(self)->state->cursor.bars_done());
}
PyObject* get_has_funding(PyObject* self, void*) {
  const GenSpec& spec = as_cursor(self)->state->cursor.spec();
  const auto& funding = spec.microstructure.funding;
  return PyBool_FromLong(funding && funding->interval_bars <= spec.bars);
}

constexpr const char kCursorDoc[] =
    "Cursor(spec_json, bars_per_chunk=65536)\n--\n\n"
    "A run produced chunk by chunk, in memory bounded by the chunk.\n\n"
    "The spec is read as generate() reads it. Each next_* call makes the next\n"
    "`bars_per_chunk` bars (the interpreter lock released) and returns them in\n"
    "one form, or None once the run is over. Chunks of any size give, joined,\n"
    "exactly the whole run's text and tables.";

PyMethodDef cursor_methods[] = {
    {"next_json", pyglue::as_method(cursor_next_json), METH_VARARGS | METH_KEYWORDS,
     "next_json($self, kind)\n--\n\n"
     "The next chunk's records of `kind` (\"candles\", \"book_snapshots\", \"trades\",\n"
     "\"funding\" or \"events\") as JSON text, each as in the generate answers,\n"
     "joined by commas, without brackets; b\"\" when the chunk has none."},
    {"next_rows", pyglue::as_method(cursor_next_rows), METH_VARARGS | METH_KEYWORDS,
     "next_rows($self, table, fmt)\n--\n\n"
     "The next chunk's rows of `table` (\"candles\", \"book\", \"trades\", \"funding\")\n"
     "as \"csv\" (no header) or \"jsonl\" lines, numbers in the answers' text."},
    {"next_tables", cursor_next_tables, METH_NOARGS,
     "next_tables($self)\n--\n\nThe next chunk's four tables (candles, book, trades, funding)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef cursor_getset[] = {
    {"bars", get_bars, nullptr, "The run's number of bars.", nullptr},
    {"bars_done", get_bars_done, nullptr, "Bars produced so far.", nullptr},
    {"has_funding", get_has_funding, nullptr, "Whether the run has any funding point.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot cursor_slots[] = {
    {Py_tp_doc, const_cast<char*>(kCursorDoc)},
    {Py_tp_new, reinterpret_cast<void*>(cursor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(cursor_dealloc)},
    {Py_tp_methods, cursor_methods},
    {Py_tp_getset, cursor_getset},
    {0, nullptr},
};

PyType_Spec cursor_spec = {
    .name = "talpen_synth._talpen_columns.Cursor",
    .basicsize = sizeof(CursorObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = cursor_slots,
};

// --- TableStream ------------------------------------------------------------------------

constexpr std::string_view kTableNames[] = {"candles", "book", "trades", "funding"};

PyObject* table_stream_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"spec_json", "table", "bars_per_chunk", nullptr};
  std::string_view text;
  unsigned long long bars_per_chunk = 0;
  const char* table = nullptr;
  if (!parse_run_args(args, kwargs, "Us|K:TableStream", keywords, &text, &bars_per_chunk, &table)) return nullptr;
  size_t index = 0;
  while (index < 4 && kTableNames[index] != table) ++index;
  if (index == 4) {
    PyErr_SetString(PyExc_ValueError, "table must be candles, book, trades or funding");
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    Result<ValidSpec> spec = read_run(text, bars_per_chunk);
    if (!spec.ok()) return pyglue::raise_error(spec.error());
    auto owned = std::make_unique<ValidSpec>(std::move(spec).value());
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    as_stream(self)->spec = owned.release();
    as_stream(self)->index = index;
    as_stream(self)->bars_per_chunk = bars_per_chunk;
    return self;
  });
}

void table_stream_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete as_stream(self)->spec;
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

PyObject* table_stream_capsule_of(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"requested_schema", nullptr};
  PyObject* requested = Py_None;  // a hint a producer may ignore; consumers check
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_stream__", const_cast<char**>(keywords),
                                   &requested)) {
    return nullptr;
  }
  TableStreamObject* obj = as_stream(self);
  return guarded([&] { return run_stream_capsule(*obj->spec, obj->index, obj->bars_per_chunk); });
}

constexpr const char kTableStreamDoc[] =
    "TableStream(spec_json, table, bars_per_chunk=65536)\n--\n\n"
    "One table of a run (\"candles\", \"book\", \"trades\" or \"funding\") as an Arrow\n"
    "stream: each `__arrow_c_stream__` call starts a stream of its own that runs\n"
    "the spec chunk by chunk as the reader pulls batches, so memory follows the\n"
    "chunk and a reader of one table never holds the others.";

PyMethodDef table_stream_methods[] = {
    {"__arrow_c_stream__", pyglue::as_method(table_stream_capsule_of), METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"
     "A new \"arrow_array_stream\" capsule over the table, from the run's first bar."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot table_stream_slots[] = {
    {Py_tp_doc, const_cast<char*>(kTableStreamDoc)},
    {Py_tp_new, reinterpret_cast<void*>(table_stream_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(table_stream_dealloc)},
    {Py_tp_methods, table_stream_methods},
    {0, nullptr},
};

PyType_Spec table_stream_spec = {
    .name = "talpen_synth._talpen_columns.TableStream",
    .basicsize = sizeof(TableStreamObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = table_stream_slots,
};

}  // namespace

PyObject* create_cursor_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &cursor_spec, nullptr); }

PyObject* create_table_stream_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &table_stream_spec, nullptr);
}

}  // namespace talpen::columns
