#include "core/builder.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "core/parser.hpp"
#include "core/read.hpp"

using namespace tesvorn;

namespace {

struct Built {
    std::vector<YamlNode> roots;
    std::vector<DocMetadata> metas;
    std::size_t document_ends = 0;
    std::optional<ScanError> error;
};

Built build(std::string_view text, CoercionTags coercion = {}) {
    Built out;
    Result<ReadDocuments> read = read_text(text, coercion);
    if (!read.ok()) {
        out.error = read.error();
        return out;
    }
    out.roots.assign(read.value().roots.begin(), read.value().roots.end());
    out.metas.assign(read.value().metas.begin(), read.value().metas.end());
    out.document_ends = read.value().document_ends;
    return out;
}

const YamlMapping& root_map(const Built& b, std::size_t i = 0) {
    EXPECT_FALSE(b.error) << b.error->display();
    return *b.roots.at(i).mapping();
}

const YamlEntry& entry(const YamlMapping& m, std::string_view key) {
    const YamlEntry* e = m.entries.find(key);
    EXPECT_NE(e, nullptr) << key;
    return *e;
}

const YamlScalar& scalar_of(const YamlMapping& m, std::string_view key) {
    return *entry(m, key).value.scalar();
}

}  // namespace

TEST(BuilderComments, BeforeInlineAndBlankLines) {
    Built b = build("a: 1\n\n# c\nb: 2\nc: 3  # note\nd:  # on the key line\n  x: 1\n");
    const YamlMapping& m = root_map(b);
    EXPECT_EQ(entry(m, "b").blank_lines_before, 1);
    EXPECT_EQ(entry(m, "b").comments->before, "c");
    EXPECT_EQ(entry(m, "c").comments->trailing, "note");
    EXPECT_FALSE(entry(m, "c").comments->before);
    EXPECT_EQ(entry(m, "d").comments->trailing, "on the key line");
}

// Each kind of line break, with and without a final one, and lines longer
// than a vector compare: comments end at the break and CR LF is one break.
TEST(BuilderComments, EveryKindOfLineBreak) {
    const std::string long_text(100, 'x');
    for (const std::string nl : {"\n", "\r\n", "\r"}) {
        for (const bool final_break : {true, false}) {
            std::string text = "a: 1  # one" + nl + nl + "# " + long_text + nl + "#two" + nl +
                               "b: " + long_text + nl + "c: 3  # last";
            if (final_break) text += nl;
            Built b = build(text);
            const YamlMapping& m = root_map(b);
            EXPECT_EQ(entry(m, "a").comments->trailing, "one");
            EXPECT_EQ(entry(m, "b").comments->before, long_text + "\ntwo");
            EXPECT_EQ(entry(m, "b").blank_lines_before, 1);
            EXPECT_EQ(scalar_of(m, "b").value.as_str(), long_text);
            EXPECT_EQ(entry(m, "c").comments->trailing, "last");
        }
    }
}

TEST(BuilderComments, MultiLineCommentsAndIndentedNesting) {
    Built b = build("outer:\n  # one\n  #  two\n  inner: 1\n\n\n\nnext: 2\n");
    const YamlMapping& m = root_map(b);
    const YamlMapping& outer = *entry(m, "outer").value.mapping();
    EXPECT_EQ(entry(outer, "inner").comments->before, "one\n two");
    EXPECT_EQ(outer.trailing_blank_lines, 3);
    EXPECT_EQ(entry(m, "next").blank_lines_before, 0);
}

TEST(BuilderComments, GapsAreCappedAndTrailingCommentsStay) {
    std::string text = "a: 1\n";
    text.append(300, '\n');
    text += "b: 2\n# dangling\n---\nc: 3\n";
    Built b = build(text);
    EXPECT_EQ(entry(root_map(b), "b").blank_lines_before, 255);
    // A comment after the last entry stays with its document (it is written
    // back at the end of it), not with the next document's first entry.
    EXPECT_EQ(entry(root_map(b, 1), "c").comments->before, std::nullopt);
}

// Comments after the last entry of a nested block belong to it while they
// are indented at least as deep as its entries; the first one that is not
// belongs to what follows, with everything after it.
TEST(BuilderComments, EndOfABlockByIndentation) {
    Built b = build("a:\n  b: 1\n  # end of a\n\n# before c\nc:\n  - x\n  # end of c\n# d\nd: 2\n");
    const YamlMapping& m = root_map(b);
    EXPECT_EQ(entry(m, "c").comments->before, "before c");
    EXPECT_EQ(entry(m, "c").blank_lines_before, 1);
    EXPECT_EQ(entry(m, "d").comments->before, "d");
    const YamlMapping& a = *entry(m, "a").value.mapping();
    EXPECT_EQ(a.trailing_blank_lines, 0);
    EXPECT_EQ(std::string_view(a.layout.source->text)
                  .substr(a.layout.tail_begin, a.layout.tail_end - a.layout.tail_begin),
              "  # end of a\n");
}

TEST(BuilderComments, FlowCollectionCommentsGoToTheirHolder) {
    Built b = build("a: [1, 2]  # after a\nb: {x: [1,\n  2]}  # after b\nc:\n  - [x]  # item\n");
    const YamlMapping& m = root_map(b);
    EXPECT_EQ(entry(m, "a").comments->trailing, "after a");
    EXPECT_EQ(entry(m, "b").comments->trailing, "after b");
    EXPECT_EQ(entry(m, "c").value.sequence()->items[0].comments->trailing, "item");
}

TEST(BuilderComments, AliasItemsKeepTheirCommentsAndLines) {
    Built b = build("a: &x 1\nl:\n  - *x  # same line\n  # above\n  - *x\n  - 3\n");
    const YamlSequence& l = *entry(root_map(b), "l").value.sequence();
    ASSERT_EQ(l.items.size(), 3u);
    EXPECT_EQ(l.items[0].comments->trailing, "same line");
    EXPECT_EQ(l.items[1].comments->before, "above");
    EXPECT_EQ(l.items[2].blank_lines_before, 0);
    EXPECT_EQ(l.items[1].blank_lines_before, 0);
}

// Only an entry or item that has a comment gets a record of them (a
// duplicate key's entry starts anew, without the earlier one's).
TEST(BuilderComments, RecordsOnlyWhereThereAreComments) {
    Built b = build("a: 1\nb: 2  # t\n# c\nl:\n  - x\n  - y  # z\nd: 1  # old\nd: 2\n");
    const YamlMapping& m = root_map(b);
    const struct {
        const char* key;
        bool has;
    } entries[] = {{"a", false}, {"b", true}, {"l", true}, {"d", false}};
    for (const auto& c : entries) EXPECT_EQ(entry(m, c.key).comments.has(), c.has) << c.key;
    const YamlSequence& l = *entry(m, "l").value.sequence();
    EXPECT_FALSE(l.items[0].comments.has());
    EXPECT_EQ(l.items[1].comments->trailing, "z");
}

TEST(BuilderEntries, DuplicateKeysKeepTheFirstPlace) {
    Built b = build("a: 1\nb: 2\na: 3\n");
    const YamlMapping& m = root_map(b);
    ASSERT_EQ(m.entries.size(), 2u);
    EXPECT_EQ(m.entries.at(0).key, "a");
    EXPECT_EQ(m.entries.at(0).value.value.scalar()->value, ScalarValue::of_int(3));
}

TEST(BuilderEntries, KeysKeepTheirTextAndProperties) {
    Built b = build("1.0: a\n'q': b\n&k !t key: c\n");
    const YamlMapping& m = root_map(b);
    EXPECT_TRUE(m.entries.contains("1.0"));
    EXPECT_EQ(entry(m, "q").key_style, ScalarStyle::Single);
    EXPECT_EQ(entry(m, "key").key_props->anchor, "k");
    EXPECT_EQ(entry(m, "key").key_props->tag, "!t");
}

TEST(BuilderEntries, ComplexAndAliasKeys) {
    Built b = build("? [a, b]\n: 1\n? {x: 1}\n: 2\nk: &n 7\n*n : 8\n");
    const YamlMapping& m = root_map(b);
    ASSERT_EQ(m.entries.size(), 4u);
    EXPECT_EQ(m.entries.at(0).key, std::string("\0[\"a\", \"b\"]", 11));
    ASSERT_TRUE(m.entries.at(0).value.key_props->node);
    EXPECT_EQ((**m.entries.at(0).value.key_props->node).sequence()->items.size(), 2u);
    EXPECT_EQ(m.entries.at(1).key, std::string("\0{\"x\": 1}", 9));
    EXPECT_EQ(m.entries.at(3).key, "7");
    EXPECT_EQ(m.entries.at(3).value.key_props->alias, "n");
}

// A plain string the writer writes as it stands is marked so, for the
// context it was read in; one the writer would quote or render is not.
TEST(BuilderScalars, PlainValuesAreMarkedCheckedForTheirContext) {
    const Built b = build("a: x, y\nb: {c: d}\ne: 'q'\nf: 1\ng: yes\nh: x  # c\n");
    const YamlMapping& m = root_map(b);
    const auto checked = [](const YamlEntry& e) { return e.value.scalar()->plain_checked.v; };
    EXPECT_EQ(checked(entry(m, "a")), PlainChecked::kBlock);
    EXPECT_EQ(checked(entry(*entry(m, "b").value.mapping(), "c")), PlainChecked::kFlow);
    EXPECT_EQ(checked(entry(m, "h")), PlainChecked::kBlock);
    for (const char* quoted_or_typed : {"e", "f", "g"})
        EXPECT_EQ(checked(entry(m, quoted_or_typed)), PlainChecked::kNo) << quoted_or_typed;
    // Keys too, where no record is kept.
    EXPECT_EQ(entry(m, "a").layout.key_checked().v, PlainChecked::kBlock);
    EXPECT_EQ(entry(*entry(m, "b").value.mapping(), "c").layout.key_checked().v,
              PlainChecked::kFlow);
    EXPECT_EQ(entry(root_map(build("'q': 1\n")), "q").layout.key_checked().v, PlainChecked::kNo);
}

TEST(BuilderScalars, SourceTextIsKeptWhereWritingTheValueDiffers) {
    Built b = build(
        "hex: 0x1F\nplain: 42\nneg: -7\nzero: 007\nmode: 0644\nexp: 1e3\nf: 1.5\nf2: 1.50\nf3: "
        "3.10\n"
        "yes: yes\nt: true\nn: ~\nnl: null\nempty:\ns: text\n");
    const YamlMapping& m = root_map(b);
    auto original = [&](std::string_view k) { return scalar_of(m, k).props->original; };
    EXPECT_EQ(original("hex"), "0x1F");
    EXPECT_FALSE(original("plain"));
    EXPECT_FALSE(original("neg"));
    EXPECT_EQ(original("zero"), "007");
    EXPECT_EQ(original("mode"), "0644");
    EXPECT_EQ(original("exp"), "1e3");
    EXPECT_FALSE(original("f"));
    EXPECT_EQ(original("f2"), "1.50");
    EXPECT_EQ(original("f3"), "3.10");
    EXPECT_EQ(original("yes"), "yes");
    EXPECT_FALSE(original("t"));
    EXPECT_EQ(original("n"), "~");
    EXPECT_FALSE(original("nl"));
    EXPECT_EQ(original("empty"), "");
    EXPECT_FALSE(original("s"));
    EXPECT_EQ(scalar_of(m, "mode").value, ScalarValue::of_int(644));
}

TEST(BuilderScalars, TagDrivenTyping) {
    Built b = build("a: !!float 1\nc: !!str 1\nd: '1'\ne: !!null x\nf: !!bool yes\ng: !custom 5\n");
    const YamlMapping& m = root_map(b);
    EXPECT_EQ(scalar_of(m, "a").value, ScalarValue::of_float(1.0));
    EXPECT_EQ(scalar_of(m, "a").props->original, "1");
    EXPECT_EQ(scalar_of(m, "c").value, ScalarValue::of_str("1"));
    EXPECT_EQ(scalar_of(m, "d").value, ScalarValue::of_str("1"));
    EXPECT_FALSE(scalar_of(m, "d").props->original);
    EXPECT_EQ(scalar_of(m, "e").value, ScalarValue::null());
    EXPECT_EQ(scalar_of(m, "f").value, ScalarValue::of_bool(true));
    EXPECT_EQ(scalar_of(m, "g").value, ScalarValue::of_str("5"));
    EXPECT_EQ(scalar_of(m, "g").props->tag, "!custom");
    EXPECT_EQ(scalar_of(m, "a").props->tag, "tag:yaml.org,2002:float");
}

TEST(BuilderScalars, StandardTagsTheNodeDoesNotFitAreErrors) {
    // A tag that forces a type the text is not would load as another type.
    const std::pair<const char*, const char*> rows[] = {
        {"a: 1\nb: !!int x\n", "the tag !!int does not fit 'x' at character 8 line 2 column 4"},
        {"- !!float []", "the tag !!float does not fit a sequence at character 2 line 1 column 3"},
        {"!!seq {}", "the tag !!seq does not fit a mapping at character 0 line 1 column 1"},
        {"!!map x", "the tag !!map does not fit 'x' at character 0 line 1 column 1"},
    };
    for (const auto& [text, want] : rows) {
        Built b = build(text);
        ASSERT_TRUE(b.error) << text;
        EXPECT_EQ(b.error->display(), want);
        EXPECT_EQ(b.error->kind, ScanError::Kind::Tag);
    }
    // With a loader for the tag, the loader decides.
    CoercionTags ints;
    ints.bits = CoercionTags::bit_of("tag:yaml.org,2002:int");
    EXPECT_FALSE(build("!!int x", ints).error);
}

TEST(BuilderScalars, CoercionTagsKeepTheRawText) {
    CoercionTags ints;
    ints.bits = CoercionTags::bit_of("tag:yaml.org,2002:int");
    Built b = build("v: !!int 0x1F\nw: !!float 2\n", ints);
    const YamlMapping& m = root_map(b);
    EXPECT_EQ(scalar_of(m, "v").value, ScalarValue::of_str("0x1F"));
    EXPECT_EQ(scalar_of(m, "w").value, ScalarValue::of_float(2.0));
}

TEST(BuilderAliases, CopiesTheirTargetAndFollowTheNewestDefinition) {
    Built b = build("a: &x [1, 2]\nb: *x\nc: &x 3\nd: *x\n");
    const YamlMapping& m = root_map(b);
    const AliasNode* alias = entry(m, "b").value.alias();
    ASSERT_NE(alias, nullptr);
    EXPECT_EQ(alias->name, "x");
    EXPECT_EQ(alias->target->sequence()->items.size(), 2u);
    EXPECT_EQ(entry(m, "d").value.alias()->target->scalar()->value, ScalarValue::of_int(3));
    // Newest by where the anchor stands: a collection's anchor comes before
    // the anchors inside it, though the collection ends after them.
    Built nested = build("a: &x {b: &x 1}\nd: *x\n");
    EXPECT_EQ(entry(root_map(nested), "d").value.alias()->target->scalar()->value,
              ScalarValue::of_int(1));
}

TEST(BuilderAliases, CopiesShareCollectionsAndBoundScalarText) {
    // Each level holds nine aliases of the one before: 9^9 nodes if
    // expanded, but a copy shares its collection's record.
    std::string text = "a: &a [x, x, x, x, x, x, x, x, x]\n";
    for (char c = 'b'; c <= 'j'; ++c) {
        text += std::string(1, c) + ": &" + c + " [";
        for (int i = 0; i < 9; ++i)
            text += std::string(i ? ", " : "") + "*" + static_cast<char>(c - 1);
        text += "]\n";
    }
    Built laughs = build(text);
    ASSERT_FALSE(laughs.error) << laughs.error->display();
    const YamlSequence& j = *entry(root_map(laughs), "j").value.sequence();
    EXPECT_EQ(j.items[0].node.alias()->target->sequence(),
              j.items[8].node.alias()->target->sequence());
    // A scalar's text is copied: ten times the text read is the limit.
    std::string big = "s: &s " + std::string(Builder::kAliasBudgetFloor / 8, 'x') + "\n";
    for (int i = 0; i < 9; ++i) big += "c" + std::to_string(i) + ": *s\n";
    Built b = build(big + "d: *s\ne: *s\n");
    ASSERT_TRUE(b.error);
    EXPECT_NE(b.error->info.find("aliases expand too far"), std::string::npos);
    EXPECT_FALSE(build(big).error);
}

TEST(BuilderDocuments, ByteOrderMarkIsNotContent) {
    Built b = build("\xEF\xBB\xBF%YAML 1.2\n---\nkey: 1\n");
    ASSERT_FALSE(b.error) << b.error->display();
    EXPECT_TRUE(root_map(b).entries.contains("key"));
    Built plain = build("\xEF\xBB\xBFkey: 1\n");
    EXPECT_TRUE(root_map(plain).entries.contains("key"));
}

TEST(BuilderLines, ScalarsSpanningLinesEndWhereTheirTextEnds) {
    // Inline comments after multi-line scalars stay inline, and the lines of
    // block scalars are not counted as blank lines before the next entry.
    Built b = build(
        "a: plain\n  text  # after a\nb: |-\n  one\n  two\nc: >\n  folded\n  text\n\nd: \"q\n  r\" "
        " # after d\n"
        "e: |+\n  kept\n\nf: 1\n");
    const YamlMapping& m = root_map(b);
    EXPECT_EQ(entry(m, "a").comments->trailing, "after a");
    EXPECT_EQ(entry(m, "c").blank_lines_before, 0);
    EXPECT_EQ(entry(m, "d").blank_lines_before, 1);
    EXPECT_EQ(entry(m, "d").comments->trailing, "after d");
    EXPECT_EQ(entry(m, "e").blank_lines_before, 0);
    EXPECT_EQ(scalar_of(m, "e").value, ScalarValue::of_str("kept\n\n"));
    EXPECT_EQ(entry(m, "f").blank_lines_before, 0);
}

TEST(BuilderLines, EmptyNodesWithPropertiesStandAtTheirProperties) {
    Built b = build("l:\n  - !t\n  - &a\n\n  - x\n");
    const YamlSequence& l = *entry(root_map(b), "l").value.sequence();
    ASSERT_EQ(l.items.size(), 3u);
    EXPECT_EQ(l.items[1].blank_lines_before, 0);
    EXPECT_EQ(l.items[2].blank_lines_before, 1);
}

TEST(BuilderDocuments, MetadataAndEndCount) {
    Built b = build("%YAML 1.2\n%TAG !e! tag:e,2000:\n--- a\n...\n--- b\nc\n");
    ASSERT_FALSE(b.error);
    ASSERT_EQ(b.roots.size(), 2u);
    ASSERT_GE(b.metas.size(), 2u);
    EXPECT_TRUE(b.metas[0].explicit_start);
    EXPECT_TRUE(b.metas[0].explicit_end);
    EXPECT_EQ(b.metas[0].yaml_version, (std::pair<std::uint8_t, std::uint8_t>(1, 2)));
    ASSERT_EQ(b.metas[0].tag_directives->size(), 1u);
    EXPECT_EQ((*b.metas[0].tag_directives)[0].first, "!e!");
    EXPECT_TRUE(b.metas[1].explicit_start);
    EXPECT_FALSE(b.metas[1].explicit_end);
    EXPECT_FALSE(b.metas[1].yaml_version);
    EXPECT_EQ(b.document_ends, 2u);
    EXPECT_EQ(b.roots[1].scalar()->value, ScalarValue::of_str("b c"));
}

namespace {

// The builder's text steps over all of `text`, also when the reader stops
// at an error.
std::size_t text_steps(const std::string& text) {
    auto source = make_source(text);
    Parser<TextSource> parser{TextSource(source->text)};
    Builder builder(source);
    Event event;
    Marker mark;
    for (;;) {
        if (!parser.parse_into(event, mark).ok()) break;
        const bool end = event.type == Event::Type::StreamEnd;
        if (!builder.process_event(std::move(event), mark, {}).ok() || end) break;
    }
    return builder.text_steps();
}

std::string repeat(std::string_view head, std::string_view item, std::string_view sep,
                   std::size_t n, std::string_view tail) {
    std::string s(head);
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0) s += sep;
        s += item;
    }
    return s += tail;
}

}  // namespace

TEST(BuilderWork, GrowsLinearlyWithLongLines) {
    // Walks back to a line's start or over a document's text for each node
    // make one-line input (minified JSON) quadratic: the steps of four times
    // the input must stay within a fixed multiple of its length.
    struct Row {
        const char* name;
        std::string_view head, item, sep, tail;
    };
    const Row rows[] = {
        {"json objects", "[", R"({"id":1,"name":"x1","ok":true})", ",", "]"},
        {"flow sequence", "[", "a", ", ", "]\n"},
        {"flow mapping", "{", "k: v", ", ", "}\n"},
        {"nested", "[", "[a, {b: c}]", ", ", "]"},
        {"anchors and aliases", "[", "&a x, *a", ", ", "]"},
        {"flow pairs", "[", "a: b", ", ", "]"},
        {"block value", "k: [", "a", ", ", "]\n"},
        {"sequence item", "- [", "a", ",", "]\n- b\n"},
        {"crlf", "[", "a", ",", "]\r\n"},
        {"comment after", "[", "a", ", ", "] # c\n"},
        {"unterminated", "[", "a", ", ", ""},
        {"pretty", "[\n", "{\"a\": 1}", ",\n", "\n]\n"},
    };
    for (const Row& r : rows) {
        for (const std::size_t n : {5000u, 20000u}) {
            const std::string text = repeat(r.head, r.item, r.sep, n, r.tail);
            const std::size_t steps = text_steps(text);
            EXPECT_GT(steps, 0u) << "counted in this build";
            EXPECT_LE(steps, 4 * text.size() + 64) << r.name << " x" << n;
        }
    }
}
