// The raw command-line splitter and the argument list as the system hands it over.

#include "app/command_line.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarnwick {
namespace {

using Words = std::vector<std::string>;

struct SplitRow {
  const char* name;
  std::string raw;
  Words arguments;
};

class SplitRows : public ::testing::TestWithParam<SplitRow> {};

TEST_P(SplitRows, GivesTheArgumentsAfterTheProgramName) {
  const SplitRow& row = GetParam();
  EXPECT_EQ(SplitCommandLine(row.raw), row.arguments);
}

INSTANTIATE_TEST_SUITE_P(
    Separators, SplitRows,
    ::testing::Values(
        SplitRow{"EmptyLine", "", {}}, SplitRow{"OnlyTheProgram", "prog", {}},
        SplitRow{"OnlySeparators", " \t\r\n ", {}}, SplitRow{"Blanks", "prog a b", {"a", "b"}},
        SplitRow{"RunsOfSeparatorsAreOne", "prog  \t a \t\t  b  ", {"a", "b"}},
        SplitRow{"LeadingSeparatorsBeforeTheProgram", "  \tprog a", {"a"}},
        // Every byte from 1 to 32 separates, not only blanks and tabs.
        SplitRow{
            "ControlBytesSeparate", "prog\001a\037b\013c\032d\r\ne", {"a", "b", "c", "d", "e"}},
        SplitRow{"Byte33IsOrdinary", "prog !a!", {"!a!"}},
        SplitRow{"Byte127IsOrdinary", "prog a\177b", {"a\177b"}},
        SplitRow{
            "HighBytesAreOrdinary", "prog \x80\xa0\xff \xe9t\xe9", {"\x80\xa0\xff", "\xe9t\xe9"}}),
    [](const auto& row_info) { return std::string(row_info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Quotes, SplitRows,
    ::testing::Values(
        SplitRow{"QuotedBlanksStayInTheWord", "prog \"my game.dat\" list", {"my game.dat", "list"}},
        SplitRow{"QuotedControlBytesStayInTheWord", "prog \"a\tb\001c\"", {"a\tb\001c"}},
        SplitRow{"QuotedSeparatorsOnly", "prog \" \"", {" "}},
        SplitRow{"UnterminatedQuoteRunsToTheEnd", "prog \"a b  ", {"a b  "}},
        SplitRow{"AdjacentStretchesFormOneWord", "prog a\"b c\"d", {"ab cd"}},
        SplitRow{"TwoQuotedStretchesFormOneWord", "prog \"a\"\"b\" c", {"ab", "c"}},
        SplitRow{"QuotedProgramName", "\"C:\\Program Files\\Tarnwick.exe\" game.dat", {"game.dat"}},
        SplitRow{"QuoteInTheMiddleOfAWordRemoved", "prog ga\"\"me.dat", {"game.dat"}}),
    [](const auto& row_info) { return std::string(row_info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    EmptyWords, SplitRows,
    ::testing::Values(
        SplitRow{"OnlyAPairOfQuotes", "prog \"\"", {}},
        SplitRow{"PairOfQuotesBetweenTwoWords", "prog t \"\" l", {"t", "l"}},
        SplitRow{"SeveralEmptyStretchesInOneWord", "prog \"\"\"\"\"\" x", {"x"}},
        SplitRow{"SeveralEmptyWords", "prog \"\" \"\" \"\"", {}},
        SplitRow{"LoneQuoteAtTheEnd", "prog a \"", {"a"}},
        SplitRow{"EmptyStretchBesideALetterKeepsTheLetter", "prog a\"\" \"\"b", {"a", "b"}},
        // An empty first word is no word, so the next word is the program's name.
        SplitRow{"EmptyWordBeforeTheProgram", "\"\" prog a", {"a"}}),
    [](const auto& row_info) { return std::string(row_info.param.name); });

TEST(SplitCommandLine, EndsAtTheFirstByteZero) {
  EXPECT_EQ(SplitCommandLine(std::string("prog a\0b c", 10)), Words({"a"}));
}

struct ListRow {
  const char* name;
  std::vector<const char*> values;  // as the system hands them, the program's name first
  Words arguments;
};

class ListRows : public ::testing::TestWithParam<ListRow> {};

TEST_P(ListRows, DropsEmptyArgumentsAndKeepsTheOthersUnchanged) {
  const ListRow& row = GetParam();
  EXPECT_EQ(ArgumentsFromList(static_cast<int>(row.values.size()), row.values.data()),
            row.arguments);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, ListRows,
    ::testing::Values(ListRow{"NoListAtAll", {}, {}}, ListRow{"OnlyTheProgram", {"prog"}, {}},
                      ListRow{"InOrder", {"prog", "t", "l", "r", "x"}, {"t", "l", "r", "x"}},
                      ListRow{"OnlyEmptyArguments", {"prog", "", ""}, {}},
                      ListRow{"LaterArgumentsMoveUp", {"prog", "", "t", "", "l"}, {"t", "l"}},
                      ListRow{"EmptyProgramNameIsNotAnArgument", {"", "t"}, {"t"}},
                      // Nothing is trimmed, unquoted or converted.
                      ListRow{"BytesKept",
                              {"prog", " a ", "\"q\"", "\xe9\xff", "\t"},
                              {" a ", "\"q\"", "\xe9\xff", "\t"}}),
    [](const auto& row_info) { return std::string(row_info.param.name); });

}  // namespace
}  // namespace tarnwick
