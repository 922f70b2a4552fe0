#include "tables/arrow_export.h"

#include <cerrno>
#include <cstdint>
#include <memory>
#include <new>
#include <string>

namespace talpen::tables {

namespace {

const char* format_of(DType dtype) {
  switch (dtype) {
    case DType::Int64:
      return "l";
    case DType::UInt64:
      return "L";
    case DType::UInt32:
      return "I";
    case DType::UInt8:
      return "C";
    case DType::Float64:
      return "g";
  }
  return "C";
}

// Every node of an exported tree owns what its own pointers need, because a
// consumer may move a child out and keep it after releasing the parent.

struct SchemaNode {
  std::string name;
  std::unique_ptr<ArrowSchema[]> children;  // the structs; their nodes are their own
  std::unique_ptr<ArrowSchema*[]> child_ptrs;
  int64_t n_children = 0;
  std::unique_ptr<ArrowSchema> dictionary;

  ~SchemaNode() {
    for (int64_t i = 0; i < n_children; ++i) release_if_live(&children[i]);
    if (dictionary) release_if_live(dictionary.get());
  }
};

void release_schema_node(ArrowSchema* schema) {
  delete static_cast<SchemaNode*>(schema->private_data);
  schema->release = nullptr;
}

struct ArrayNode {
  ColumnPtr column;  // keeps the data buffer alive
  const void* buffers[3] = {nullptr, nullptr, nullptr};
  std::unique_ptr<ArrowArray[]> children;
  std::unique_ptr<ArrowArray*[]> child_ptrs;
  int64_t n_children = 0;
  std::unique_ptr<ArrowArray> dictionary;

  ~ArrayNode() {
    for (int64_t i = 0; i < n_children; ++i) release_if_live(&children[i]);
    if (dictionary) release_if_live(dictionary.get());
  }
};

void release_array_node(ArrowArray* array) {
  delete static_cast<ArrayNode*>(array->private_data);
  array->release = nullptr;
}

// The utf8 dictionary of a category column; its buffers are static.
void fill_dictionary_schema(ArrowSchema* out) {
  auto node = std::make_unique<SchemaNode>();
  *out = ArrowSchema{"u", nullptr, nullptr, 0, 0, nullptr, nullptr, release_schema_node, node.release()};
}

void fill_dictionary_array(const Categories& categories, ArrowArray* out) {
  auto node = std::make_unique<ArrayNode>();
  node->buffers[1] = categories.offsets;
  node->buffers[2] = categories.chars;
  *out = ArrowArray{2, 0, 0, 3, 0, node->buffers, nullptr, nullptr, release_array_node, nullptr};
  out->private_data = node.release();
}

int64_t as_length(size_t n) { return static_cast<int64_t>(n); }

}  // namespace

void release_if_live(ArrowSchema* schema) {
  if (schema->release != nullptr) schema->release(schema);
}
void release_if_live(ArrowArray* array) {
  if (array->release != nullptr) array->release(array);
}
void release_if_live(ArrowArrayStream* stream) {
  if (stream->release != nullptr) stream->release(stream);
}

void export_column_schema(const ColumnData& column, ArrowSchema* out) {
  auto node = std::make_unique<SchemaNode>();
  node->name = column.name();
  const char* format = format_of(column.dtype());
  if (column.categories() != nullptr) {
    format = "c";  // the codes 0 and 1 read the same as int8
    node->dictionary = std::make_unique<ArrowSchema>();
    fill_dictionary_schema(node->dictionary.get());
  }
  ArrowSchema* dictionary = node->dictionary.get();
  *out = ArrowSchema{format, node->name.c_str(), nullptr, 0, 0, nullptr, dictionary, release_schema_node,
                     nullptr};
  out->private_data = node.release();
}

void export_column_array(const ColumnPtr& column, ArrowArray* out) {
  auto node = std::make_unique<ArrayNode>();
  node->column = column;
  node->buffers[1] = column->data();
  if (const Categories* categories = column->categories()) {
    node->dictionary = std::make_unique<ArrowArray>();
    fill_dictionary_array(*categories, node->dictionary.get());
  }
  *out = ArrowArray{as_length(column->length()), 0, 0, 2, 0, node->buffers, nullptr, node->dictionary.get(),
                    release_array_node, nullptr};
  out->private_data = node.release();
}

void export_table_schema(const TableData& table, ArrowSchema* out) {
  auto node = std::make_unique<SchemaNode>();
  const size_t n = table.columns.size();
  node->children = std::make_unique<ArrowSchema[]>(n);  // value-initialised: all released
  node->child_ptrs = std::make_unique<ArrowSchema*[]>(n);
  for (size_t i = 0; i < n; ++i) {
    export_column_schema(*table.columns[i], &node->children[i]);
    node->child_ptrs[i] = &node->children[i];
    node->n_children = static_cast<int64_t>(i + 1);
  }
  *out = ArrowSchema{"+s", "", nullptr, 0, node->n_children, node->child_ptrs.get(), nullptr,
                     release_schema_node, nullptr};
  out->private_data = node.release();
}

void export_table_array(const TablePtr& table, ArrowArray* out) {
  auto node = std::make_unique<ArrayNode>();
  const size_t n = table->columns.size();
  node->children = std::make_unique<ArrowArray[]>(n);
  node->child_ptrs = std::make_unique<ArrowArray*[]>(n);
  for (size_t i = 0; i < n; ++i) {
    export_column_array(table->columns[i], &node->children[i]);
    node->child_ptrs[i] = &node->children[i];
    node->n_children = static_cast<int64_t>(i + 1);
  }
  // A struct array has only its (absent) validity buffer.
  *out = ArrowArray{as_length(table->rows), 0, 0, 1, node->n_children, node->buffers, node->child_ptrs.get(),
                    nullptr, release_array_node, nullptr};
  out->private_data = node.release();
}

namespace {

// A stream of exactly one batch: the whole table.
struct StreamState {
  TablePtr table;
  bool done = false;
  const char* last_error = nullptr;
};

StreamState* state_of(ArrowArrayStream* stream) { return static_cast<StreamState*>(stream->private_data); }

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  StreamState* state = state_of(stream);
  try {
    export_table_schema(*state->table, out);
    return 0;
  } catch (...) {
    state->last_error = "out of memory while exporting the schema";
    return ENOMEM;
  }
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
  StreamState* state = state_of(stream);
  if (state->done) {
    *out = ArrowArray{};  // a released array marks the end of the stream
    return 0;
  }
  try {
    export_table_array(state->table, out);
    state->done = true;
    return 0;
  } catch (...) {
    state->last_error = "out of memory while exporting a batch";
    return ENOMEM;
  }
}

const char* stream_get_last_error(ArrowArrayStream* stream) { return state_of(stream)->last_error; }

void stream_release(ArrowArrayStream* stream) {
  delete state_of(stream);
  stream->release = nullptr;
}

}  // namespace

void export_table_stream(const TablePtr& table, ArrowArrayStream* out) {
  auto state = std::make_unique<StreamState>();
  state->table = table;
  *out = ArrowArrayStream{stream_get_schema, stream_get_next, stream_get_last_error, stream_release,
                          state.release()};
}

}  // namespace talpen::tables
