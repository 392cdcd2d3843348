// A sanitizer finding in a program that the end-to-end harness runs must end it with a status of
// its own: the sanitizers' default, 1, is the status of the program's failure report, and a row
// that expects that report would pass over a finding. (The report itself may go to a file, as
// tests/sanitize has it, so only the status is looked at.)

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "tests/e2e/harness.h"

namespace tarnwick::e2e {
namespace {

struct FindingRow {
  const char* fault;
  int exit_status;
};

// Rows show as their names in test output.
void PrintTo(const FindingRow& row, std::ostream* out) { *out << row.fault; }

class SanitizerFindings : public ::testing::TestWithParam<FindingRow> {};

TEST_P(SanitizerFindings, EndTheProgramWithAStatusNoRowExpects) {
  Scratch scratch;
  const Outcome outcome =
      RunProgram(scratch, {.arguments = {GetParam().fault}, .program = TARNWICK_SANITIZER_PROBE});
  EXPECT_EQ(outcome.signal, 0);
  EXPECT_EQ(outcome.exit_status, GetParam().exit_status);
}

INSTANTIATE_TEST_SUITE_P(Faults, SanitizerFindings,
                         ::testing::Values(FindingRow{"heap-overflow", kAddressSanitizerStatus},
                                           FindingRow{"signed-overflow", kUndefinedBehaviorStatus}),
                         [](const auto& row_info) {
                           std::string name = row_info.param.fault;
                           std::erase(name, '-');
                           return name;
                         });

}  // namespace
}  // namespace tarnwick::e2e
