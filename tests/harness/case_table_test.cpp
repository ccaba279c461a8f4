// The case table reader: rows it must understand, and rows it must refuse with a reason.
#include <gtest/gtest.h>

#include "case_table.h"
#include "modified_utf8.h"

namespace harness {
namespace {

struct Row {
    const char* line;
    const char* problem;  // a piece of the expected problem, or null when the row is good
};

const Row kRows[] = {
    {"ok\tget\tpresent\t1:61626300\tv\t-\t-\tString:abc", nullptr},
    {"ok\tset\tpresent\t-\t<null>\t-\tint[]:1,-2\tthrows:CVSWin32RegKeyException:unsupported value type", nullptr},
    {"ok\tset\tpresent\t-\tv\tfail:RegSetValueExA:0:5\tBytes:00ff\tabsent", nullptr},
    {"short\tget\tpresent\t-\tv\t-\t-", "expected 8 TAB-separated columns, found 7"},
    {"op\tput\tpresent\t-\tv\t-\t-\tInteger:1", "op 'put'"},
    {"key\tget\tthere\t-\tv\t-\t-\tInteger:1", "key 'there'"},
    {"hex\tget\tpresent\t3:ABC\tv\t-\t-\tInteger:1", "not TYPE:HEX"},
    {"stored\tget\tmissing\t4:00000000\tv\t-\t-\tInteger:1", "stored under a missing key"},
    {"hook\tget\tpresent\t-\tv\tfail:RegOpenKeyExA:x:5\t-\tInteger:1", "hook 'fail:RegOpenKeyExA:x:5'"},
    {"input\tget\tpresent\t-\tv\t-\tInteger:1\tInteger:1", "a get case takes no input"},
    {"range\tset\tpresent\t-\tv\t-\tShort:40000\tabsent", "'40000' is not a valid Short"},
    {"int\tget\tpresent\t-\tv\t-\t-\tInteger:2147483648", "is not a valid Integer"},
    {"kind\tget\tpresent\t-\tv\t-\t-\tLong:1", "unknown value kind 'Long'"},
    {"class\tget\tpresent\t-\tv\t-\t-\tthrows:IOException:x", "with a known CLASS"},
    {"escape\tget\tpresent\t-\tv\\q\t-\t-\tInteger:1", "bad escape"},
    {"setexp\tset\tpresent\t-\tv\t-\tnull\tInteger:1", "is not stored:TYPE:HEX, absent"},
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.line; }

class RowTest : public ::testing::TestWithParam<Row> {};

TEST_P(RowTest, ParsesOrNamesTheProblem) {
    Case c = parseCaseLine(GetParam().line, 7);
    if (GetParam().problem == nullptr) {
        EXPECT_EQ(c.problem, "");
    } else {
        EXPECT_NE(c.problem.find(GetParam().problem), std::string::npos) << c.problem;
        EXPECT_EQ(c.problem.rfind("line 7: ", 0), 0u) << c.problem;
    }
}

INSTANTIATE_TEST_SUITE_P(CaseTable, RowTest, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) {
                             return "row" + std::to_string(info.index);
                         });

TEST(CaseTableTest, ReadsEveryColumn) {
    Case c = parseCaseLine(
        "id\tset\tpresent\t4:2A000000\tn\\u00e9\\t\\\\\tfail:RegSetValueExA:2:-5\tLong:-9\tthrows:"
        "CVSWin32RegKeyException:a:b",
        3);
    ASSERT_EQ(c.problem, "");
    EXPECT_TRUE(c.isSet);
    EXPECT_TRUE(c.keyPresent);
    ASSERT_TRUE(c.stored.has_value());
    EXPECT_EQ(describe(c.stored), "stored:4:2A000000");
    EXPECT_FALSE(c.nullName);
    EXPECT_EQ(c.name, u"n\u00e9\t\\");
    EXPECT_EQ(c.hook.kind, Hook::Kind::Fail);
    EXPECT_EQ(c.hook.function, "RegSetValueExA");
    EXPECT_EQ(c.hook.skip, 2u);
    EXPECT_EQ(c.hook.error, -5);
    EXPECT_EQ(describe(c.input), "Long:-9");
    EXPECT_EQ(c.expect.kind, Expectation::Kind::Throws);
    EXPECT_EQ(c.expect.exceptionClass, "CVSWin32RegKeyException");
    EXPECT_EQ(c.expect.message, u"a:b");
}

TEST(CaseTableTest, TextIsUtf8WithEscapes) {
    std::string problem;
    auto text = parseText("\xC3\xA9\xF0\x9F\x98\x80\\u0041\\t", &problem);
    ASSERT_TRUE(text.has_value()) << problem;
    EXPECT_EQ(printable(*text), "\\u00E9\\uD83D\\uDE00A\\u0009");
    EXPECT_FALSE(parseText("\\u12", &problem).has_value());
    EXPECT_FALSE(parseText("\xC3", &problem).has_value());
}

}  // namespace
}  // namespace harness
