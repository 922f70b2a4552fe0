// validate_spec: the rules every kept or used spec satisfies, applied in a
// fixed order; the first broken rule's message is the answer.
#ifndef TALPEN_CORE_VALIDATE_H_
#define TALPEN_CORE_VALIDATE_H_

#include <optional>
#include <string>

#include "core/spec.h"

namespace talpen {

// Nothing when every rule holds, else the message of the first broken rule.
std::optional<std::string> validate_spec(const GenSpec& spec);

}  // namespace talpen

#endif  // TALPEN_CORE_VALIDATE_H_
