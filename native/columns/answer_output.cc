#include "columns/answer_output.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>

#include "columns/guarded.h"
#include "core/run_budget.h"
#include "protocol/answer_writer.h"
#include "protocol/spec_reading.h"

namespace talpen::columns {

const char kWriteAnswerDoc[] =
    "write_answer(spec_json, kind, out, bars_per_chunk=1024, progress=None, lookahead_bytes=167772160)\n--\n\n"
    "Write the \"generate\" or \"generate_stream\" (`kind`) answer for a spec to\n"
    "`out`, a binary file object, by calls of out.write(): byte for byte the\n"
    "module's answer text, in memory bounded by a few chunks whatever the run's\n"
    "length; `lookahead_bytes` bounds the text made ahead of the piece being\n"
    "written (0: each piece is made when due). The text is made by native\n"
    "threads without the interpreter lock. `progress(bars)` is called as bars are\n"
    "written, once per record list (three or four lists for \"generate\", one for\n"
    "\"generate_stream\"). A failed run raises ValueError with the module's text,\n"
    "part of the answer written; a signal's exception (KeyboardInterrupt) stops\n"
    "the writing between pieces; a raw file in non-blocking mode that takes none\n"
    "of a piece raises BlockingIOError.";

namespace {

// Part of the limited API only from 3.11, but PyMemoryView_FromMemory takes
// it in every version since 3.3, with this value.
#ifndef PyBUF_READ
constexpr int PyBUF_READ = 0x100;
#endif

// out.write(data) until all of it is taken: a raw file may take less. A
// writer that answers None has taken it all, unless it is a raw file
// (`raw`), which answers None in non-blocking mode when it takes nothing.
bool write_all(PyObject* write, std::string_view data, bool raw) {
  while (!data.empty()) {
    Owned view(PyMemoryView_FromMemory(const_cast<char*>(data.data()), static_cast<Py_ssize_t>(data.size()),
                                       PyBUF_READ));
    if (!view) return false;
    Owned taken(PyObject_CallFunctionObjArgs(write, view.get(), nullptr));
    // The piece's memory is reused next: a writer that kept the view finds
    // it released rather than changed under it. The write's own exception,
    // if any, is the one that leaves.
    PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
    PyErr_Fetch(&type, &value, &trace);
    Owned released(PyObject_CallMethod(view.get(), "release", nullptr));
    if (type != nullptr) {
      PyErr_Clear();
      PyErr_Restore(type, value, trace);
      return false;
    }
    if (!taken || !released) return false;
    if (taken.get() == Py_None) {
      if (!raw) return true;
      PyErr_SetString(PyExc_BlockingIOError, "write_answer: the file is non-blocking and took none of the bytes");
      return false;
    }
    const long long n = PyLong_AsLongLong(taken.get());
    if (n == -1 && PyErr_Occurred()) return false;
    if (n <= 0 || static_cast<unsigned long long>(n) > data.size()) {
      PyErr_SetString(PyExc_OSError, "write_answer: the file took none of the bytes written to it");
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Owns the writer; stops it (joining its threads) with the lock released.
struct WriterHolder {
  std::unique_ptr<protocol::AnswerWriter> writer;
  ~WriterHolder() {
    if (writer == nullptr) return;
    Py_BEGIN_ALLOW_THREADS
    writer.reset();
    Py_END_ALLOW_THREADS
  }
};

}  // namespace

PyObject* write_answer(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"spec_json", "kind",     "out", "bars_per_chunk", "progress",
                                   "lookahead_bytes", nullptr};
  PyObject* spec = nullptr;
  const char* kind_name = nullptr;
  PyObject* out = nullptr;
  unsigned long long bars_per_chunk = 1024;
  PyObject* progress = Py_None;
  Py_ssize_t lookahead = static_cast<Py_ssize_t>(protocol::AnswerWriter::Options().lookahead_bytes);
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "UsO|KOn:write_answer", const_cast<char**>(keywords), &spec,
                                   &kind_name, &out, &bars_per_chunk, &progress, &lookahead)) {
    return nullptr;
  }
  const std::string_view kind(kind_name);
  if (kind != "generate" && kind != "generate_stream") {
    PyErr_SetString(PyExc_ValueError, "kind must be \"generate\" or \"generate_stream\"");
    return nullptr;
  }
  if (bars_per_chunk == 0) {
    PyErr_SetString(PyExc_ValueError, "bars_per_chunk must be at least 1");
    return nullptr;
  }
  if (lookahead < 0) {
    PyErr_SetString(PyExc_ValueError, "lookahead_bytes must not be negative");
    return nullptr;
  }
  if (progress != Py_None && !PyCallable_Check(progress)) {
    PyErr_SetString(PyExc_TypeError, "progress must be callable or None");
    return nullptr;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(spec, &size);
  if (utf8 == nullptr) return nullptr;
  const std::string_view text(utf8, static_cast<size_t>(size));
  Owned write(PyObject_GetAttrString(out, "write"));
  if (!write) return nullptr;
  int raw = 0;
  {
    Owned io(PyImport_ImportModule("io"));
    Owned raw_type(io ? PyObject_GetAttrString(io.get(), "RawIOBase") : nullptr);
    if (!raw_type) return nullptr;
    raw = PyObject_IsInstance(out, raw_type.get());
    if (raw < 0) return nullptr;
  }

  return guarded([&]() -> PyObject* {
    Result<ValidSpec> valid = protocol::read_spec_document(text);
    if (!valid.ok()) return pyglue::raise_error(valid.error());
    GenSpec chunk = valid.value().get();
    chunk.bars = std::min<uint64_t>(chunk.bars, bars_per_chunk);
    if (Status fits = check_run_fits(chunk, 1.0); !fits.ok()) return pyglue::raise_error(fits.error());

    protocol::AnswerWriter::Options options;
    options.bars_per_chunk = bars_per_chunk;
    options.lookahead_bytes = static_cast<size_t>(lookahead);
    const protocol::AnswerKind answer =
        kind == "generate" ? protocol::AnswerKind::Generate : protocol::AnswerKind::GenerateStream;
    // Made, and stopped, without the interpreter lock: both wait for threads.
    WriterHolder writer;
    bool started = false;
    Py_BEGIN_ALLOW_THREADS
    try {
      writer.writer = std::make_unique<protocol::AnswerWriter>(valid.value(), answer, options);
      started = true;
    } catch (...) {  // no thread or no memory: reported below, with the lock
    }
    Py_END_ALLOW_THREADS
    if (!started) return PyErr_NoMemory();
    uint64_t reported = 0;
    for (;;) {
      Result<std::string_view> piece = std::string_view();
      Py_BEGIN_ALLOW_THREADS
      piece = writer.writer->next();
      Py_END_ALLOW_THREADS
      if (!piece.ok()) return pyglue::raise_error(piece.error());
      if (piece.value().empty()) break;
      if (!write_all(write.get(), piece.value(), raw != 0)) return nullptr;
      const uint64_t done = writer.writer->bars_written();
      if (progress != Py_None && done > reported) {
        Owned told(PyObject_CallFunction(progress, "K", static_cast<unsigned long long>(done - reported)));
        if (!told) return nullptr;
        reported = done;
      }
      if (PyErr_CheckSignals() < 0) return nullptr;
    }
    Py_RETURN_NONE;
  });
}

}  // namespace talpen::columns
