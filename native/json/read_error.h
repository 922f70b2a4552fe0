// The reader's error codes and their fixed messages. The text decoder of
// specs reports syntax faults of its own with the same codes, so every
// message about JSON text is written once, in the table of read_error.cc.
#ifndef TALPEN_JSON_READ_ERROR_H_
#define TALPEN_JSON_READ_ERROR_H_

#include <string_view>

namespace talpen::json {

enum class ReadCode : unsigned char {
  EofList,              // "EOF while parsing a list"
  EofObject,            // "EOF while parsing an object"
  EofString,            // "EOF while parsing a string"
  EofValue,             // "EOF while parsing a value"
  ExpectedColon,        // "expected `:`"
  ExpectedListEnd,      // "expected `,` or `]`"
  ExpectedObjectEnd,    // "expected `,` or `}`"
  ExpectedIdent,        // "expected ident"
  ExpectedValue,        // "expected value"
  InvalidEscape,        // "invalid escape"
  InvalidNumber,        // "invalid number"
  OutOfRange,           // "number out of range"
  ControlCharacter,     // "control character (\u0000-\u001F) found while parsing a string"
  KeyMustBeString,      // "key must be a string"
  LoneSurrogate,        // "lone leading surrogate in hex escape"
  TrailingComma,        // "trailing comma"
  TrailingCharacters,   // "trailing characters"
  UnexpectedEndOfHex,   // "unexpected end of hex escape"
  RecursionLimit,       // "recursion limit exceeded"
};

std::string_view read_message(ReadCode code);

}  // namespace talpen::json

#endif  // TALPEN_JSON_READ_ERROR_H_
