// validate_spec: the rules every kept or used spec satisfies, applied in a
// fixed order (the field tables' order, then the last timestamp); the first
// broken rule's message is the answer.
#ifndef TALPEN_CORE_VALIDATE_H_
#define TALPEN_CORE_VALIDATE_H_

#include <utility>

#include "base/result.h"
#include "core/spec.h"

namespace talpen {

// A spec that has passed validation. Only validate_spec makes one, so a run
// that takes a ValidSpec never checks the rules again.
class ValidSpec {
 public:
  const GenSpec& get() const { return spec_; }
  const GenSpec* operator->() const { return &spec_; }

 private:
  friend Result<ValidSpec> validate_spec(GenSpec spec);
  explicit ValidSpec(GenSpec spec) : spec_(std::move(spec)) {}

  GenSpec spec_;
};

// The message of the first broken rule, or null when every rule holds.
const char* first_broken_rule(const GenSpec& spec);

// BadSpec with the first broken rule's message, else the spec as valid.
Result<ValidSpec> validate_spec(GenSpec spec);

}  // namespace talpen

#endif  // TALPEN_CORE_VALIDATE_H_
