#include "json/read_error.h"

#include <array>

namespace talpen::json {

namespace {

// In the order of ReadCode.
constexpr std::array<std::string_view, 19> kMessages = {
    "EOF while parsing a list",
    "EOF while parsing an object",
    "EOF while parsing a string",
    "EOF while parsing a value",
    "expected `:`",
    "expected `,` or `]`",
    "expected `,` or `}`",
    "expected ident",
    "expected value",
    "invalid escape",
    "invalid number",
    "number out of range",
    "control character (\\u0000-\\u001F) found while parsing a string",
    "key must be a string",
    "lone leading surrogate in hex escape",
    "trailing comma",
    "trailing characters",
    "unexpected end of hex escape",
    "recursion limit exceeded",
};

static_assert(kMessages.size() == static_cast<size_t>(ReadCode::RecursionLimit) + 1);

}  // namespace

std::string_view read_message(ReadCode code) { return kMessages[static_cast<size_t>(code)]; }

}  // namespace talpen::json
