// The number syntax of the size and offset lines: which texts are numbers, their values, and the
// failure that every other text raises.

#include "patchlist/int64_field.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace tarnwick {
namespace {

constexpr int64_t kLargest = std::numeric_limits<int64_t>::max();
constexpr int64_t kSmallest = std::numeric_limits<int64_t>::min();

struct FieldRow {
  std::string text;
  std::optional<int64_t> value;  // empty: the text is refused
};

FieldRow Accepted(std::string text, int64_t value) { return {std::move(text), value}; }
FieldRow Refused(std::string text) { return {std::move(text), std::nullopt}; }

void PrintTo(const FieldRow& row, std::ostream* out) {
  *out << ::testing::PrintToString(row.text);
  if (row.value) {
    *out << " -> " << *row.value;
  } else {
    *out << " refused";
  }
}

// The examples that the number syntax is defined by, each accepted text with its value and each
// refused text.
std::vector<FieldRow> DefiningExamples() {
  return {
      Accepted("42", 42),
      Accepted("+42", 42),
      Accepted("0042", 42),
      Accepted("  42", 42),
      Accepted("-12", -12),
      Accepted("-0", 0),
      Accepted("$1F", 31),
      Accepted("0x1F", 31),
      Accepted("0X1f", 31),
      Accepted("x1F", 31),
      Accepted("X1F", 31),
      Accepted("-$10", -16),
      Accepted("9223372036854775807", kLargest),
      Accepted("-9223372036854775808", kSmallest),
      Accepted("$7FFFFFFFFFFFFFFF", kLargest),
      Accepted("$8000000000000000", kSmallest),
      Accepted("$FFFFFFFFFFFFFFFF", -1),
      Accepted("-$FFFFFFFFFFFFFFFF", 1),
      Accepted("$00000000000000000001", 1),
      Refused(""),
      Refused("   "),
      Refused("-"),
      Refused("$"),
      Refused("0x"),
      Refused("x"),
      Refused("42 "),
      Refused("\t42"),
      Refused("- 12"),
      Refused("+-12"),
      Refused("--1"),
      Refused("$-10"),
      Refused("0x-1"),
      Refused("12a"),
      Refused("1e3"),
      Refused("1,5"),
      Refused("0x1G"),
      Refused("0b101"),
      Refused("9223372036854775808"),
      Refused("-9223372036854775809"),
      Refused("$10000000000000000"),
  };
}

// Where a decimal number meets the edges of the signed 64-bit range: the digit guard at
// 922337203685477580, the sign test after the last digit, and leading zeros that make a text
// longer without making the number bigger.
std::vector<FieldRow> DecimalBoundaries() {
  return {
      Accepted("922337203685477580", 922337203685477580),
      Accepted("9223372036854775800", 9223372036854775800),
      Accepted("9223372036854775806", kLargest - 1),
      Accepted("+9223372036854775807", kLargest),
      Accepted("-9223372036854775807", -kLargest),
      Accepted("1000000000000000000", 1000000000000000000),
      Accepted("09223372036854775807", kLargest),
      Accepted("0000000009223372036854775807", kLargest),
      Accepted("-09223372036854775808", kSmallest),
      Accepted("00000000000000000000000042", 42),
      Accepted("0", 0),
      Accepted("+0", 0),
      Accepted("-0000", 0),
      Refused("9223372036854775809"),
      Refused("9999999999999999999"),
      Refused("10000000000000000000"),
      Refused("18446744073709551615"),
      Refused("18446744073709551616"),
      Refused("-9223372036854775810"),
      Refused("-18446744073709551616"),
      Refused("-92233720368547758080"),
      Refused("00009223372036854775808"),
      Refused("-00009223372036854775809"),
  };
}

// At most 16 significant hexadecimal digits, read as a two's-complement pattern that a minus sign
// negates; leading zeros are not significant.
std::vector<FieldRow> HexadecimalBoundaries() {
  return {
      Accepted("$1000000000000000", int64_t{1} << 60),
      Accepted("$0FFFFFFFFFFFFFFFF", -1),
      Accepted("0x0000FFFFFFFFFFFFFFFF", -1),
      Accepted("X00000000000000008000000000000000", kSmallest),
      Accepted("-$8000000000000000", kSmallest),
      Accepted("-$7FFFFFFFFFFFFFFF", -kLargest),
      Accepted("-$8000000000000001", kLargest),
      Accepted("0xaBcDeF", 0xABCDEF),
      Accepted("$0", 0),
      Accepted("0x0", 0),
      Accepted("-x0", 0),
      Refused("$FFFFFFFFFFFFFFFF0"),
      Refused("x10000000000000000"),
      Refused("-0X10000000000000000"),
      Refused("$00010000000000000000"),
  };
}

// Every hexadecimal prefix, bare, after either sign and after leading spaces; and the texts that
// look like a prefix but are none.
std::vector<FieldRow> HexadecimalPrefixes() {
  std::vector<FieldRow> rows;
  for (const char* prefix : {"$", "x", "X", "0x", "0X"}) {
    const std::string p = prefix;
    rows.push_back(Accepted(p + "1f", 31));
    rows.push_back(Accepted("+" + p + "1F", 31));
    rows.push_back(Accepted("-" + p + "1F", -31));
    rows.push_back(Accepted("  -" + p + "1F", -31));
    rows.push_back(Refused(p));
    rows.push_back(Refused("-" + p));
    rows.push_back(Refused("+" + p));
    rows.push_back(Refused(p + " 1"));
    rows.push_back(Refused(p + "-1"));
    rows.push_back(Refused(p + "+1"));
    rows.push_back(Refused(p + "G"));
    rows.push_back(Refused(" " + p + " "));
  }
  rows.push_back(Refused("$$1"));
  rows.push_back(Refused("0xx1"));
  rows.push_back(Refused("0x$1"));
  rows.push_back(Refused("00x1"));  // the prefix is 0x only as the first two characters
  rows.push_back(Refused("10x1"));
  rows.push_back(Refused("1$"));
  return rows;
}

// Only the space is a blank, and only before the sign; every other byte around a number, or
// between its sign and digits, is left over.
std::vector<FieldRow> BlanksAndControlBytes() {
  return {
      Accepted("     -12", -12),
      Refused("+"),
      Refused(" -"),
      Refused("+ 1"),
      Refused("1 2"),
      Refused(" 42 "),
      Refused("42\t"),
      Refused("4\t2"),
      Refused("42\r"),
      Refused("\r42"),
      Refused("4\r2"),
      Refused("\n42"),
      Refused("\v42"),
      Refused("\f42"),
      Refused(std::string("\xA0") + "42"),  // a no-break space in Latin-1
      Refused("-\t12"),
  };
}

// A byte 0 is the end of the text: what follows it is never looked at.
std::string WithByteZero(const std::string& before, const std::string& after) {
  return before + '\0' + after;
}

std::vector<FieldRow> ByteZeroEndsTheText() {
  return {
      Accepted(WithByteZero("42", "junk"), 42),
      Accepted(WithByteZero("42", ""), 42),
      Accepted(WithByteZero("4", " 2"), 4),
      Accepted(WithByteZero("-$1F", "zz"), -31),
      Accepted(WithByteZero("0", "x1"), 0),
      Accepted(WithByteZero("9223372036854775807", "9"), kLargest),
      Refused(WithByteZero("", " 42")),
      Refused(WithByteZero("", "")),
      Refused(WithByteZero("  ", " 42")),
      Refused(WithByteZero("-", "1")),
      Refused(WithByteZero("0x", "1")),
      Refused(WithByteZero("42 ", "")),
      Refused(WithByteZero("9223372036854775808", "")),
  };
}

std::vector<FieldRow> AllRows() {
  std::vector<FieldRow> rows;
  for (auto group : {DefiningExamples(), DecimalBoundaries(), HexadecimalBoundaries(),
                     HexadecimalPrefixes(), BlanksAndControlBytes(), ByteZeroEndsTheText()}) {
    rows.insert(rows.end(), group.begin(), group.end());
  }
  return rows;
}

// Built by appending: at -O3, GCC 12 takes "'" + text for a copy that may overlap itself
// (-Wrestrict).
std::string QuotedText(const std::string& text) {
  std::string quoted = "'";
  quoted.append(text).append("'");
  return quoted;
}

class Int64FieldRows : public ::testing::TestWithParam<FieldRow> {};

TEST_P(Int64FieldRows, GivesTheNumberOrRefusesTheWholeText) {
  const FieldRow& row = GetParam();
  if (row.value) {
    EXPECT_EQ(ParseInt64Field(row.text), *row.value);
    return;
  }
  try {
    const int64_t value = ParseInt64Field(row.text);
    ADD_FAILURE() << "accepted as " << value;
  } catch (const ConversionFailure& failure) {
    EXPECT_EQ(failure.message(), QuotedText(row.text) + " is not a valid integer value");
  }
}

INSTANTIATE_TEST_SUITE_P(Texts, Int64FieldRows, ::testing::ValuesIn(AllRows()));

}  // namespace
}  // namespace tarnwick
