// Tokens of the scanner: structure, scalars, comments, positions, errors
// (messages and positions checked exactly) and hostile input.
#include "core/scanner.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "../support/reader_helpers.hpp"

namespace {

using namespace tesvorn;
using test_support::outcome;
using test_support::scan;

// Tokens in a compact notation: "< BMS ? :a : :1 #c BE >" (scalars as style
// character + value, comments as '#' + text).
std::string kinds(const std::string& text) {
    const auto s = scan(text);
    std::string out;
    for (const Token& t : s.tokens) {
        if (!out.empty()) out += ' ';
        switch (t.type) {
            case TokenType::StreamStart:
                out += '<';
                break;
            case TokenType::StreamEnd:
                out += '>';
                break;
            case TokenType::VersionDirective:
                out += "%Y" + std::to_string(t.major) + "." + std::to_string(t.minor);
                break;
            case TokenType::TagDirective:
                out += "%T(" + t.value + "," + t.suffix + ")";
                break;
            case TokenType::DocumentStart:
                out += "---";
                break;
            case TokenType::DocumentEnd:
                out += "...";
                break;
            case TokenType::BlockSequenceStart:
                out += "BSS";
                break;
            case TokenType::BlockMappingStart:
                out += "BMS";
                break;
            case TokenType::BlockEnd:
                out += "BE";
                break;
            case TokenType::FlowSequenceStart:
                out += '[';
                break;
            case TokenType::FlowSequenceEnd:
                out += ']';
                break;
            case TokenType::FlowMappingStart:
                out += '{';
                break;
            case TokenType::FlowMappingEnd:
                out += '}';
                break;
            case TokenType::BlockEntry:
                out += '-';
                break;
            case TokenType::FlowEntry:
                out += ',';
                break;
            case TokenType::Key:
                out += '?';
                break;
            case TokenType::Value:
                out += ':';
                break;
            case TokenType::Alias:
                out += "*" + t.value;
                break;
            case TokenType::Anchor:
                out += "&" + t.value;
                break;
            case TokenType::Tag:
                out += "!(" + t.value + "," + t.suffix + ")";
                break;
            case TokenType::Scalar: {
                static constexpr char kStyle[] = {':', '\'', '"', '|', '>'};
                out += kStyle[static_cast<int>(t.style)];
                test_support::append_escaped(out, t.value);
                break;
            }
            case TokenType::Comment:
                out += "#" + t.value;
                break;
        }
    }
    if (!s.ok) out += " ERROR " + s.error.info;
    return out;
}

// Everything the scanner gives for `text`, marks included.
template <class Source = TextSource>
std::string dump(const std::string& text) {
    const auto s = scan<Source>(text);
    std::string out;
    auto mark = [&out](const Marker& m) {
        out += std::to_string(m.index) + "/" + std::to_string(m.line) + "/" +
               std::to_string(m.col) + "/" + std::to_string(m.pos);
    };
    for (const Token& t : s.tokens) {
        out += std::to_string(static_cast<int>(t.type)) + ":" +
               std::to_string(static_cast<int>(t.style)) + "@";
        mark(t.mark);
        out += " " + std::to_string(t.end_line) + " " + std::to_string(t.end) + " " +
               std::to_string(t.major) + "." + std::to_string(t.minor) + " ";
        test_support::append_escaped(out, t.value);
        out += "|";
        test_support::append_escaped(out, t.suffix);
        out += "\n";
    }
    if (!s.ok) {
        out += "ERROR " + s.error.info + " @";
        mark(s.error.mark);
    }
    return out;
}

// Text read in place must give what the lookahead window gives.
void expect_same_as_window(const std::string& text) {
    std::string shown;
    test_support::append_escaped(shown, text);
    EXPECT_EQ(dump(text), dump<test_support::WindowedText>(text)) << shown;
}

std::string error_of(const std::string& text) {
    const auto s = scan(text);
    return s.ok ? "no error" : s.error.display();
}

// The value of the only scalar token, or the error text.
std::string scalar_of(const std::string& text) {
    const auto s = scan(text);
    if (!s.ok) return "ERROR " + s.error.info;
    std::string value = "(no scalar)";
    for (const Token& t : s.tokens)
        if (t.type == TokenType::Scalar) value = t.value;
    return value;
}

TEST(ScannerStream, EmptyInputAndForcedFinalLine) {
    auto s = scan("");
    ASSERT_TRUE(s.ok);
    ASSERT_EQ(s.tokens.size(), 2u);
    EXPECT_EQ(s.tokens[1].type, TokenType::StreamEnd);
    EXPECT_EQ(s.tokens[1].mark, (Marker{0, 1, 0}));

    s = scan("a: 1");
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(s.tokens.back().type, TokenType::StreamEnd);
    EXPECT_EQ(s.tokens.back().mark, (Marker{4, 2, 0, 4}));
    EXPECT_EQ(kinds("a: 1"), "< BMS ? :a : :1 BE >");
}

TEST(ScannerStream, NothingAfterTheEndOrAfterAnError) {
    TextScanner done{TextSource("a")};
    Token t;
    while (done.next(t)) {
    }
    EXPECT_FALSE(done.next(t));
    EXPECT_FALSE(done.stored_error());

    TextScanner failed{TextSource("@")};
    while (failed.next(t)) {
    }
    ASSERT_TRUE(failed.stored_error());
    EXPECT_FALSE(failed.next(t));
    EXPECT_EQ(failed.stored_error()->info, "unexpected character: `@'");
}

TEST(ScannerPositions, CharactersAndBytes) {
    // 'é' is two bytes and one character; CR LF is one line break. Index and
    // column count characters, pos counts bytes (as the messages do).
    auto s = scan("é: x\r\nb: y\rc: z");
    ASSERT_TRUE(s.ok) << s.error.display();
    std::vector<Marker> scalars;
    for (const Token& t : s.tokens)
        if (t.type == TokenType::Scalar) scalars.push_back(t.mark);
    ASSERT_EQ(scalars.size(), 6u);
    EXPECT_EQ(scalars[1], (Marker{3, 1, 3, 4}));    // x
    EXPECT_EQ(scalars[2], (Marker{6, 2, 0, 7}));    // b, after CR LF (two characters)
    EXPECT_EQ(scalars[4], (Marker{11, 3, 0, 12}));  // c, after a lone CR
    EXPECT_EQ(error_of("a: 1\n@x"), "unexpected character: `@' at character 5 line 2 column 1");
    EXPECT_EQ(error_of("é: `"), "unexpected character: `\x60' at character 3 line 1 column 4");
}

TEST(ScannerPositions, InvalidUtf8ReadsAsReplacementCharacters) {
    EXPECT_EQ(scalar_of("a\xff"
                        "b"),
              "a\xEF\xBF\xBD"
              "b");
    // A truncated sequence is one replacement, and the next character stays.
    EXPECT_EQ(scalar_of("a\xE2\x82"
                        "b"),
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(scalar_of("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(scalar_of("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // surrogate
    EXPECT_EQ(scalar_of("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
}

TEST(ScannerPositions, MultiByteAndBadBytesAtEveryPlaceInLongRuns) {
    // Runs longer than the lookahead are taken from the text a stretch at a
    // time; what they hold and where they end must not depend on where a
    // non-ASCII character falls.
    struct Piece {
        const char* raw;
        const char* read;  // as read: bad bytes become U+FFFD
        std::size_t chars;
    };
    const Piece pieces[] = {{"\xC3\xA9", "\xC3\xA9", 1},
                            {"\xE2\x82\xAC", "\xE2\x82\xAC", 1},
                            {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80", 1},
                            {"\xff", "\xEF\xBF\xBD", 1},
                            {"\xE2\x82", "\xEF\xBF\xBD", 1},
                            {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD", 2}};
    for (const Piece& piece : pieces) {
        for (std::size_t n = 0; n < detail::ScannerCore::kLookahead + 8; ++n) {
            const std::string head(n, 'x');
            const std::string want = head + piece.read + "yz";
            const std::size_t chars = n + piece.chars + 2;
            for (const char* form :
                 {"%s: v", "'%s': v", "# %s\n", "- |\n  %s\n", "\"%s\"", "[%s]"}) {
                std::string text = form;
                text.replace(text.find("%s"), 2, head + piece.raw + "yz");
                const auto s = scan(text);
                ASSERT_TRUE(s.ok) << text;
                const Token* found = nullptr;
                for (const Token& t : s.tokens)
                    if (!found && (t.type == TokenType::Scalar || t.type == TokenType::Comment))
                        found = &t;
                ASSERT_NE(found, nullptr) << text;
                EXPECT_EQ(found->value, found->style == ScalarStyle::Literal ? want + "\n" : want)
                    << text;
                if (form[0] == '%') {
                    // The ':' after the key: its mark counts characters and bytes.
                    const Token& value = s.tokens[4];
                    ASSERT_EQ(value.type, TokenType::Value) << text;
                    EXPECT_EQ(value.mark.index, chars) << text;
                    EXPECT_EQ(value.mark.col, chars) << text;
                    EXPECT_EQ(value.mark.pos, want.size()) << text;
                }
            }
        }
    }
}

TEST(ScannerPositions, InPlaceAsThroughTheWindow) {
    const std::string nul(1, '\0');
    for (const std::string& text : {
             std::string("a b c d e f g h i j k l m n o p q r s t: u v w x y z"),
             std::string("k: a:b c:d e#f g -h i- j :k\n"),
             std::string("k: a  b\tc # d\n  e\n\n  f\n"),
             std::string("a: b\r\nc: d\r\n  e\r\n"),
             std::string("\xEF\xBB\xBF"
                         "a: b\n"),
             std::string("a: \xEF\xBB\xBF\n"),
             "a" + nul + "b",
             "k: v # c" + nul,
             "'a b" + nul + "'",
             std::string("a: \xC3\xA9"),
             std::string("\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80: x"),
             std::string("[a \xC3\xA9, b:c, d : e, {f: g}]"),
             std::string("\"a\\u00e9 b\\\n  c \xC3\xA9\"\n"),
             std::string("'\xC3\xA9''\xC3\xA9'"),
             std::string("k: 'a  b\t ' # c\nl: \"\xC3\xA9 \\\" \xC3\xA9 \"\n"),
             std::string("|\n  \xC3\xA9\n   x\n\n  y"),
             std::string(">\n a\n\n b\n"),
             std::string("&\xC3\xA9 a: *\xC3\xA9"),
             std::string("!\xC3\xA9 a"),
             std::string("a: \xff b"),
             // How a stretch of plain text ends: blanks before a comment, a
             // ':' that may or may not be an indicator, a flow indicator, a
             // line break, the end, or more words.
             std::string("k: a  # c\nl: b\t# d\n"),
             std::string("k: a  :b c\nl: a \t: b\n"),
             std::string("[a  , b\t], {c  : d  }"),
             std::string("k: a  \n  b\t\n  c  "),
             std::string("- a  -b\n- c \t"),
         })
        expect_same_as_window(text);
    // Text that ends inside a run, at every place around the sixteen-byte
    // steps runs are searched in.
    for (std::size_t n = 0; n < 40; ++n) {
        const std::string word(n, 'x');
        for (const std::string& text :
             {"k: " + word, "# " + word, "'" + word, "\"" + word, "[" + word, "- " + word + " y",
              "k: " + word + "\xC3\xA9", "|\n " + word})
            expect_same_as_window(text);
    }
}

TEST(ScannerNul, IsAnErrorAtItsPositionNotAnEnd) {
    const std::string nul(1, '\0');
    EXPECT_EQ(error_of("a" + nul + "b"),
              "found invalid character NUL at character 1 line 1 column 2");
    EXPECT_EQ(error_of(nul), "found invalid character NUL at character 0 line 1 column 1");
    EXPECT_EQ(error_of("a: 1\n# c" + nul + "\nb: 2\n"),
              "found invalid character NUL at character 8 line 2 column 4");
    EXPECT_EQ(error_of("'ab" + nul + "c'"),
              "found invalid character NUL at character 3 line 1 column 4");
    EXPECT_EQ(error_of("|\n  a" + nul),
              "found invalid character NUL at character 5 line 2 column 4");
    // A long run that is read straight from the source stops there too.
    EXPECT_EQ(error_of(std::string(100, 'x') + nul),
              "found invalid character NUL at character 100 line 1 column 101");
    // An escaped NUL inside double quotes is content.
    EXPECT_EQ(scalar_of("\"a\\0b\""), "a" + nul + "b");
}

TEST(ScannerSimpleKeys, LongKeys) {
    const std::string long_key(1100, 'k');
    EXPECT_EQ(scan("a: 1\n" + long_key + ": 2\n").error.info, "simple key expect ':'");
    EXPECT_EQ(scan(long_key + ": 2\n").error.info,
              "mapping values are not allowed in this context");
    EXPECT_TRUE(scan("{" + long_key + ": 2}").ok);
    EXPECT_TRUE(scan(std::string(1000, 'k') + ": 2\n").ok);
}

TEST(ScannerSimpleKeys, AdjacentValuesAndFlowKeys) {
    EXPECT_EQ(kinds("[a, b]: c"), "< BMS ? [ :a , :b ] : :c BE >");
    EXPECT_EQ(kinds("{\"a\":1}"), "< { ? \"a : :1 } >");
    EXPECT_EQ(kinds("{a:1}"), "< { :a:1 } >");
    EXPECT_EQ(kinds("[a: 1]"), "< [ { ? :a : :1 } ] >");
    EXPECT_EQ(kinds("a: b: c").substr(kinds("a: b: c").find("ERROR")),
              "ERROR mapping values are not allowed in this context");
    EXPECT_EQ(error_of("a: b: c"),
              "mapping values are not allowed in this context at character 4 line 1 column 5");
    EXPECT_EQ(error_of("[a,\n b]: c"),
              "mapping values are not allowed in this context at character 7 line 2 column 4");
}

TEST(ScannerFlow, NestingLimit) {
    EXPECT_TRUE(scan(std::string(255, '[') + std::string(255, ']')).ok);
    EXPECT_EQ(error_of(std::string(256, '[')),
              "recursion limit exceeded at character 255 line 1 column 256");
    // A long flow collection is not held whole in the queue, and stays exact.
    std::string many = "[";
    for (int i = 0; i < 20000; ++i) many += "x, ";
    many += "y]";
    const auto s = scan(many);
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(s.tokens.size(), 2u + 2u + 20001u + 20000u);
    EXPECT_EQ(s.tokens[1].type, TokenType::FlowSequenceStart);
}

TEST(ScannerDirectives, VersionTagAndUnknown) {
    EXPECT_EQ(kinds("%YAML 1.2\n---"), "< %Y1.2 --- >");
    EXPECT_EQ(error_of("%YAML 1.1234567890\n"),
              "while scanning a YAML directive, found extremely long version number at character 0 "
              "line 1 column 1");
    EXPECT_EQ(kinds("%FOO bar baz\n---"), "< %T(,) --- >");
    EXPECT_EQ(kinds("%TAG !e! tag:e.com,2000:app/\n---"), "< %T(!e!,tag:e.com,2000:app/) --- >");
    EXPECT_EQ(kinds("%TAG ! %21x # c\n---"), "< #c %T(!,!x) --- >");
    EXPECT_EQ(scan("%YAML 1\n").error.info,
              "while scanning a YAML directive, did not find expected digit or '.' character");
    EXPECT_EQ(scan("%YAML x\n").error.info,
              "while scanning a YAML directive, did not find expected version number");
    EXPECT_EQ(scan("% x\n").error.info,
              "while scanning a directive, could not find expected directive name");
    EXPECT_EQ(scan("%YAML: 1.2\n").error.info,
              "while scanning a directive, found unexpected non-alphabetical character");
    EXPECT_EQ(scan("%TAG !e tag:x\n").error.info,
              "while parsing a tag directive, did not find expected '!'");
    EXPECT_EQ(scan("%TAG !e! {x}\n").error.info, "invalid global tag character");
    EXPECT_EQ(scan("%YAML 1.2 x\n").error.info,
              "while scanning a directive, did not find expected comment or line break");
}

TEST(ScannerDocuments, MarkersAndComments) {
    EXPECT_EQ(kinds("--- # c\na"), "< --- #c :a >");
    EXPECT_EQ(kinds("a\n... # c\n"), "< :a ... #c >");
    EXPECT_EQ(error_of("... x"),
              "invalid content after document end marker at character 4 line 1 column 5");
}

TEST(ScannerIndicators, TabsAndWhitespace) {
    EXPECT_TRUE(scan("key: \tvalue").ok);
    EXPECT_TRUE(scan("key:\t'v'").ok);
    EXPECT_EQ(kinds("- - a"), "< BSS - BSS - :a BE BE >");
    EXPECT_EQ(error_of("-\t- a"),
              "'-' must be followed by a valid YAML whitespace at character 2 line 1 column 3");
    EXPECT_EQ(
        error_of("a: - b"),
        "block sequence entries are not allowed in this context at character 3 line 1 column 4");
    EXPECT_EQ(
        error_of("a:\n\tb: 1"),
        "tabs disallowed within this context (block indentation) at character 4 line 2 column 2");
    EXPECT_EQ(error_of("[- a]"),
              "\"-\" is only valid inside a block at character 1 line 1 column 2");
    EXPECT_EQ(error_of("[a]#c"),
              "comments must be separated from other tokens by whitespace at character 3 line 1 "
              "column 4");
    EXPECT_EQ(scan("?\tx").error.info, "expected whitespace");
    // An anchor alone on a line at column 0 is a required key that goes stale.
    EXPECT_EQ(error_of("- a\n&x\n- b"), "simple key expect ':' at character 7 line 3 column 1");
}

TEST(ScannerComments, TextAndQueuePosition) {
    EXPECT_EQ(kinds("# hello"), "< #hello >");
    EXPECT_EQ(kinds("#  two"), "< # two >");
    EXPECT_EQ(kinds("#"), "< # >");
    EXPECT_EQ(kinds("#x "), "< #x  >");
    // After a plain scalar the comment follows it; after a quoted scalar it
    // comes first (the quoted scalar reads on to the next token).
    EXPECT_EQ(kinds("a: 1 # c"), "< BMS ? :a : :1 #c BE >");
    EXPECT_EQ(kinds("a: '1' # c"), "< BMS ? :a : #c '1 BE >");
    EXPECT_EQ(kinds("a: \"1\" # c"), "< BMS ? :a : #c \"1 BE >");
    EXPECT_EQ(kinds("a: 1# c"), "< BMS ? :a : :1# c BE >");
    EXPECT_EQ(kinds("key: value#x"), "< BMS ? :key : :value#x BE >");
    EXPECT_EQ(kinds("[a#b]"), "< [ :a#b ] >");
    EXPECT_EQ(kinds("? # c\n  key\n: v"), "< BMS ? :key : :v BE >");
    EXPECT_EQ(kinds("- # c\n  a"), "< BSS #c - :a BE >");
    EXPECT_EQ(kinds("a:\n  b: 1\n# own\nc: 2"),
              "< BMS ? :a : BMS ? :b : :1 #own BE ? :c : :2 BE >");
    // The comment's mark is its '#'.
    const auto s = scan("a: 1  # note");
    ASSERT_TRUE(s.ok);
    for (const Token& t : s.tokens)
        if (t.type == TokenType::Comment) {
            EXPECT_EQ(t.mark, (Marker{6, 1, 6, 6}));
        }
}

TEST(ScannerPlain, Folding) {
    EXPECT_EQ(scalar_of("k: a\n b\n\n c"), "a b\nc");
    EXPECT_EQ(scalar_of("a  b \n  c"), "a  b c");
    EXPECT_EQ(scalar_of("a\n\n\n b"), "a\n\nb");
    EXPECT_EQ(scalar_of("-a:b"), "-a:b");
    EXPECT_EQ(scan("[-]").error.info, "plain scalar cannot start with '-' followed by ,[]{}");
    EXPECT_EQ(scan("[a, -, b]").error.info, "plain scalar cannot start with '-' followed by ,[]{}");
    EXPECT_EQ(scan("a:\n  b\n\tc").error.info, "while scanning a plain scalar, found a tab");
    EXPECT_EQ(scan("- [a,\nb]").error.info, "invalid indentation in flow construct");
    // Words of one line, and what a space may stand before.
    const std::pair<const char*, const char*> lines[] = {
        {"a b c: d e", "< BMS ? :a b c : :d e BE >"},
        {"a b # c\n", "< :a b #c >"},
        {"a b#c -d :e", "< :a b#c -d :e >"},
        {"[a b, c d\xC3\xA9]", "< [ :a b , :c d\xC3\xA9 ] >"},
        {"[a b:c d]", "< [ :a b:c d ] >"},
        {"[a b: c]", "< [ { ? :a b : :c } ] >"},
        {"[a b]c]", "< [ :a b ] :c] >"},
        {"[a -]", "< [ :a - ] >"},
        {"[-]", "< ERROR plain scalar cannot start with '-' followed by ,[]{}"},
        {"a\tb c", "< :a\\tb c >"},
    };
    for (const auto& [text, want] : lines) EXPECT_EQ(kinds(text), want) << text;
}

TEST(ScannerQuoted, SingleAndDouble) {
    EXPECT_EQ(scalar_of("'it''s'"), "it's");
    EXPECT_EQ(scalar_of("\"\\t\""), "\t");
    EXPECT_EQ(scalar_of("\"\\x41\\u0042\\U00000043\""), "ABC");
    EXPECT_EQ(scalar_of("\"\\e\\N\\_\\L\\P\\/\""), "\x1b\xc2\x85\xc2\xa0\xe2\x80\xa8\xe2\x80\xa9/");
    EXPECT_EQ(
        error_of("\"\\uD800\""),
        "while parsing a quoted scalar, found invalid Unicode character escape code at character "
        "1 line 1 column 2");
    EXPECT_EQ(scan("\"\\U00110000\"").error.info,
              "while parsing a quoted scalar, found invalid Unicode character escape code");
    EXPECT_EQ(scan("\"\\q\"").error.info,
              "while parsing a quoted scalar, found unknown escape character");
    EXPECT_EQ(scan("\"\\x4g\"").error.info,
              "while parsing a quoted scalar, did not find expected hexadecimal number");
    EXPECT_EQ(scalar_of("\"a\\\n   b\""), "ab");
    EXPECT_EQ(scalar_of("\"a\n   b\""), "a b");
    EXPECT_EQ(scalar_of("'a\n\n  b  '"), "a\nb  ");
    EXPECT_EQ(error_of("\"x\" y"),
              "invalid trailing content after double-quoted scalar at character 4 line 1 column 5");
    EXPECT_EQ(scan("'x' y").error.info, "invalid trailing content after double-quoted scalar");
    EXPECT_TRUE(scan("\"x\": y").ok);
    EXPECT_EQ(
        error_of("'abc"),
        "while scanning a quoted scalar, found unexpected end of stream at character 0 line 1 "
        "column 1");
    EXPECT_EQ(scan("'a\n---\n'").error.info,
              "while scanning a quoted scalar, found unexpected document indicator");
    EXPECT_EQ(scan("a:\n  'x\ny'").error.info,
              "found a line less indented than the quoted scalar's block: is its closing quote "
              "missing?");
}

TEST(ScannerBlock, ChompingAndIndentation) {
    EXPECT_EQ(scalar_of("|\n  a\n  b\n\n"), "a\nb\n");
    EXPECT_EQ(scalar_of("|-\n  a\n  b\n\n"), "a\nb");
    EXPECT_EQ(scalar_of("|+\n  a\n  b\n\n"), "a\nb\n\n");
    EXPECT_EQ(scalar_of(">\n  a\n  b\n\n  c\n"), "a b\nc\n");
    EXPECT_EQ(scalar_of(">\n  a\n    b\n  c\n"), "a\n  b\nc\n");
    EXPECT_EQ(scalar_of("|2\n   a\n"), " a\n");
    EXPECT_EQ(scalar_of("- |1\n  a\n"), " a\n");
    // The end of the stream is no line break, and nothing to clip.
    for (const char* text : {"|\n  a", "|-\n  a\n", ">\n  a"})
        EXPECT_EQ(scalar_of(text), "a") << text;
    EXPECT_EQ(scalar_of("|\n  a\n  "), "a\n");
    EXPECT_EQ(scalar_of("|\n  x\n   "), "x\n ");
    for (const char* text : {"|", "|\n", "|\n\n\n", "|-\n", "|-\n\n"})
        EXPECT_EQ(scalar_of(text), "") << text;
    EXPECT_EQ(scalar_of("|+\n\n\n"), "\n\n");
    EXPECT_EQ(
        error_of("|0\n a"),
        "while scanning a block scalar, found an indentation indicator equal to 0 at character "
        "1 line 1 column 2");
    EXPECT_EQ(scan("| x").error.info,
              "while scanning a block scalar, did not find expected comment or line break");
    EXPECT_EQ(kinds("| # c\n a\n"), "< #c |a\\n >");
    EXPECT_EQ(scan("|\n\ta").error.info, "a block scalar content cannot start with a tab");
    EXPECT_EQ(error_of("a: |\n   \n  b"),
              "wrongly indented line in block scalar at character 11 line 3 column 3");
    EXPECT_EQ(kinds("--- |\nx\n...\n"), "< --- |x\\n ... >");
}

TEST(ScannerProperties, AnchorsAliasesTags) {
    EXPECT_EQ(kinds("&a x"), "< &a :x >");
    EXPECT_EQ(kinds("*a"), "< *a >");
    EXPECT_EQ(kinds("&a:b x"), "< &a:b :x >");
    EXPECT_EQ(error_of("& x"),
              "while scanning an anchor or alias, did not find expected alphabetic or numeric "
              "character at character 0 line 1 column 1");
    EXPECT_EQ(kinds("!!str x"), "< !(!!,str) :x >");
    EXPECT_EQ(kinds("!foo x"), "< !(!,foo) :x >");
    EXPECT_EQ(kinds("! x"), "< !(,!) :x >");
    EXPECT_EQ(kinds("!<tag:x,2002:y> x"), "< !(,tag:x,2002:y) :x >");
    EXPECT_EQ(kinds("!a%20b x"), "< !(!,a b) :x >");
    EXPECT_EQ(kinds("!%C3%A9 x"), "< !(!,\xC3\xA9) :x >");
    EXPECT_EQ(kinds("[!t]"), "< [ !(!,t) ] >");
    EXPECT_EQ(error_of("!e!"),
              "while parsing a tag, did not find expected tag URI at character 0 line 1 column 1");
    EXPECT_EQ(scan("!%FF x").error.info,
              "while parsing a tag, found an incorrect leading UTF-8 octet");
    EXPECT_EQ(scan("!%C3%41 x").error.info,
              "while parsing a tag, found an incorrect trailing UTF-8 octet");
    EXPECT_EQ(scan("!%ED%A0%80 x").error.info,
              "while parsing a tag, found an invalid UTF-8 codepoint");
    EXPECT_EQ(scan("!%4 x").error.info, "while parsing a tag, did not find URI escaped octet");
    EXPECT_EQ(scan("!<x y").error.info,
              "while scanning a verbatim tag, did not find the expected '>'");
    EXPECT_EQ(scan("!a,b x").error.info,
              "while scanning a tag, did not find expected whitespace or line break");
}

// Hostile input: every case must end, in a result or an error, without a
// crash (run under the sanitizers too).
TEST(ScannerHostile, EveryByteAloneAndInContext) {
    const char* contexts[] = {"%s",     "a%sb",  "- %s\n",    "[%s]",       "{%s: x}",
                              "\"%s\"", "'%s'",  "k: %s",     "# %s\nk: v", "|\n %s",
                              "!%s x",  "&%s x", "%%YAML %s", "? %s",       "\"\\%s\""};
    for (int b = 0; b < 256; ++b) {
        for (const char* ctx : contexts) {
            std::string text;
            for (const char* p = ctx; *p; ++p) {
                if (p[0] == '%' && p[1] == 's') {
                    text.push_back(static_cast<char>(b));
                    ++p;
                } else if (p[0] == '%' && p[1] == '%') {
                    text.push_back('%');
                    ++p;
                } else {
                    text.push_back(*p);
                }
            }
            const auto s = scan(text);
            if (s.ok) {
                ASSERT_FALSE(s.tokens.empty());
                EXPECT_EQ(s.tokens.back().type, TokenType::StreamEnd);
            }
            if (b == 0) {
                EXPECT_FALSE(s.ok) << "a NUL must not end the input: " << ctx;
            }
        }
    }
}

TEST(ScannerHostile, UnterminatedConstructsAtTheEnd) {
    for (const char* text :
         {"'abc", "\"abc", "\"a\\", "\"\\x4",   "[a, b", "{a: b", "!<abc", "|",  ">-", "&",
          "*",    "!",     "%YAML", "%TAG !x!", "? ",    "- ",    "a:",    "[",  "{",  "\"a\\\n",
          "'a\n", "#",     "---",   "...",      "%",     "!!",    "!%",    "!%4"}) {
        const auto s = scan(text);
        if (s.ok) {
            EXPECT_EQ(s.tokens.back().type, TokenType::StreamEnd) << text;
        }
    }
}

TEST(ScannerHostile, LongLinesAndLargeScalars) {
    const std::string big(10u << 20, 'x');
    EXPECT_EQ(scalar_of(big).size(), big.size());
    EXPECT_EQ(scalar_of("'" + big + "'").size(), big.size());
    EXPECT_EQ(scalar_of("|\n  " + big + "\n").size(), big.size() + 1);
    const auto s = scan("# " + big);
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(s.tokens[1].value.size(), big.size());
    EXPECT_EQ(s.tokens.back().mark.index, big.size() + 2);
}

TEST(ScannerHostile, RandomInputFromYamlCharacters) {
    // Short random texts over the characters that steer the scanner; the
    // seed is fixed so that a failure can be replayed.
    // Each is read in place and through the window, with the same result.
    const std::string alphabet = " -?:,[]{}#&*!|>'\"%@`\t\n\r\\ab0.x~";
    const std::string multibyte[] = {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() + 2);
    std::uniform_int_distribution<int> length(0, 40);
    for (int i = 0; i < 20000; ++i) {
        std::string text;
        for (int n = length(rng); n > 0; --n) {
            const std::size_t k = pick(rng);
            if (k < alphabet.size())
                text.push_back(alphabet[k]);
            else
                text += multibyte[k - alphabet.size()];
        }
        const auto s = scan(text);
        if (s.ok) {
            ASSERT_EQ(s.tokens.back().type, TokenType::StreamEnd) << text;
        }
        expect_same_as_window(text);
    }
}

}  // namespace
