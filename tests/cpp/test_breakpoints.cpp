#include <korvel/breakpoints.hpp>
#include <korvel/tagpath.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

using korvel::read_number;

TEST(Breakpoints, FieldsAsTheRuleSplitsThem) {
    const auto f = korvel::breakpoint_fields("0,0##7#10,20#,#1,2,3# 1 , 2 ");
    ASSERT_EQ(f.size(), 4u);
    EXPECT_EQ(f[0].x, "0");
    EXPECT_EQ(f[1].y, "20");
    EXPECT_EQ(f[2].x, "1");
    EXPECT_EQ(f[2].y, "2"); // fields past the second are ignored
    EXPECT_EQ(f[3].x, " 1 ");
    EXPECT_TRUE(korvel::breakpoint_fields("").empty());
    EXPECT_TRUE(korvel::breakpoint_fields("abc").empty());
    // '#' and ',' never occur inside a multi-byte UTF-8 sequence.
    const auto u = korvel::breakpoint_fields("\xc3\xa9,1#2,\xe2\x80\x83");
    ASSERT_EQ(u.size(), 2u);
    EXPECT_EQ(u[1].y, "\xe2\x80\x83");
}

TEST(Breakpoints, SortedByXWithEachYKept) {
    const auto t = korvel::parse_breakpoints("100,1#0,5#50,3#nan,9#50,4");
    EXPECT_EQ(t.x.size(), 5u);
    EXPECT_EQ(std::vector<double>(t.x.begin(), t.x.end() - 1),
              (std::vector<double>{0.0, 50.0, 50.0, 100.0}));
    EXPECT_TRUE(std::isnan(t.x.back())); // NaNs last
    EXPECT_EQ(t.y, (std::vector<double>{5.0, 3.0, 4.0, 1.0, 9.0}));
}

TEST(Breakpoints, BadFieldsAreRefusedXFirst) {
    try {
        korvel::parse_breakpoints("1,a#b,2");
        FAIL();
    } catch (const korvel::bad_number& e) {
        EXPECT_STREQ(e.what(), "could not convert string to float: 'b'");
    }
    EXPECT_THROW(korvel::parse_breakpoints("1,"), korvel::bad_number);
}

TEST(Breakpoints, NumbersReadAsFloatReadsThem) {
    // Values as Python's float() gives them for the same text.
    EXPECT_EQ(read_number("1_0"), 10.0);
    EXPECT_EQ(read_number(" 2e5 "), 2e5);
    EXPECT_EQ(read_number(".5"), 0.5);
    EXPECT_EQ(read_number("5."), 5.0);
    EXPECT_EQ(read_number("1e1_0"), 1e10);
    EXPECT_EQ(read_number("\v1\f"), 1.0);
    EXPECT_EQ(read_number("1e400"), std::numeric_limits<double>::infinity());
    EXPECT_EQ(read_number("-Infinity"), -std::numeric_limits<double>::infinity());
    const auto tiny = read_number("-1e-400");
    ASSERT_TRUE(tiny);
    EXPECT_TRUE(*tiny == 0.0 && std::signbit(*tiny));
    EXPECT_EQ(read_number("4e-320"), 4e-320);
    const auto nan = read_number("-nAn");
    ASSERT_TRUE(nan);
    EXPECT_TRUE(std::isnan(*nan) && std::signbit(*nan));
    for (const char* bad :
         {"0x10", "1__0", "_1", "1_", "1_e5", "infinit", "1e", "", "  ", "+-1", ".", "e1",
          "\x1c"
          "1"})
        EXPECT_FALSE(read_number(bad)) << bad;
    EXPECT_FALSE(read_number(std::string("1\0", 2)));
}

TEST(TagPath, SplitAndJoin) {
    using korvel::tagpath::join;
    using korvel::tagpath::split;
    EXPECT_EQ(split("Loop1.data.SP"), (std::vector<std::string_view>{"Loop1", "data", "SP"}));
    EXPECT_EQ(split(""), (std::vector<std::string_view>{""}));
    EXPECT_EQ(split(".a"), (std::vector<std::string_view>{"", "a"}));
    EXPECT_EQ(split("a..b"), (std::vector<std::string_view>{"a", "", "b"}));
    EXPECT_EQ(join("", "x"), "x");
    EXPECT_EQ(join("top", "x"), "top.x");
    EXPECT_EQ(join("", ""), ""); // an empty key at the top leaves no trace
}
