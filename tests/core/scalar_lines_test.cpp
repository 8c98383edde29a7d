#include "core/scalar_lines.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace tesvorn;

namespace {

struct Row {
    const char* text;
    std::size_t indent;
    const char* value;  // null: not taken apart
    const char* texts;  // the lines' texts in the source, joined by '|'
    std::size_t width;
};

std::string texts_of(const ScalarLines& r, std::string_view text) {
    std::string out;
    for (const auto& l : r.lines) {
        if (!out.empty()) out += '|';
        out.append(text.substr(l.src_begin, l.src_end - l.src_begin));
        // What each line reads as is its own slice of the value.
        EXPECT_LE(l.val_end, r.value.size());
    }
    return out;
}

}  // namespace

TEST(ScalarLines, EachLineItsTextAndWhatItReadsAs) {
    const Row rows[] = {
        // Block scalars: content column, folding, more-indented lines, chomping.
        {"|\n  a  \n  \n  b\n\n", 0, "a  \n\nb\n", "a  |b", 5},
        {"|+\n  a\n\n", 0, "a\n\n", "a", 3},
        {"|-\n    x\n    y\n", 2, "x\ny", "x|y", 5},
        {"|2\n   x\n", 0, " x\n", " x", 4},
        {">\n  one two\n  three\n\n  four\n   more\n  five\n", 0,
         "one two three\nfour\n more\nfive\n", "one two|three|four| more|five", 9},
        {">-  # c\n  a\n  b", 0, "a b", "a|b", 3},
        // Plain and quoted scalars: blanks around line breaks are not text,
        // empty lines are line feeds, quotes and escapes are read.
        {"one two  \n   three\n\n   four", 0, "one two three\nfour", "one two|three|four", 10},
        {"'it''s\n  a '' b  '", 0, "it's a ' b  ", "it''s|a '' b  ", 10},
        {"\"a\\tb \\\n   c\\x41\\u00e9 \n  d\\\"\"", 2, "a\tb cA\xC3\xA9 d\"",
         "a\\tb |c\\x41\\u00e9|d\\\"", 14},
        // Not taken apart: one line, an escape this reading does not know,
        // text less indented than its content, a tab as indentation.
        {"'one line'", 0, nullptr, "", 0},
        {"\"a\\q\n  b\"", 0, nullptr, "", 0},
        {"|\n  a\n b\n", 0, nullptr, "", 0},
        {"|\n\tx\n", 0, nullptr, "", 0},
    };
    for (const Row& row : rows) {
        ScalarLines r;
        const bool ok = read_scalar_lines(row.text, 3, row.indent, r);
        EXPECT_EQ(ok, row.value != nullptr) << row.text;
        if (!ok || row.value == nullptr) continue;
        EXPECT_EQ(r.value, row.value) << row.text;
        EXPECT_EQ(texts_of(r, row.text), row.texts) << row.text;
        EXPECT_EQ(r.width, row.width) << row.text;
        for (const auto& l : r.lines) EXPECT_LE(l.val_begin, l.val_end) << row.text;
    }
}
