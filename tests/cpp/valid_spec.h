// Tests build specs field by field; runs take only validated ones.
#ifndef TALPEN_TESTS_CPP_VALID_SPEC_H_
#define TALPEN_TESTS_CPP_VALID_SPEC_H_

#include <gtest/gtest.h>

#include <utility>

#include "core/validate.h"

namespace talpen {

// `spec` as valid; fails the test (and throws) when a rule is broken.
inline ValidSpec valid(GenSpec spec) {
  Result<ValidSpec> checked = validate_spec(std::move(spec));
  EXPECT_TRUE(checked.ok()) << (checked.ok() ? "" : checked.error().message);
  return std::move(checked).value();
}

}  // namespace talpen

#endif  // TALPEN_TESTS_CPP_VALID_SPEC_H_
