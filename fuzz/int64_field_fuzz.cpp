// ParseInt64Field against the rules written another way: on every text both must agree, on the
// value or on the refusal; a refusal is a ConversionFailure that quotes the whole text.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/reference_model.h"
#include "patchlist/int64_field.h"

namespace {

[[noreturn]] void Disagree(std::string_view text, const char* what) {
  std::fprintf(stderr, "ParseInt64Field disagrees (%s) on %zu bytes:", what, text.size());
  for (const char c : text) std::fprintf(stderr, " %02x", static_cast<unsigned char>(c));
  std::fprintf(stderr, "\n");
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<int64_t> expected = tarnwick::fuzz::ReferenceNumber(text);
  try {
    const int64_t value = tarnwick::ParseInt64Field(text);
    if (!expected) Disagree(text, "accepted a text the rules refuse");
    if (value != *expected) Disagree(text, "another value");
  } catch (const tarnwick::ConversionFailure& failure) {
    if (expected) Disagree(text, "refused a number");
    if (failure.kind() != "ConversionFailure" ||
        failure.message() != "'" + std::string(text) + "' is not a valid integer value") {
      Disagree(text, "the refusal's message");
    }
  }
  return 0;
}
