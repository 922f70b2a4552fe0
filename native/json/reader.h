// Strict JSON reading: one value, optional surrounding whitespace (space,
// tab, LF, CR), no comments, no trailing commas, a nesting budget of 128.
// Every error is one fixed message (read_error.h) and the place it arose.
#ifndef TALPEN_JSON_READER_H_
#define TALPEN_JSON_READER_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "base/error.h"
#include "base/result.h"
#include "json/read_error.h"
#include "json/value.h"

namespace talpen::json {

// Each parse starts with this many levels; the bracket that would spend the
// last one fails with "recursion limit exceeded", so 127 levels nest.
constexpr int kNestingBudget = 128;

// Reads the whole text as one JSON document. The text is UTF-8 (it comes from
// a host string) and is not checked; string bytes are copied unchanged.
// Errors are of kind Parse, with their position.
Result<JsonValue> parse_json(std::string_view text);

// A cursor over JSON text with the reader's grammar, messages and positions,
// for decoders that build their records straight from the text. The text must
// outlive the reader.
//
// Failures: a call that fails returns false and keeps its Error in the
// reader (error()); the caller stops there, so the first failure is the one
// kept. A decoder reports its own faults through fail_here and fail_at_next,
// so that they carry the reader's positions.
//
// Positions: an error "caused by" the byte under the cursor is placed at
// offset() + 1; an error at the end of the text at its length; a decoder's own
// message made with fail_here() at offset(), the bytes consumed so far.
class TextReader {
 public:
  explicit TextReader(std::string_view text) : text_(text) {}

  std::string_view text() const { return text_; }
  size_t offset() const { return pos_; }
  bool at_end() const { return pos_ >= text_.size(); }
  // The byte under the cursor, or -1 at the end of the text.
  int peek() const { return at_end() ? -1 : static_cast<unsigned char>(text_[pos_]); }
  // REQUIRES: !at_end()
  void bump() { ++pos_; }
  // Skips whitespace, then peek().
  int peek_after_ws();

  // The failure of the last call that returned false.
  const Error& error() const { return error_; }
  Error take_error() { return std::move(error_); }

  // Records a failure at offset(), for decoder messages and end-of-text
  // errors. Always returns false.
  bool fail_here(std::string message);
  bool fail_here(ReadCode code);
  // Records a failure caused by the byte under the cursor (offset() + 1, or
  // the text's length at the end). Always returns false.
  bool fail_at_next(ReadCode code);

  // REQUIRES: peek() == '"'. Reads the string, escapes resolved.
  bool read_string(std::string* out);
  // REQUIRES: peek() is '-' or a digit. Reads a number of one of the three
  // classes into `out` (a JsonValue of kind Number).
  bool read_number(JsonValue* out);
  // REQUIRES: peek() is 'n', 't' or 'f'. Reads null, true or false.
  bool read_literal(JsonValue* out);
  // Skips whitespace and reads any value (arrays and objects spend nesting).
  bool read_value(JsonValue* out);

  // REQUIRES: peek() is '[' (or '{'). Spends one nesting level ("recursion
  // limit exceeded", caused by the bracket, when none is left) and consumes
  // the bracket.
  bool begin_array();
  bool begin_object();
  // Gives a nesting level back without reading anything.
  void leave_level() { ++budget_; }

  // Array stepping. `first` starts true for each array. Sets *has to whether
  // another element follows, consuming a separating comma; the element itself
  // is left for the caller. With *has false the cursor is on the ']', for
  // finish_array(). Errors: "expected `,` or `]`"; "EOF while parsing a list"
  // where an element or `]` (or `,` or `]`) is expected; "trailing comma";
  // "EOF while parsing a value" after a comma.
  bool next_element(bool* first, bool* has);
  // Object stepping: as next_element, reading the next key (escapes
  // resolved, replacing what *key held) when there is one. The colon is left
  // for object_colon(); with *has false the cursor is on the '}'.
  // Errors: "expected `,` or `}`", "EOF while parsing an object", "trailing
  // comma", "key must be a string", "EOF while parsing a value".
  bool next_key(bool* first, bool* has, std::string* key);
  // Skips whitespace and consumes ':' ("expected `:`"; "EOF while parsing an
  // object" at the end of the text).
  bool object_colon();

  // Closes an array after its last wanted element and gives its level back:
  // "]" ends it; "," then "]" is "trailing comma"; "," then anything else, or
  // any other byte, is "trailing characters"; the end of the text is "EOF
  // while parsing a list".
  bool finish_array();
  // Closes an object whose next_key() reported no further key (so the next
  // byte is '}') and gives its level back.
  bool finish_object();
  // After the top-level value: only whitespace may follow ("trailing
  // characters", caused by the first other byte).
  bool finish_document();

 private:
  // Sets the cursor to `p` (at most the text's length) and records the
  // failure `code` there. Always returns false.
  bool fail_at(size_t p, ReadCode code);
  // REQUIRES: peek() is '[' or '{'. Spends a level and consumes the bracket.
  bool take_level();
  // The whole array or object under the cursor, as a value.
  bool read_array_value(JsonValue* out);
  bool read_object_value(JsonValue* out);

  std::string_view text_;
  size_t pos_ = 0;
  int budget_ = kNestingBudget;
  Error error_;
};

}  // namespace talpen::json

#endif  // TALPEN_JSON_READER_H_
