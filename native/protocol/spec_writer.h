// The normalised form of a spec: the object form with every field present,
// in the field tables' order. Callers that
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
// Every double is written as a text that this module's reader reads back to
// the same bits (its shortest round-trip digits whenever those do), so the
// normalised text runs exactly as the spec it came from.
void write_spec_object(json::JsonWriter& out, const GenSpec& spec);

}  // namespace talpen::protocol

#endif  // TALPEN_PROTOCOL_SPEC_WRITER_H_
