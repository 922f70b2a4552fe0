// Trimming of spec texts: a spec pasted from a document or a terminal often
// carries Unicode spaces (no-break, ideographic, line separators) that strict
// JSON would refuse, so the constructor strips every White_Space character
// from both ends before reading.
#ifndef TALPEN_PROTOCOL_WHITE_SPACE_H_
#define TALPEN_PROTOCOL_WHITE_SPACE_H_

#include <string_view>

namespace talpen::protocol {

// `text` without its leading and trailing characters of the Unicode
// White_Space property: U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680,
// U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000. Other characters,
// the byte-order mark U+FEFF among them, stay. REQUIRES: `text` is UTF-8.
std::string_view trim_white_space(std::string_view text);

}  // namespace talpen::protocol

#endif  // TALPEN_PROTOCOL_WHITE_SPACE_H_
