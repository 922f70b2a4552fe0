#include "columns/universe_type.h"

#include <atomic>
#include <cmath>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "columns/guarded.h"
#include "columns/module_state.h"
#include "columns/table_type.h"
#include "core/run_budget.h"
#include "core/universe.h"
#include "json/writer.h"
#include "protocol/chunk_text.h"
#include "protocol/spec_reading.h"
#include "tables/block_pool.h"
#include "tables/run_tables.h"

namespace talpen::columns {

namespace {

struct UniverseState {
  UniverseState(const std::vector<ValidSpec>& specs, ShockMix mix, std::vector<std::string> symbols,
                uint64_t bars_per_chunk)
      : cursor(specs, std::move(mix)), symbols(std::move(symbols)), bars_per_chunk(bars_per_chunk) {
    chunks.reserve(specs.size());
    for (size_t i = 0; i < specs.size(); ++i) chunks.push_back(tables::take_chunk_buffers());
  }
  ~UniverseState() {
    for (RunBars& chunk : chunks) tables::give_chunk_buffers(std::move(chunk));
  }
  UniverseState(const UniverseState&) = delete;
  UniverseState& operator=(const UniverseState&) = delete;

  UniverseCursor cursor;
  std::vector<std::string> symbols;
  uint64_t bars_per_chunk;
  uint64_t bars = 0;
  std::vector<RunBars> chunks;
};

struct UniverseObject {
  PyObject_HEAD
  UniverseState* state;  // owned
  std::atomic<bool> busy;
};

UniverseObject* as_universe(PyObject* self) { return reinterpret_cast<UniverseObject*>(self); }

PyObject* value_error(const std::string& message) { return pyglue::raise_text(PyExc_ValueError, message); }

// The items of a sequence as UTF-8 texts; false with an exception set.
bool texts_of(PyObject* seq, const char* what, std::vector<std::string>* out) {
  Owned fast(PySequence_Fast(seq, what));
  if (!fast) return false;
  const Py_ssize_t n = PySequence_Size(fast.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    Owned item(PySequence_GetItem(fast.get(), i));
    if (!item) return false;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_Check(item.get()) ? PyUnicode_AsUTF8AndSize(item.get(), &size) : nullptr;
    if (utf8 == nullptr) {
      if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "%s must hold str items", what);
      return false;
    }
    out->emplace_back(utf8, static_cast<size_t>(size));
  }
  return true;
}

bool numbers_of(PyObject* seq, const char* what, std::vector<double>* out) {
  Owned fast(PySequence_Fast(seq, what));
  if (!fast) return false;
  const Py_ssize_t n = PySequence_Size(fast.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    Owned item(PySequence_GetItem(fast.get(), i));
    if (!item) return false;
    const double v = PyFloat_AsDouble(item.get());
    if (v == -1.0 && PyErr_Occurred()) return false;
    out->push_back(v);
  }
  return true;
}

// The lower Cholesky factor of an n × n correlation matrix given as rows, or
// null with ValueError naming the entry that breaks a rule.
bool read_correlation(PyObject* rows, size_t n, std::vector<double>* lower) {
  std::vector<double> flat;
  Owned fast(PySequence_Fast(rows, "correlation must be a sequence of rows"));
  if (!fast) return false;
  if (static_cast<size_t>(PySequence_Size(fast.get())) != n) {
    value_error("correlation must have " + std::to_string(n) + " rows, one per instrument");
    return false;
  }
  for (size_t i = 0; i < n; ++i) {
    Owned row(PySequence_GetItem(fast.get(), static_cast<Py_ssize_t>(i)));
    if (!row) return false;
    std::vector<double> values;
    if (!numbers_of(row.get(), "a correlation row must be a sequence of numbers", &values)) return false;
    if (values.size() != n) {
      value_error("correlation row " + std::to_string(i) + " must have " + std::to_string(n) + " entries");
      return false;
    }
    flat.insert(flat.end(), values.begin(), values.end());
  }
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < n; ++j) {
      const double v = flat[i * n + j];
      const std::string at = "correlation[" + std::to_string(i) + "][" + std::to_string(j) + "]";
      if (!(std::isfinite(v) && v >= -1.0 && v <= 1.0)) return value_error(at + " must lie within [-1, 1]"), false;
      if (i == j && v != 1.0) return value_error(at + " must be 1 (the diagonal)"), false;
      if (v != flat[j * n + i]) return value_error(at + " must equal its mirror (the matrix is symmetric)"), false;
    }
  }
  Result<std::vector<double>> factor = lower_cholesky(flat, n);
  if (!factor.ok()) return value_error(factor.error().message), false;
  *lower = std::move(factor).value();
  return true;
}

PyObject* universe_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"spec_jsons", "symbols", "correlation", "market_seed", "loadings",
                                   "bars_per_chunk", nullptr};
  PyObject* specs_arg = nullptr;
  PyObject* symbols_arg = nullptr;
  PyObject* correlation = Py_None;
  PyObject* market_seed = Py_None;
  PyObject* loadings_arg = Py_None;
  unsigned long long bars_per_chunk = 65536;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OOOK:Universe", const_cast<char**>(keywords), &specs_arg,
                                   &symbols_arg, &correlation, &market_seed, &loadings_arg, &bars_per_chunk)) {
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    std::vector<std::string> texts;
    std::vector<std::string> symbols;
    if (!texts_of(specs_arg, "spec_jsons must be a sequence of spec texts", &texts)) return nullptr;
    if (!texts_of(symbols_arg, "symbols must be a sequence of str", &symbols)) return nullptr;
    const size_t n = texts.size();
    if (n == 0 || symbols.size() != n) return value_error("a universe needs one symbol per spec, and one spec at least");
    if (bars_per_chunk == 0) return value_error("bars_per_chunk must be at least 1");
    if ((correlation == Py_None) == (market_seed == Py_None)) {
      return value_error("give either a correlation matrix or a market seed with loadings");
    }
    std::vector<ValidSpec> specs;
    for (size_t i = 0; i < n; ++i) {
      Result<ValidSpec> spec = protocol::read_spec_document(texts[i]);
      if (!spec.ok()) return value_error(symbols[i] + ": " + spec.error().text());
      const GenSpec& s = spec.value().get();
      if (i > 0) {
        const GenSpec& first = specs.front().get();
        for (auto [field, same] : {std::pair{"bars", s.bars == first.bars},
                                   std::pair{"start_ts", s.start_ts == first.start_ts},
                                   std::pair{"bar_secs", s.bar_secs == first.bar_secs}}) {
          if (!same) return value_error(symbols[i] + ": " + field + " differs from " + symbols[0] + "'s (one clock)");
        }
      }
      if (Status numbered = tables::check_level_numbering(s); !numbered.ok()) return pyglue::raise_error(numbered.error());
      GenSpec chunk = s;
      chunk.bars = std::min<uint64_t>(chunk.bars, bars_per_chunk);
      if (Status fits = check_run_fits(chunk, static_cast<double>(n)); !fits.ok()) return pyglue::raise_error(fits.error());
      specs.push_back(std::move(spec).value());
    }
    ShockMix mix;
    if (correlation != Py_None) {
      if (!read_correlation(correlation, n, &mix.lower)) return nullptr;
    } else {
      mix.market_seed = PyLong_AsUnsignedLongLong(market_seed);
      if (PyErr_Occurred()) return nullptr;
      if (loadings_arg == Py_None) return value_error("a market factor needs loadings, one per instrument");
      if (!numbers_of(loadings_arg, "loadings must be a sequence of numbers", &mix.loadings)) return nullptr;
      if (mix.loadings.size() != n) return value_error("loadings must have one entry per instrument");
      for (size_t i = 0; i < n; ++i) {
        const double l = mix.loadings[i];
        if (!(std::isfinite(l) && l >= -1.0 && l <= 1.0)) return value_error(symbols[i] + ": loading must lie within [-1, 1]");
      }
    }
    auto state = std::make_unique<UniverseState>(specs, std::move(mix), std::move(symbols), bars_per_chunk);
    state->bars = specs.front()->bars;
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    as_universe(self)->state = state.release();
    new (&as_universe(self)->busy) std::atomic<bool>(false);
    return self;
  });
}

void universe_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete as_universe(self)->state;
  as_universe(self)->busy.~atomic();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

// Makes the next chunk and runs `produce` on it, without the interpreter
// lock; *ended when the universe had no bars left.
template <class Produce>
bool next_chunk(PyObject* self, bool* ended, bool book_levels, bool trades, Produce&& produce) {
  UniverseObject* obj = as_universe(self);
  UniverseState& s = *obj->state;
  return run_unlocked(obj->busy, "Universe", [&]() -> Status {
    s.cursor.skip_book_levels(!book_levels);
    s.cursor.skip_trades(!trades);
    Result<uint64_t> produced = s.cursor.next(s.bars_per_chunk, &s.chunks);
    if (!produced.ok()) {
      // A run's message names no instrument; among many, say whose bar failed.
      Error error = std::move(produced).error();
      if (const auto& failed = s.cursor.bar_failure(); failed && failed->instrument < s.symbols.size()) {
        error.message += " (instrument " + s.symbols[failed->instrument] + ", bar " + std::to_string(failed->bar) + ")";
      }
      return fail(std::move(error));
    }
    *ended = produced.value() == 0;
    if (!*ended) produce(s);
    return ok_status();
  });
}

PyObject* universe_next_events(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    json::JsonWriter out;
    bool ended = false;
    if (!next_chunk(self, &ended, true, true,
                    [&](UniverseState& s) { protocol::write_universe_events(out, s.chunks, s.symbols); })) {
      return nullptr;
    }
    if (ended) Py_RETURN_NONE;
    return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
  });
}

PyObject* universe_next_tables(PyObject* self, PyObject*) {
  ModuleState* state = state_of_type(Py_TYPE(self));
  if (state == nullptr || state->table_type == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "talpen_synth._talpen_columns is being torn down");
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    std::vector<tables::RunTables> laid_out;
    bool ended = false;
    if (!next_chunk(self, &ended, true, true, [&](UniverseState& s) {
          for (const RunBars& chunk : s.chunks) laid_out.push_back(tables::chunk_tables(chunk, tables::shared_block_pool()));
        })) {
      return nullptr;
    }
    if (ended) Py_RETURN_NONE;
    Owned result(PyTuple_New(static_cast<Py_ssize_t>(laid_out.size())));
    if (!result) return nullptr;
    for (size_t i = 0; i < laid_out.size(); ++i) {
      Owned four(PyTuple_New(4));
      if (!four) return nullptr;
      for (size_t t = 0; t < 4; ++t) {
        PyObject* table = new_table(state->table_type, std::move(laid_out[i][t]));
        if (table == nullptr) return nullptr;
        PyTuple_SetItem(four.get(), static_cast<Py_ssize_t>(t), table);  // steals
      }
      PyTuple_SetItem(result.get(), static_cast<Py_ssize_t>(i), four.release());  // steals
    }
    return result.release();
  });
}

// One table of every instrument, as one table led by their symbol codes: a
// reader of one table (an Arrow stream of candles, say) would otherwise lay
// out the book it never reads, and take a batch per instrument.
PyObject* universe_next_table(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"table", nullptr};
  const char* name = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s:next_table", const_cast<char**>(keywords), &name)) return nullptr;
  constexpr std::string_view kNames[] = {"candles", "book", "trades", "funding"};
  size_t index = 0;
  while (index < 4 && kNames[index] != name) ++index;
  if (index == 4) {
    PyErr_SetString(PyExc_ValueError, "table must be candles, book, trades or funding");
    return nullptr;
  }
  ModuleState* state = state_of_type(Py_TYPE(self));
  if (state == nullptr || state->table_type == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "talpen_synth._talpen_columns is being torn down");
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    tables::TablePtr laid_out;
    bool ended = false;
    // A table leaves the book's levels and the trades out of the chunk unless it is made of them.
    if (!next_chunk(self, &ended, index == tables::kBookTable, index == tables::kTradesTable, [&](UniverseState& s) {
          laid_out = tables::combined_chunk_table(s.chunks, index, tables::shared_block_pool());
        })) {
      return nullptr;
    }
    if (ended) Py_RETURN_NONE;
    return new_table(state->table_type, std::move(laid_out));
  });
}

PyObject* get_bars(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(as_universe(self)->state->bars); }
PyObject* get_bars_done(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(as_universe(self)->state->cursor.bars_done());
}
PyObject* get_symbols(PyObject* self, void*) {
  const std::vector<std::string>& symbols = as_universe(self)->state->symbols;
  Owned out(PyTuple_New(static_cast<Py_ssize_t>(symbols.size())));
  if (!out) return nullptr;
  for (size_t i = 0; i < symbols.size(); ++i) {
    PyObject* s = str_from(symbols[i]);
    if (s == nullptr) return nullptr;
    PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(i), s);
  }
  return out.release();
}

constexpr const char kUniverseDoc[] =
    "Universe(spec_jsons, symbols, correlation=None, market_seed=None, loadings=None, bars_per_chunk=65536)\n--\n\n"
    "Instruments on one clock whose bars' shocks move together, produced chunk by\n"
    "chunk. Each instrument keeps its own source, seeded by its own spec; in every\n"
    "bar each draws its shock first, the shocks are mixed by the lower Cholesky\n"
    "factor of `correlation` (rows) or by a market factor (shock = loading x market\n"
    "+ sqrt(1 - loading^2) x own), and each finishes its bar as a standalone run\n"
    "would. With the identity matrix every instrument's run is its standalone run.";

PyMethodDef universe_methods[] = {
    {"next_tables", universe_next_tables, METH_NOARGS,
     "next_tables($self)\n--\n\nThe next chunk: per instrument its four tables (candles, book, trades, funding)."},
    {"next_table", pyglue::as_method(universe_next_table), METH_VARARGS | METH_KEYWORDS,
     "next_table($self, table)\n--\n\n"
     "The next chunk's `table` (\"candles\", \"book\", \"trades\" or \"funding\") of\n"
     "every instrument as one table, instrument after instrument in the universe's\n"
     "order, led by a \"symbol\" column of uint32 codes (places in `symbols`); the\n"
     "other tables are not laid out."},
    {"next_events", universe_next_events, METH_NOARGS,
     "next_events($self)\n--\n\n"
     "The next chunk's events as JSON lines: bar by bar, instrument by instrument,\n"
     "each event object with a first member \"symbol\"."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef universe_getset[] = {
    {"bars", get_bars, nullptr, "The shared number of bars.", nullptr},
    {"bars_done", get_bars_done, nullptr, "Bars produced so far.", nullptr},
    {"symbols", get_symbols, nullptr, "The instruments' symbols, in the universe's order.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot universe_slots[] = {
    {Py_tp_doc, const_cast<char*>(kUniverseDoc)},
    {Py_tp_new, reinterpret_cast<void*>(universe_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(universe_dealloc)},
    {Py_tp_methods, universe_methods},
    {Py_tp_getset, universe_getset},
    {0, nullptr},
};

PyType_Spec universe_spec = {
    .name = "talpen_synth._talpen_columns.Universe",
    .basicsize = sizeof(UniverseObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = universe_slots,
};

}  // namespace

PyObject* create_universe_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &universe_spec, nullptr); }

}  // namespace talpen::columns
