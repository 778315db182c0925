// The typed line trimmed to a name, and the result name chosen from it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "naming.h"
#include "test_names.h"

namespace {

struct NamingCase {
  const char* input_name;
  const char* result_name;
};

void PrintTo(const NamingCase& c, std::ostream* os) {
  *os << testing::PrintToString(c.input_name) << " -> " << c.result_name;
}

class ResultName : public testing::TestWithParam<NamingCase> {};

TEST_P(ResultName, FollowsTheLastEightBytes) {
  EXPECT_EQ(result_names[choose_result_name(GetParam().input_name)], GetParam().result_name);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ResultName,
    testing::Values(NamingCase{"test.fzz", "test2.fzz"}, NamingCase{"mytest.fzz", "test2.fzz"},
                    NamingCase{"old/test.fzz", "test2.fzz"},
                    NamingCase{"C:\\data\\test.fzz", "test2.fzz"},
                    NamingCase{"test2.fzz", "test.fzz"}, NamingCase{"a.fzz", "test.fzz"},
                    NamingCase{"", "test.fzz"}, NamingCase{"est.fzz", "test.fzz"},
                    NamingCase{"TEST.FZZ", "test.fzz"}, NamingCase{"Test.fzz", "test.fzz"},
                    NamingCase{"test.fzz ", "test.fzz"}, NamingCase{"test.fz", "test.fzz"},
                    NamingCase{"\xfftest.fzz", "test2.fzz"}, NamingCase{"data.bin", "test.fzz"}));

struct TrimCase {
  const char* name;
  std::string typed;  // the bytes in the line buffer after the read
  std::string trimmed;
};

using row_printing::PrintTo;

class Trim : public testing::TestWithParam<TrimCase> {};

TEST_P(Trim, CutsAtTheFirstControlByte) {
  char line[line_buffer_size];
  std::fill(std::begin(line), std::end(line), 'X');  // what the reader did not fill stays
  const std::string& typed = GetParam().typed;
  ASSERT_LT(typed.size(), sizeof line);
  std::copy(typed.begin(), typed.end(), line);
  line[typed.size()] = '\0';
  trim_input_name(line);
  EXPECT_EQ(std::string(line), GetParam().trimmed) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Trim,
    testing::Values(TrimCase{"newline", "data.bin\n", "data.bin"},
                    TrimCase{"crlf", "data.bin\r\n", "data.bin"}, TrimCase{"empty line", "\n", ""},
                    TrimCase{"no newline", "data.bin", "data.bin"},
                    TrimCase{"leading and trailing spaces", "  a b \n", "  a b "},
                    TrimCase{"tab", "abc\tdef\n", "abc"},
                    TrimCase{"other control byte",
                             "ab\x1f"
                             "cd",
                             "ab"},
                    TrimCase{"escape", "ab\x1b[0m", "ab"},
                    TrimCase{"delete and high bytes stay", "a\x7f\x80\xff.bin\n",
                             "a\x7f\x80\xff.bin"},
                    TrimCase{"127 characters", std::string(127, 'n'), std::string(127, 'n')}),
    [](const testing::TestParamInfo<TrimCase>& c) { return test_name(c.param.name); });

TEST(Trim, StopsAtIndex127WhenNoByteEndsTheName) {
  char line[line_buffer_size];
  std::fill(std::begin(line), std::end(line), 'n');
  trim_input_name(line);
  EXPECT_EQ(std::string(line), std::string(127, 'n'));
}

}  // namespace
