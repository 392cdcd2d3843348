// The input/output failure: its message by the error's meaning, and the pending code that CheckIo
// turns into it.

#include "app/failure.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>

namespace tarnwick {
namespace {

struct MessageRow {
  const char* name;
  int32_t code;
  const char* message;
};

class MessageRows : public ::testing::TestWithParam<MessageRow> {};

TEST_P(MessageRows, MessageFollowsTheErrorsMeaning) {
  const MessageRow& row = GetParam();
  EXPECT_EQ(IoFailureMessage(row.code), row.message);
  const IoFailure failure(row.code, nullptr);
  EXPECT_EQ(failure.code(), row.code);
  EXPECT_EQ(failure.kind(), "IoFailure");
  EXPECT_EQ(failure.message(), row.message);
}

// The numbers of the other console system (5 access denied, 101 disk full, ...) mean other things
// here, so the number alone never picks the message.
INSTANTIATE_TEST_SUITE_P(
    Codes, MessageRows,
    ::testing::Values(MessageRow{"NoEntry", ENOENT, "File not found"},
                      MessageRow{"NameTooLong", ENAMETOOLONG, "Invalid filename"},
                      MessageRow{"ProcessOutOfDescriptors", EMFILE, "Too many open files"},
                      MessageRow{"SystemOutOfDescriptors", ENFILE, "Too many open files"},
                      MessageRow{"AccessRefused", EACCES, "File access denied"},
                      MessageRow{"NotPermitted", EPERM, "File access denied"},
                      MessageRow{"NoSpace", ENOSPC, "Disk full"},
                      MessageRow{"QuotaExceeded", EDQUOT, "Disk full"},
                      MessageRow{"InputChannelNotOpen", 104, "I/O error 104"},
                      MessageRow{"OutputChannelNotOpen", 105, "I/O error 105"},
                      MessageRow{"DeviceError", EIO, "I/O error 5"},
                      MessageRow{"Number101", 101, "I/O error 101"},
                      MessageRow{"Number100", 100, "I/O error 100"},
                      MessageRow{"Number106", 106, "I/O error 106"},
                      MessageRow{"Number3", 3, "I/O error 3"},
                      MessageRow{"ReaderGone", EPIPE, "I/O error 32"},
                      MessageRow{"NegativeInSignedDecimal", -7, "I/O error -7"}),
    [](const auto& row_info) { return std::string(row_info.param.name); });

class CheckIoTest : public ::testing::Test {
 protected:
  void SetUp() override { TakePendingIoCode(); }
  void TearDown() override { TakePendingIoCode(); }
};

TEST_F(CheckIoTest, NothingPendingRaisesNothing) {
  EXPECT_EQ(PendingIoCode(), 0);
  EXPECT_NO_THROW(CheckIo());
  EXPECT_EQ(PendingIoCode(), 0);
}

TEST_F(CheckIoTest, RaisesThePendingCodeAndLeavesNothingBehind) {
  StorePendingIoCode(ENOSPC);
  EXPECT_EQ(PendingIoCode(), ENOSPC);
  try {
    CheckIo();
    FAIL() << "CheckIo raised nothing";
  } catch (const IoFailure& failure) {
    EXPECT_EQ(failure.code(), ENOSPC);
    EXPECT_EQ(failure.message(), "Disk full");
  }
  EXPECT_EQ(PendingIoCode(), 0);
  EXPECT_NO_THROW(CheckIo());
}

TEST_F(CheckIoTest, TheLaterOfTwoCodesWins) {
  StorePendingIoCode(EIO);
  StorePendingIoCode(EPIPE);
  try {
    CheckIo();
    FAIL() << "CheckIo raised nothing";
  } catch (const IoFailure& failure) {
    EXPECT_EQ(failure.code(), EPIPE);
    EXPECT_EQ(failure.message(), "I/O error 32");
  }
}

TEST_F(CheckIoTest, TakingTheCodeClearsIt) {
  StorePendingIoCode(105);
  EXPECT_EQ(TakePendingIoCode(), 105);
  EXPECT_EQ(PendingIoCode(), 0);
  EXPECT_NO_THROW(CheckIo());
}

}  // namespace

// A function of its own section, so that the linker marks where its code begins and ends: a
// failure that its check raises must be located between the two, not inside the check and not in
// the function that called this one.
extern "C" const char __start_tarnwick_check_caller[];
extern "C" const char __stop_tarnwick_check_caller[];

[[gnu::noinline, gnu::section("tarnwick_check_caller")]] int CallCheckIoAndGoOn(int value) {
  CheckIo();
  return value + 1;
}

[[gnu::noinline, gnu::section("tarnwick_check_caller")]] const void* CallerLocationFromProbe() {
  const void* location = CallerLocation();
  return location;
}

namespace {

TEST_F(CheckIoTest, FailureIsLocatedInTheFunctionThatCalledTheCheck) {
  StorePendingIoCode(EIO);
  const void* location = nullptr;
  try {
    CallCheckIoAndGoOn(1);
  } catch (const IoFailure& failure) {
    location = failure.location();
  }
  ASSERT_NE(location, nullptr);
  const auto* address = static_cast<const char*>(location);
  EXPECT_GT(address, __start_tarnwick_check_caller);
  EXPECT_LT(address, __stop_tarnwick_check_caller);
}

TEST_F(CheckIoTest, CallerLocationIsInTheCallingFunction) {
  // CallerLocation is how the report locates a failure it finds itself.
  const auto* address = static_cast<const char*>(CallerLocationFromProbe());
  EXPECT_GT(address, __start_tarnwick_check_caller);
  EXPECT_LT(address, __stop_tarnwick_check_caller);
}

}  // namespace
}  // namespace tarnwick
