// Events of the parser: documents, directives, tags, anchors, empty nodes,
// flow pairs, comments handed to the driver, errors, and nesting bounds.
#include "core/parser.hpp"

#include <gtest/gtest.h>

#include <string>

#include "../support/reader_helpers.hpp"

namespace {

using namespace tesvorn;
using test_support::outcome;
using test_support::parse;

std::string events(const std::string& text) {
    const auto p = parse(text);
    return p.ok ? p.text() : p.text() + "ERROR " + p.error.display() + "\n";
}

std::string error_of(const std::string& text) {
    return outcome(parse(text));
}

TEST(ParserDocuments, ImplicitAndExplicit) {
    EXPECT_EQ(events(""), "+STR\n-STR\n");
    EXPECT_EQ(events("a"), "+STR\n+DOC\n=VAL :a\n-DOC\n-STR\n");
    EXPECT_EQ(events("--- a\n..."), "+STR\n+DOC ---\n=VAL :a\n-DOC ...\n-STR\n");
    EXPECT_EQ(events("---\n---\n"), "+STR\n+DOC ---\n=VAL :\n-DOC\n+DOC ---\n=VAL :\n-DOC\n-STR\n");
    EXPECT_EQ(events("a\n...\n...\nb"),
              "+STR\n+DOC\n=VAL :a\n-DOC ...\n+DOC\n=VAL :b\n-DOC\n-STR\n");
    EXPECT_EQ(error_of("[a]\n[b]"),
              "did not find expected <document start> at character 4 line 2 column 1");
    EXPECT_EQ(
        error_of("a: 1\n]"),
        "while parsing a block mapping, did not find expected key at character 5 line 2 column 1");
}

TEST(ParserDocuments, Directives) {
    auto p = parse("%YAML 1.2\n---\na");
    ASSERT_TRUE(p.ok);
    const Event& start = p.events[1].first;
    EXPECT_TRUE(start.is_explicit);
    EXPECT_EQ(start.version, (YamlVersion{1, 2}));
    EXPECT_EQ(error_of("%YAML 1.2\n%YAML 1.2\n---"),
              "duplicate version directive at character 10 line 2 column 1");
    // Version numbers are kept to their low 8 bits, unchecked.
    p = parse("%YAML 257.3\n---\n");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.events[1].first.version, (YamlVersion{1, 3}));

    p = parse("%TAG !e! tag:e,2000:\n--- !e!x a\n---\n!e!x b");
    ASSERT_FALSE(p.ok);
    EXPECT_EQ(p.error.display(), "the handle wasn't declared at character 36 line 4 column 1");
    EXPECT_EQ(p.events[1].first.tag_directives, (TagDirectives{{"!e!", "tag:e,2000:"}}));
    ASSERT_TRUE(p.events[2].first.tag);
    EXPECT_EQ(*p.events[2].first.tag, (Tag{"tag:e,2000:", "x"}));

    EXPECT_EQ(error_of("%TAG !a! x:\n%TAG !a! y:\n---"),
              "the TAG directive must only be given at most once per handle in the same "
              "document at character 12 line 2 column 1");
    EXPECT_EQ(
        error_of("a: 1\n%YAML 1.2\n--- b"),
        "missing explicit document end marker before directive at character 5 line 2 column 1");
    // A plain scalar at the top level reads on over a '%' line: one scalar.
    EXPECT_EQ(events("a\n%YAML 1.2\n--- b"),
              "+STR\n+DOC\n=VAL :a %YAML 1.2\n-DOC\n+DOC ---\n=VAL :b\n-DOC\n-STR\n");
    // Unknown directives are skipped.
    p = parse("%FOO bar\n--- a");
    ASSERT_TRUE(p.ok);
    EXPECT_TRUE(p.events[1].first.tag_directives.empty());
}

TEST(ParserTags, Resolution) {
    auto tag_of = [](const std::string& text) -> std::string {
        const auto p = parse(text);
        if (!p.ok) return "ERROR " + p.error.info;
        for (const auto& [ev, mark] : p.events)
            if (ev.tag) return "[" + ev.tag->handle + "][" + ev.tag->suffix + "]";
        return "(none)";
    };
    EXPECT_EQ(tag_of("!!str 1"), "[tag:yaml.org,2002:][str]");
    EXPECT_EQ(tag_of("!<!bar> x"), "[][!bar]");
    EXPECT_EQ(tag_of("! a"), "[][!]");
    EXPECT_EQ(tag_of("!foo x"), "[!][foo]");
    EXPECT_EQ(tag_of("%TAG !! tag:my,1:\n--- !!x y"), "[tag:my,1:][x]");
    EXPECT_EQ(tag_of("%TAG ! tag:loc,1:\n--- !x y"), "[tag:loc,1:][x]");
    EXPECT_EQ(tag_of("!x!y z"), "ERROR the handle wasn't declared");
    // The error of an undeclared handle is at the node's first property.
    EXPECT_EQ(error_of("&a !x!y z"), "the handle wasn't declared at character 0 line 1 column 1");
}

TEST(ParserAnchors, AliasesMustFollowTheirAnchor) {
    EXPECT_EQ(error_of("*x"),
              "while parsing node, found unknown anchor at character 0 line 1 column 1");
    // Anchors belong to their document.
    EXPECT_EQ(events("&x a\n--- *x"),
              "+STR\n+DOC\n=VAL &x :a\n-DOC\n+DOC ---\nERROR while parsing node, found unknown "
              "anchor at character 9 line 2 column 5\n");
    EXPECT_EQ(events("[&a x, *a]"), "+STR\n+DOC\n+SEQ []\n=VAL &a :x\n=ALI *a\n-SEQ\n-DOC\n-STR\n");
    EXPECT_EQ(events("&m {a: 1}"), "+STR\n+DOC\n+MAP {} &m\n=VAL :a\n=VAL :1\n-MAP\n-DOC\n-STR\n");
}

TEST(ParserAnchors, AnAliasCannotNameACollectionItIsIn) {
    const std::pair<const char*, const char*> recursive[] = {
        {"&a [*a]", "at character 4 line 1 column 5"},
        {"&a {k: [x, *a]}", "at character 11 line 1 column 12"},
        {"&a {*a : 1}", "at character 4 line 1 column 5"},
        {"a: &x\n  - b: *x\n", "at character 13 line 2 column 8"},
    };
    for (const auto& [text, where] : recursive)
        EXPECT_EQ(
            error_of(text),
            std::string("while parsing node, found an alias that refers to its own node ") + where)
            << text;
    // Once the collection is closed, or the name is given to another node,
    // the alias is an ordinary one.
    EXPECT_EQ(events("[&a [x], *a]"),
              "+STR\n+DOC\n+SEQ []\n+SEQ [] &a\n=VAL :x\n-SEQ\n=ALI *a\n-SEQ\n-DOC\n-STR\n");
    EXPECT_EQ(events("&a [&a x, *a]"),
              "+STR\n+DOC\n+SEQ [] &a\n=VAL &a :x\n=ALI *a\n-SEQ\n-DOC\n-STR\n");
}

TEST(ParserNodes, EmptyNodes) {
    EXPECT_EQ(events("key:"), "+STR\n+DOC\n+MAP\n=VAL :key\n=VAL :\n-MAP\n-DOC\n-STR\n");
    EXPECT_EQ(events("- "), "+STR\n+DOC\n+SEQ\n=VAL :\n-SEQ\n-DOC\n-STR\n");
    EXPECT_EQ(events("a: &a\nb: !!str"),
              "+STR\n+DOC\n+MAP\n=VAL :a\n=VAL &a :\n=VAL :b\n=VAL <tag:yaml.org,2002:str> :\n"
              "-MAP\n-DOC\n-STR\n");
    EXPECT_EQ(events("? a\n? b\n: c"),
              "+STR\n+DOC\n+MAP\n=VAL :a\n=VAL :\n=VAL :b\n=VAL :c\n-MAP\n-DOC\n-STR\n");
    EXPECT_EQ(events("a:\n- b\n-\nc: d"),
              "+STR\n+DOC\n+MAP\n=VAL :a\n+SEQ\n=VAL :b\n=VAL :\n-SEQ\n=VAL :c\n=VAL :d\n-MAP\n"
              "-DOC\n-STR\n");
}

TEST(ParserFlow, PairsAndTrailingCommas) {
    EXPECT_EQ(events("{a, b: c}"),
              "+STR\n+DOC\n+MAP {}\n=VAL :a\n=VAL :\n=VAL :b\n=VAL :c\n-MAP\n-DOC\n-STR\n");
    EXPECT_EQ(events("[a: 1, b]"),
              "+STR\n+DOC\n+SEQ []\n+MAP {}\n=VAL :a\n=VAL :1\n-MAP\n=VAL :b\n-SEQ\n-DOC\n-STR\n");
    EXPECT_EQ(events("[? : x]"),
              "+STR\n+DOC\n+SEQ []\n+MAP {}\n=VAL :\n=VAL :x\n-MAP\n-SEQ\n-DOC\n-STR\n");
    EXPECT_EQ(events("[a, b,]"), "+STR\n+DOC\n+SEQ []\n=VAL :a\n=VAL :b\n-SEQ\n-DOC\n-STR\n");
    // A pair whose value is a flow collection, at the top and nested.
    const std::string pair_of_collections =
        "+STR\n+DOC\n+SEQ []\n+MAP {}\n=VAL :c\n+MAP {}\n=VAL :d\n+SEQ []\n+MAP {}\n=VAL :e\n"
        "=VAL :f\n-MAP\n-SEQ\n-MAP\n-MAP\n=VAL :g\n-SEQ\n-DOC\n-STR\n";
    EXPECT_EQ(events("[c: {d: [e: f]}, g]"), pair_of_collections);
    // {a: 1,} ends at the comma.
    auto p = parse("{a: 1,}");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.events[5].first.type, Event::Type::MappingEnd);
    EXPECT_EQ(p.events[5].second, (Marker{5, 1, 5, 5}));
    EXPECT_EQ(error_of("[a"),
              "while parsing a flow sequence, expected ',' or ']' at character 2 line 2 column 1");
    EXPECT_EQ(
        error_of("{a: 1 [b]}"),
        "while parsing a flow mapping, did not find expected ',' or '}' at character 6 line 1 "
        "column 7");
    EXPECT_EQ(
        error_of("[,]"),
        "while parsing a node, did not find expected node content at character 1 line 1 column 2");
}

TEST(ParserBlock, StructureErrors) {
    EXPECT_EQ(
        error_of("- a\nb: c"),
        "while parsing a block collection, did not find expected '-' indicator at character 4 "
        "line 2 column 1");
    EXPECT_EQ(
        error_of("]"),
        "while parsing a node, did not find expected node content at character 0 line 1 column 1");
    // A scanner error reaches the caller unchanged.
    EXPECT_EQ(error_of("a: 1\n@x"), "unexpected character: `@' at character 5 line 2 column 1");
}

TEST(ParserMarks, EventPositions) {
    // Marks (index:line:col), then the byte range of the event's text.
    const auto p = parse("a:\n  - x\n  - &s [y]\né: b\n");
    ASSERT_TRUE(p.ok);
    std::vector<std::string> got;
    for (const auto& [ev, m] : p.events)
        got.push_back(test_support::event_line(ev) + " " + std::to_string(m.index) + ":" +
                      std::to_string(m.line) + ":" + std::to_string(m.col) + " " +
                      std::to_string(ev.start) + "-" + std::to_string(ev.end));
    const std::vector<std::string> expected = {
        "+STR 0:1:0 0-0",    "+DOC 0:1:0 0-0",    "+MAP 0:1:0 0-0",          "=VAL :a 0:1:0 0-1",
        "+SEQ 5:2:2 5-5",    "=VAL :x 7:2:4 7-8", "+SEQ [] &s 16:3:7 13-17", "=VAL :y 17:3:8 17-18",
        "-SEQ 18:3:9 18-19", "-SEQ 20:4:0 20-20", "=VAL :é 20:4:0 20-22",    "=VAL :b 23:4:3 24-25",
        "-MAP 25:5:0 26-26", "-DOC 25:5:0 26-26", "-STR 25:5:0 26-26"};
    EXPECT_EQ(got, expected);
}

TEST(ParserLifecycle, EndRepeatsAndErrorsStick) {
    TextParser done{TextSource("a")};
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(done.parse().ok());
    for (int i = 0; i < 3; ++i) {
        auto r = done.parse();
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(r.value().first.type, Event::Type::StreamEnd);
    }
    TextParser failed{TextSource("[a, *b]")};
    std::string first;
    for (int i = 0; i < 10; ++i) {
        auto r = failed.parse();
        if (!r.ok()) {
            if (first.empty()) first = r.error().display();
            EXPECT_EQ(r.error().display(), first);
        }
    }
    EXPECT_EQ(first, "while parsing node, found unknown anchor at character 4 line 1 column 5");
}

TEST(ParserLifecycle, MovedMidStream) {
    // A driver may hold its parser by value and move it (the document
    // iterator does); the lookahead and the queued tokens move with it.
    const std::string text = "a: [1, 2] # c\nb: 'x'\n";
    TextParser first{TextSource(text)};
    std::string got;
    for (int i = 0; i < 5; ++i) got += test_support::event_line(first.parse().value().first) + "\n";
    TextParser moved = std::move(first);
    for (;;) {
        auto r = moved.parse();
        ASSERT_TRUE(r.ok());
        got += test_support::event_line(r.value().first) + "\n";
        if (r.value().first.type == Event::Type::StreamEnd) break;
    }
    EXPECT_EQ(got, events(text));
}

TEST(ParserComments, HandedOverWithTheEvents) {
    TextParser parser{TextSource("# top\na: 1 # one\n# between\nb: 2\n")};
    std::vector<std::string> seen;
    for (;;) {
        auto r = parser.parse();
        ASSERT_TRUE(r.ok());
        for (const PendingComment& c : parser.take_pending_comments())
            seen.push_back(c.text + "@" + std::to_string(c.mark.line) + ":" +
                           std::to_string(c.mark.col));
        EXPECT_TRUE(parser.pending_comments().empty());
        if (r.value().first.type == Event::Type::StreamEnd) break;
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"top@1:0", "one@2:5", "between@3:0"}));
}

// Nesting: block collections stop at a fixed depth, flow collections at 255;
// hostile inputs end in an error, in linear time, without a crash.
std::string nested_sequences_on_one_line(int depth) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += "- ";
    return text + "x\n";
}

std::string nested_mappings(int depth) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += std::string(static_cast<std::size_t>(i), ' ') + "a:\n";
    return text;
}

TEST(ParserNesting, BlockDepthLimit) {
    const int limit = static_cast<int>(detail::ParserCore::kMaxBlockDepth);
    EXPECT_TRUE(parse(nested_sequences_on_one_line(limit)).ok);
    // The collection that crosses the limit is the one reported.
    EXPECT_EQ(error_of(nested_sequences_on_one_line(limit + 1)),
              "recursion limit exceeded at character 2000 line 1 column 2001");
    EXPECT_TRUE(parse(nested_mappings(limit)).ok);
    const auto p = parse(nested_mappings(limit + 1));
    ASSERT_FALSE(p.ok);
    EXPECT_EQ(p.error.info, "recursion limit exceeded");
    EXPECT_EQ(p.error.mark.line, static_cast<std::size_t>(limit + 1));
    // Indentless sequences count as block collections too: each "- a:" line
    // below opens two collections but only one indentation level.
    std::string mixed = "a:\n";
    for (int i = 0; i < limit / 2 + 10; ++i)
        mixed += std::string(2 * static_cast<std::size_t>(i), ' ') + "- a:\n";
    EXPECT_EQ(parse(mixed).error.info, "recursion limit exceeded");
}

TEST(ParserNesting, HostileDepths) {
    for (const std::string& text : {std::string(100000, '['), std::string(100000, '{'),
                                    nested_sequences_on_one_line(100000), nested_mappings(3000)}) {
        const auto p = parse(text);
        ASSERT_FALSE(p.ok);
        EXPECT_EQ(p.error.info, "recursion limit exceeded");
    }
    std::string lines;  // one "- " per line, each one column deeper
    for (int i = 0; i < 3000; ++i) lines += std::string(static_cast<std::size_t>(i), ' ') + "-\n";
    EXPECT_EQ(parse(lines).error.info, "recursion limit exceeded");
    std::string keys;  // explicit keys nested in explicit keys
    for (int i = 0; i < 3000; ++i) keys += "? ";
    EXPECT_EQ(parse(keys + "x\n").error.info, "recursion limit exceeded");
    // Flow collections inside a deep block structure keep their own bound.
    EXPECT_EQ(parse(nested_sequences_on_one_line(900) + std::string(300, '[')).error.info,
              "recursion limit exceeded");
}

TEST(ParserHostile, ManyDirectivesAnchorsAndDocuments) {
    std::string text;
    for (int i = 0; i < 20000; ++i) text += "%TAG !t" + std::to_string(i) + "! tag:x:\n";
    text += "--- !t19999!y z\n";
    for (int i = 0; i < 20000; ++i) text += "--- &a" + std::to_string(i) + " x\n";
    text += "--- [&a0 x, *a0]\n";
    const auto p = parse(text);
    ASSERT_TRUE(p.ok) << p.error.display();
    EXPECT_EQ(p.events.size(), 2u + 3u * 20002u + 3u);
}

}  // namespace
