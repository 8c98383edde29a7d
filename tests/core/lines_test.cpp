// Lines and columns from byte offsets: they must agree with the scanner's
// own marks, also for a text that starts part-way into its stream, and the
// excerpt under an error must put its caret under the right character.
#include "core/lines.hpp"

#include <gtest/gtest.h>

#include <string>

#include "../support/reader_helpers.hpp"

namespace {

using namespace tesvorn;

// Line breaks of every kind, a byte order mark, characters of two to four
// bytes, tabs, and a line longer than the index's 4 KiB blocks.
const std::string kTexts[] = {
    "a: 1\nb: [x, y]\n",
    "a: 1\r\nb:\r\n  - x\r\n  - 'q'\r\n",
    "a: 1\rb: 2\r\rc: 3",
    "\xEF\xBB\xBF"
    "k: v\nl: w\n",
    "\xC3\xA9: \xE2\x82\xAC\n\xF0\x9F\x98\x80: [\xC3\xBC, b]\n",
    "a: x\ty\t# c\nb: \"x\n  y\"\n",
    "k: [" + std::string(5000, 'x') + ", \xC3\xA9, z]\nl: 1\n",
};

TEST(LineIndexLocate, AgreesWithTheScannerOnEveryToken) {
    for (const std::string& text : kTexts) {
        const auto scanned = test_support::scan(text);
        ASSERT_TRUE(scanned.ok) << text;
        LineIndex index;
        for (const Token& t : scanned.tokens) {
            if (t.type == TokenType::StreamEnd || t.type == TokenType::BlockEnd) continue;
            const TextPosition p = index.locate(text, t.mark.pos);
            EXPECT_EQ(p, (TextPosition{t.mark.line, t.mark.col, t.mark.index}))
                << "at character " << t.mark.pos << " of " << text;
        }
    }
}

TEST(LineIndexLocate, ATextLaterInItsStreamKnowsWhereItStarts) {
    // Cut each text at every byte boundary of a character, as a stream's
    // text is cut once the documents before no longer need it.
    for (const std::string& text : kTexts) {
        LineIndex whole;
        for (std::size_t cut = 0; cut <= text.size(); ++cut) {
            if (cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
                continue;
            const std::string_view rest = std::string_view(text).substr(cut);
            LineIndex part;
            part.set_origin(TextOrigin{}.after(std::string_view(text).substr(0, cut)));
            for (std::size_t at = 0; at < rest.size(); ++at) {
                if (cut + at < 3 && text.starts_with("\xEF\xBB\xBF")) continue;
                EXPECT_EQ(part.locate(rest, at), whole.locate(text, cut + at))
                    << "cut " << cut << " at " << at << " of " << text;
            }
        }
    }
}

TEST(LineIndexLocate, FollowsATextThatGrows) {
    // A stream read in chunks: the index built for the first part extends
    // when asked about the rest, a CR LF split between chunks included.
    const std::string text = "a: 1\r\nb: 2\r\nc: 3\n";
    LineIndex grown;
    LineIndex once;
    for (std::size_t have = 1; have <= text.size(); ++have) {
        const std::string_view part = std::string_view(text).substr(0, have);
        for (std::size_t at = 0; at < have; ++at)
            EXPECT_EQ(grown.locate(part, at), once.locate(text, at)) << have << " " << at;
    }
    EXPECT_EQ(grown.locate(text, 14), (TextPosition{3, 2, 14}));
}

struct Excerpt {
    std::string text;
    std::size_t at;
    std::size_t column;
    std::string expected;
};

TEST(CaretExcerpt, ShowsTheLineAndPointsAtTheColumn) {
    const std::string long_line = "k: [" + std::string(200, '1') + "x]";
    const Excerpt cases[] = {
        {"a: [1, 2\n", 9, 0, "    \n    ^"},
        {"a:\n\tb: [c\n", 7, 4, "    \tb: [c\n    \t   ^"},
        {"\xEF\xBB\xBFk: [", 3, 0, "    k: [\n    ^"},
        {"\xEF\xBB\xBFk: [", 6, 3, "    k: [\n       ^"},
        {long_line, 204, 204,
         "    ..." + std::string(40, '1') + "x]\n" + std::string(47, ' ') + "^"},
        {long_line, 2, 2, "    " + long_line.substr(0, 80) + "...\n      ^"},
    };
    for (const Excerpt& c : cases)
        EXPECT_EQ(caret_excerpt(c.text, c.at, c.column), c.expected) << c.text;
}

}  // namespace
