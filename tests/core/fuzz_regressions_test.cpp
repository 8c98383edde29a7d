// Inputs found by the fuzz targets (tests/fuzz), each once a failure: they
// must load, dump, reload to equal data and dump to the same text again.
#include <gtest/gtest.h>

#include <utility>

#include "../fuzz/roundtrip_check.hpp"

namespace {

using tesvorn::fuzz::roundtrip_problem;

// An empty block item or value was placed at the token after it, usually on
// the next line, so the line of its "-" or ":" counted as a blank line before
// it, one more on every round trip; blank lines after an empty value moved
// above it.
TEST(FuzzRegressions, EmptyBlockNodesKeepTheirLines) {
    for (const char* text : {
             "- |\n x\n-\n \n-\n - 42\n",
             "- x\n-\n- 1\n",
             "- a\n-\n",
             "- a\n-\n\n\n",
             "- a\n- # note\n- 1\n",
             "a:\n- b\n-\n- c\n",
             "a: 1\nb:\n\nc: 1\n",
             "? a\n? b\n",
         })
        EXPECT_EQ(roundtrip_problem(text), "") << text;
}

TEST(FuzzRegressions, EmptyBlockNodesDumpWithoutInventedBlankLines) {
    tesvorn::fuzz::Loaded docs;
    ASSERT_TRUE(tesvorn::fuzz::load("- x\n-\n- 1\n", docs));
    EXPECT_EQ(tesvorn::fuzz::dump_designed(docs), "- x\n-\n- 1\n");
    ASSERT_TRUE(tesvorn::fuzz::load("a: 1\nb:\n\nc: 1\n", docs));
    EXPECT_EQ(tesvorn::fuzz::dump_designed(docs), "a: 1\nb:\n\nc: 1\n");
}

// A comment after a quoted first item reaches the builder before the item
// (the scanner reads past it looking for a ":"), while the sequence has no
// item yet to take it inline: it was dropped, and dumped text that carried
// it lost it on reload.
TEST(FuzzRegressions, CommentAfterQuotedFirstItem) {
    for (const char* text : {
             "- item1\x1c- item2Ji #alyd\n",
             "- \"a\"  # c\n",
             "- 'a' # c\n- b\n",
             "# h\n\n- \"a\"  # c\n",
             "--- # c\nk: v\n",
         })
        EXPECT_EQ(roundtrip_problem(text), "") << text;
    tesvorn::fuzz::Loaded docs;
    ASSERT_TRUE(tesvorn::fuzz::load("- \"a\"  # c\n- b\n", docs));
    EXPECT_EQ(docs.roots[0].sequence()->items[0].comments->trailing, "c");
    EXPECT_EQ(tesvorn::fuzz::dump_designed(docs), "- \"a\"  # c\n- b\n");
}

// The same after a block collection: it ends at the next token, so the
// comment after a quoted item below it arrived on the line where it ended
// and was taken as the collection's inline comment (moved onto the line of
// its "-" on the first dump, above it on the second).
TEST(FuzzRegressions, CommentAfterQuotedItemBelowABlockCollection) {
    for (const char* text : {
             "- sun: yellow\n- mpt\r\n pwi\x03%YAML 1.] # AtAttee\n",
             "- a: b\n- \"x\"  # c\n",
             "- - a\n- \"x\"  # c\n",
             "k:\n  a: b\nj: \"x\"  # c\n",
             "- a: b\n-  # c\n",
             "- # c\n  a: b\n- 1\n",
         })
        EXPECT_EQ(roundtrip_problem(text), "") << text;
    tesvorn::fuzz::Loaded docs;
    ASSERT_TRUE(tesvorn::fuzz::load("- a: b\n- \"x\"  # c\n", docs));
    EXPECT_EQ(docs.roots[0].sequence()->items[0].comments->trailing, std::nullopt);
    EXPECT_EQ(docs.roots[0].sequence()->items[1].comments->trailing, "c");
}

// A %TAG prefix is read with its %XX escapes decoded; it was written back
// decoded, so a NUL, space or line break in it made the dump unreadable.
TEST(FuzzRegressions, TagPrefixIsWrittenEscaped) {
    for (const char* text : {
             "%TAG !! tag:example.com,2%000:app/\n---\nk: !!x 1\n",
             "%TAG !e! tag:x%20y%25%0A:\n---\nk: !e!z 1\n",
             "%TAG !e! %2Cx:\n---\nk: !e!z 1\n",
         })
        EXPECT_EQ(roundtrip_problem(text), "") << text;
    tesvorn::fuzz::Loaded docs;
    ASSERT_TRUE(tesvorn::fuzz::load("%TAG !e! tag:x%20y:\n---\nk: !e!z 1\n", docs));
    EXPECT_EQ((*docs.metas[0].tag_directives)[0].second, "tag:x y:");
    EXPECT_EQ(tesvorn::fuzz::dump_designed(docs), "%TAG !e! tag:x%20y:\n---\nk: !e!z 1\n");
}

// An empty key with an anchor was written as '' (a string), so an alias of
// it read back as "" instead of null.
TEST(FuzzRegressions, AnchoredEmptyKeyStaysEmpty) {
    for (const char* text : {"? &a  #ab\x03b\n: *a\n", "&a : *a\n", "{&a : *a}\n", "!!str : 1\n"}) {
        EXPECT_EQ(roundtrip_problem(text), "") << text;
        tesvorn::fuzz::Loaded docs;
        ASSERT_TRUE(tesvorn::fuzz::load(text, docs));
        const std::string out = tesvorn::fuzz::dump(docs);
        EXPECT_EQ(out.find("''"), std::string::npos) << out;
    }
}

// A plain scalar ending in a word "-" was written plain in flow context,
// where the "," "]" or "}" after it makes the reader refuse the "-".
TEST(FuzzRegressions, FlowScalarEndingInADash) {
    for (const char* text :
         {"---\n[ a, b, c -  ]\n", "{k: c -  }\n", "[a -  , b]\n", "[[x -  ]]\n"})
        EXPECT_EQ(roundtrip_problem(text), "") << text;
    tesvorn::fuzz::Loaded docs;
    ASSERT_TRUE(tesvorn::fuzz::load("[ a, c -  ]\n", docs));
    EXPECT_EQ(tesvorn::fuzz::dump_designed(docs), "[a, 'c -']\n");
}

// A comment on the "---" line of a later document went inline to the last
// item of the document before (and moved again on the next round). It stays
// on its line, with the document it starts.
TEST(FuzzRegressions, CommentOnADocumentStartLine) {
    for (const char* text : {"- :\n--- #", "- a\n--- # c\nk: v\n", "a: 1\n--- # c\n- b\n"})
        EXPECT_EQ(roundtrip_problem(text), "") << text;
    tesvorn::fuzz::Loaded docs;
    ASSERT_TRUE(tesvorn::fuzz::load("- a\n--- # c\nk: v\n", docs));
    EXPECT_EQ(docs.roots[0].sequence()->items[0].comments->trailing, std::nullopt);
    EXPECT_EQ(docs.roots[1].mapping()->entries.at(0).value.comments->before, std::nullopt);
    EXPECT_EQ(tesvorn::fuzz::dump(docs), "- a\n--- # c\nk: v\n");
}

// An item (a block collection or a scalar) that starts on the line below
// its "-" counted the "-" line as a blank line before it (and a comment
// between the "-" and a first key went above the "-", then back below it on
// the next round).
TEST(FuzzRegressions, ItemBelowItsDash) {
    for (const char* text :
         {"- &2\n -\n  :", "- a\n-\n  k: v\n", "- a\n-\n  - x\n", "k:\n-\n  a: 1\n",
          "- # c\n  k: v\n", "- \n  # c\n  k: v\n", "- &2\n -\n  \xff", "- a\n-\n  |\n  x\n",
          "- a\n-\n  # c\n  b\n", "- &|\n - &\x08\n  /", "- a\n-\n  &x\n  k: v\n",
          "- a\n- &x\n  b\n", "---\n- k: v\n  j:\n    l: t\n... # c\n- x\n"})
        EXPECT_EQ(roundtrip_problem(text), "") << text;
    const std::pair<const char*, const char*> cases[] = {
        {"- a\n-\n  k: v\n", "- a\n- k: v\n"},
        {"- a\n\n-\n  k: v\n", "- a\n\n- k: v\n"},
        {"- a\n-\n  b  # c\n", "- a\n- b  # c\n"},
        // A comment between the "-" and a scalar is the item's inline comment.
        {"- a\n- # c\n  b\n", "- a\n- b  # c\n"},
        // After the "-" of a block collection below it, the comment is the
        // item's inline comment and stays there (it went to the first entry,
        // and a comment on a "..." line after the item moved on every round).
        {"- a\n- # c\n  k: v\n", "- a\n- # c\n  k: v\n"},
        {"- &x # c\n  - 1\n", "- &x # c\n  - 1\n"},
        // A comment on a "..." line is kept with that line only.
        {"- k: v\n  j:\n    l: t\n... # c\n", "- k: v\n  j:\n    l: t\n...\n"},
    };
    for (const auto& [text, out] : cases) {
        tesvorn::fuzz::Loaded docs;
        ASSERT_TRUE(tesvorn::fuzz::load(text, docs));
        EXPECT_EQ(tesvorn::fuzz::dump_designed(docs), out) << text;
    }
}

// A bare "#" ending a comment block is the empty last line of its text,
// written back as a bare "#".
TEST(FuzzRegressions, BareCommentLinesAtTheEndOfABlock) {
    EXPECT_EQ(roundtrip_problem("#\n#\n-"), "");
    // With a duplicate key's blank line at the top as well.
    EXPECT_EQ(roundtrip_problem(":\r\r#\r#\r:"), "");
    EXPECT_EQ(tesvorn::fuzz::without_bare_comment_lines("#\n  #\n# a\n- \n"), "# a\n- \n");
}

// An alias whose anchor went with an entry that a duplicate key dropped is
// written as its node under the anchor's name: the dump loads again, to the
// same data. (One of an earlier document's anchor is refused.)
TEST(FuzzRegressions, AliasesOfDroppedAnchorsLoadAgain) {
    tesvorn::fuzz::Loaded earlier;
    EXPECT_FALSE(tesvorn::fuzz::load("a: &x 1\n---\nb: *x\n", earlier));
    for (const char* text : {": &a\n: *a", "a: &x 1\na: *x\n"}) {
        tesvorn::fuzz::Loaded docs;
        ASSERT_TRUE(tesvorn::fuzz::load(text, docs)) << text;
        for (const auto& root : docs.roots) {
            tesvorn::fuzz::Anchors seen;
            EXPECT_FALSE(tesvorn::fuzz::dangling_alias(root, seen)) << text;
        }
        EXPECT_EQ(roundtrip_problem(text), "") << text;
    }
    for (const char* text :
         {"a: &x [1]\nb: *x\nc: &x 2\nd: *x\n", "&a 1: x\nb: *a\n&k key: 2\nc: *k\n"}) {
        tesvorn::fuzz::Anchors seen;
        tesvorn::fuzz::Loaded docs;
        ASSERT_TRUE(tesvorn::fuzz::load(text, docs));
        EXPECT_FALSE(tesvorn::fuzz::dangling_alias(docs.roots[0], seen)) << text;
    }
    // The anchor that the alias named went with a duplicate key and another
    // node of its name comes before it: the alias reads back as that one.
    // Skipped; when that node is an enclosing collection, the dump is an
    // alias to its own node, which the reader refuses (skipped too).
    for (const char* text :
         {"&a a: 1\n? &a\n: c\n: *a\n", ": &alias2\n&alias2 3:\n*alias2 :", "&2\n: &2 r\n: *2"}) {
        tesvorn::fuzz::Anchors seen;
        tesvorn::fuzz::Loaded docs;
        ASSERT_TRUE(tesvorn::fuzz::load(text, docs));
        EXPECT_TRUE(tesvorn::fuzz::dangling_alias(docs.roots[0], seen)) << text;
        EXPECT_EQ(roundtrip_problem(text), "") << text;
    }
}

// A duplicate key moves the last occurrence, with its blank line, to the
// first one's place; at the top of a stream that blank line is written but
// not read back. Accepted by the check (the data is equal).
TEST(FuzzRegressions, DuplicateKeyAtTheTop) {
    EXPECT_EQ(roundtrip_problem("extraVolumes:\n\nextraVolumes:"), "");
    EXPECT_EQ(tesvorn::fuzz::without_leading_blank_lines("\n\na: 1\n"), "a: 1\n");
}

// A "?" read right before a ',' or closing bracket is the plain key "?"; the
// writer took it for an empty explicit key and wrote a blank after it, which
// made it one (the key "" on reload).
TEST(FuzzRegressions, PlainQuestionMarkKeyBeforeABracket) {
    for (const char* text : {
             "{\n? explicit: entry,\nimplicit: entryy,\n?}\n",
             "{a: 1, ?}\n",
             "{?, a: 1}\n",
         })
        EXPECT_EQ(roundtrip_problem(text), "") << text;
}

// An explicit key without a ':' written as read, and then an entry whose key
// is empty and starts with its ':' (a duplicate key between them moved
// away): that ':' read back as the value of the explicit key.
TEST(FuzzRegressions, EmptyKeyAfterAnExplicitKeyWithoutValue) {
    for (const char* text : {
             "b: 1\n? a\nb: 2\n: 3\n",
             "b: 1\n? # c\n a\nb: 2\n: # d\n - x\n",
             "b: 1\n? a # c: d\nb: 2\n: 3\n",
             "x:\n  ? a\n  b: 1\n  b: 2\n: v\n",
             "a: 1\n? d\n: ? d\n: 23\n: 4\n",  // the explicit key open is a nested one
             // A replaced explicit key is dropped: the open key lands before
             // the empty key, in a nested mapping, with or without a comment.
             "m:\n  ? - a\n  : x\n  ? - b\n  ? - a\n  : y\n  : >\n    b\n",
             "m:\n  ? - a\n  : x\n  ? - b\n  ? - a\n  : y\n  # c\n  : z\n",
         })
        EXPECT_EQ(roundtrip_problem(text), "") << text;
}

}  // namespace

// A long string in a block style that cannot carry it (a control character)
// was written on one line, double-quoted, while the same string read back as
// double-quoted was folded over lines: the second dump differed.
TEST(FuzzRegressions, LongStringsFoldWhateverStyleTheyFallBackFrom) {
    for (const char* text : {
             "run: |\n  # a note on the build\x10\x10\x10\x10\x10\x10\x10\x10\x10\x10\x10\x10"
             "\x10\x10\x10\x10\x10\x10\x10\x10\x10\x10 of the steps here.\n  python -m build\n",
             "- >\n  one two three four five six seven eight nine ten eleven twelve\x01 thirteen\n",
         })
        EXPECT_EQ(roundtrip_problem(text), "") << text;
}
