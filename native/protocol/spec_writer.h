// The normalised form of a spec: the object form with every field present,
// in the field tables' order, numbers in the module's own text. Callers that
// need a spec's fields read this form instead of the many forms a spec text
// may take (array or object, keys in any order, defaults left out).
#ifndef TALPEN_PROTOCOL_SPEC_WRITER_H_
#define TALPEN_PROTOCOL_SPEC_WRITER_H_

#include "core/spec.h"
#include "json/writer.h"

namespace talpen::protocol {

// {"seed":…,"bars":…,"start_price":…,"start_ts":…,"bar_secs":…,
//  "regimes":[{"kind":"trend","len":…,"drift":…,"vol":…},…],
//  "microstructure":{"book_depth":…,"spread_bps":…,"trade_rate":…,
//  "funding":null|{"interval_bars":…,"base_rate":…,"sensitivity":…}}}
// Doubles are written in shortest round-trip digits, so reading the text back
// gives the same bits.
void write_spec_object(json::JsonWriter& out, const GenSpec& spec);

}  // namespace talpen::protocol

#endif  // TALPEN_PROTOCOL_SPEC_WRITER_H_
