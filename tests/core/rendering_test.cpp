#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "core/emitter.hpp"
#include "core/layout.hpp"

using namespace tesvorn;

namespace {

std::string plain(std::string s) {
    return emit_scalar_value_with_style(ScalarValue::of_str(std::move(s)), ScalarStyle::Plain);
}

std::string styled(std::string s, ScalarStyle style) {
    return emit_scalar_value_with_style(ScalarValue::of_str(std::move(s)), style);
}

}  // namespace

TEST(Rendering, NumbersBooleansNull) {
    const auto f = [](double d) {
        return emit_scalar_value_with_style(ScalarValue::of_float(d), ScalarStyle::Double);
    };
    EXPECT_EQ(f(3), "3.0");
    EXPECT_EQ(f(0.1), "0.1");
    EXPECT_EQ(f(-0.0), "-0.0");
    EXPECT_EQ(f(1e20), "100000000000000000000.0");
    EXPECT_EQ(f(2.5e-7), "0.00000025");
    EXPECT_EQ(f(std::numeric_limits<double>::infinity()), ".inf");
    EXPECT_EQ(f(-std::numeric_limits<double>::infinity()), "-.inf");
    EXPECT_EQ(f(-std::numeric_limits<double>::quiet_NaN()), ".nan");
    EXPECT_EQ(
        emit_scalar_value_with_style(ScalarValue::of_int(std::numeric_limits<std::int64_t>::min()),
                                     ScalarStyle::Single),
        "-9223372036854775808");
    EXPECT_EQ(emit_scalar_value_with_style(ScalarValue::of_bool(false), ScalarStyle::Double),
              "false");
    EXPECT_EQ(emit_scalar_value_with_style(ScalarValue::null(), ScalarStyle::Single), "null");
    EXPECT_EQ(emit_scalar_value_with_style(
                  ScalarValue::of_big_int("-123456789012345678901234567890"), ScalarStyle::Double),
              "-123456789012345678901234567890");
}

TEST(Rendering, PlainStringsThatWouldBeTyped) {
    for (const char* s : {"yes",  "No",    "~",   "null", "1",   "-1", "+1",
                          "0x1F", "-0x1F", "0o7", "1.5",  "1e3", ".5", "-.inf",
                          ".NaN", "---",   "...", "0x-1", "007", "1.", "99999999999999999999"})
        EXPECT_EQ(plain(s), "'" + std::string(s) + "'") << s;
    for (const char* s : {"inf", "nan", "1_000", "0x", "0xZZ", "+.inf", "1e", "y", "nULL", "1:30"})
        EXPECT_EQ(plain(s), s) << s;
}

TEST(Rendering, PlainStringsThatWouldNotReadBack) {
    for (const char* s : {"a: b", "a:",    "a #b",  "a\t#b",  "a:\tb", "#x",  "- x", "-x",  "@x",
                          "[x",   "`x",    "%x",    "!x",     "&x",    "*x",  "|x",  ">x",  "?x",
                          "<x",   "=x",    ",x",    "{x",     "'x",    "\"x", " x",  "\tx", "x ",
                          "x\t",  "--- x", "... x", "...\tx", ": x",   ":",   "a\tb"})
        EXPECT_EQ(plain(s)[0], '\'') << s;
    for (const char* s : {"a:b", "a#b", "a-b", "a b", "it's", ":x", "...x", "x,y", "é", "a\"b"})
        EXPECT_EQ(plain(s), s) << s;
    EXPECT_EQ(plain(""), "''");
}

TEST(Rendering, LineBreaksAndEscapesNeedDoubleQuotes) {
    EXPECT_EQ(plain("a\nb"), "\"a\\nb\"");
    EXPECT_EQ(styled("a\nb", ScalarStyle::Single), "\"a\\nb\"");
    // A raw CR in single quotes reads back as a line break.
    EXPECT_EQ(plain("a\rb"), "\"a\\rb\"");
    EXPECT_EQ(styled("a\rb", ScalarStyle::Single), "\"a\\rb\"");
    EXPECT_EQ(plain("a\x01"), "\"a\\x01\"");
    EXPECT_EQ(plain("\xEF\xBB\xBF"
                    "bom"),
              "\"\\uFEFFbom\"");
    EXPECT_EQ(styled("x", ScalarStyle::Literal), "\"x\"");
    EXPECT_EQ(styled("it's", ScalarStyle::Single), "'it''s'");
}

TEST(Rendering, Quoting) {
    EXPECT_EQ(single_quote("it's ''"), "'it''s '''''");
    EXPECT_EQ(double_quote("tab\tq\"b\\"), "\"tab\\tq\\\"b\\\\\"");
    EXPECT_EQ(double_quote(std::string("\0\x1f\x7f", 3)), "\"\\0\\x1F\\x7F\"");
    // C1 controls, NEL, line and paragraph separators, BOM, non-characters.
    EXPECT_EQ(double_quote("\xC2\x80\xC2\x85\xC2\x9F\xC2\xA0"), "\"\\x80\\N\\x9F\xC2\xA0\"");
    EXPECT_EQ(double_quote("\xE2\x80\xA8\xE2\x80\xA9\xE2\x80\xA7"), "\"\\L\\P\xE2\x80\xA7\"");
    EXPECT_EQ(double_quote("\xEF\xBB\xBF\xEF\xBF\xBE\xEF\xBF\xBF\xEF\xBF\xBD"),
              "\"\\uFEFF\\uFFFE\\uFFFF\xEF\xBF\xBD\"");
    EXPECT_EQ(double_quote("é😀"), "\"é😀\"");
    // A truncated sequence at the end is copied, never read past.
    EXPECT_EQ(double_quote("a\xC2"), "\"a\xC2\"");
}

// The comment lines read before an entry match its comment text only while
// they say the same, line for line, whatever the line breaks and blanks.
TEST(Rendering, LeadCommentLinesMatchTheirText) {
    const std::string one = "a";
    const std::string two = "a\nb";
    const std::string empty;
    struct Case {
        std::string_view lead;
        const std::string* comment;
        bool same;
    };
    for (const Case& c : {
             Case{"", nullptr, true},
             Case{"\n\n", nullptr, true},
             Case{"# a\n", nullptr, false},
             Case{"# a\n", &one, true},
             Case{"  #a\r\n", &one, true},
             Case{"# a\r# b\r", &two, true},
             Case{"# a\r\n\r\n  # b", &two, true},
             Case{"# a\n", &two, false},
             Case{"# a\n# b\n", &one, false},
             Case{"# ab\n", &one, false},
             Case{"#\n", &empty, true},
             Case{"\n", &one, false},
         })
        EXPECT_EQ(lead_comments_are(c.lead, c.comment), c.same) << c.lead;
}
