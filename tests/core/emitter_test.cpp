#include "core/emitter.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/read.hpp"

using namespace tesvorn;

namespace {

YamlNode str(std::string s, ScalarStyle style = ScalarStyle::Plain) {
    YamlScalar sc;
    sc.value = ScalarValue::of_str(std::move(s));
    sc.style = style;
    return sc;
}

YamlNode num(std::int64_t i) {
    YamlScalar sc;
    sc.value = ScalarValue::of_int(i);
    return sc;
}

YamlNode with_props(YamlNode n, std::optional<std::string> anchor, std::optional<std::string> tag) {
    if (auto* s = n.scalar()) {
        if (anchor) s->props.mut().anchor = std::move(anchor);
        if (tag) s->props.mut().tag = std::move(tag);
    }
    if (auto* m = n.mapping()) m->anchor = std::move(anchor), m->tag = std::move(tag);
    if (auto* q = n.sequence()) q->anchor = std::move(anchor), q->tag = std::move(tag);
    return n;
}

YamlNode alias(std::string name) {
    return AliasNode{std::move(name), Box<YamlNode>()};
}

YamlEntry entry(YamlNode v, std::optional<std::string> before = std::nullopt,
                std::optional<std::string> inline_comment = std::nullopt, std::uint8_t blank = 0) {
    YamlEntry e;
    e.value = std::move(v);
    e.comments.set(&Comments::before, std::move(before));
    e.comments.set(&Comments::trailing, std::move(inline_comment));
    e.blank_lines_before = blank;
    return e;
}

YamlItem item(YamlNode n, std::optional<std::string> before = std::nullopt,
              std::optional<std::string> inline_comment = std::nullopt, std::uint8_t blank = 0) {
    YamlItem it{std::move(n), blank, {}, {}, {}};
    it.comments.set(&Comments::before, std::move(before));
    it.comments.set(&Comments::trailing, std::move(inline_comment));
    return it;
}

YamlMapping map(std::initializer_list<std::pair<std::string, YamlEntry>> entries,
                ContainerStyle style = ContainerStyle::Block, std::uint8_t trailing = 0) {
    YamlMapping m;
    for (const auto& [k, e] : entries) m.entries.insert(k, e);
    m.style = style;
    m.trailing_blank_lines = trailing;
    return m;
}

YamlMapping map1(std::string key, YamlNode value) {
    return map({{std::move(key), entry(std::move(value))}});
}

YamlSequence seq(std::initializer_list<YamlItem> items,
                 ContainerStyle style = ContainerStyle::Block, std::uint8_t trailing = 0) {
    YamlSequence s;
    s.items.assign(items.begin(), items.end());
    s.style = style;
    s.trailing_blank_lines = trailing;
    return s;
}

YamlSequence flow_seq(std::initializer_list<YamlItem> items) {
    return seq(items, ContainerStyle::Flow);
}

std::string dump(const YamlNode& root, std::size_t indent = 2, const DocMetadata& meta = {}) {
    return emit_docs(std::span<const YamlNode>(&root, 1), std::span<const DocMetadata>(&meta, 1),
                     indent);
}

}  // namespace

// --- Document framing --------------------------------------------------------

TEST(EmitterFraming, MarkersOnlyWhereNeeded) {
    EXPECT_EQ(dump(str("a")), "a\n");
    DocMetadata start;
    start.explicit_start = true;
    start.explicit_end = true;
    EXPECT_EQ(dump(str("a"), 2, start), "---\na\n...\n");

    const std::vector<YamlNode> two{str("a"), YamlNode(map1("b", num(1)))};
    EXPECT_EQ(emit_docs(two, {}, 2), "---\na\n---\nb: 1\n");  // metas may be missing
    EXPECT_EQ(emit_docs({}, {}, 2), "");

    DocMetadata dirs;
    dirs.yaml_version = std::pair<std::uint8_t, std::uint8_t>{1, 2};
    dirs.tag_directives.mut() = {{"!e!", "tag:e.com,2000:"}};
    EXPECT_EQ(dump(str("a"), 2, dirs), "%YAML 1.2\n%TAG !e! tag:e.com,2000:\n---\na\n");
}

TEST(EmitterFraming, DirectivesAfterAnOpenDocumentCloseItFirst) {
    DocMetadata dirs;
    dirs.yaml_version = std::pair<std::uint8_t, std::uint8_t>{1, 2};
    const std::vector<YamlNode> roots{str("a"), str("b")};
    const std::vector<DocMetadata> metas{DocMetadata{}, dirs};
    EXPECT_EQ(emit_docs(roots, metas, 2), "---\na\n...\n%YAML 1.2\n---\nb\n");

    StringSink sink;
    ASSERT_TRUE(emit_docs_to(str("a"), DocMetadata{}, 2, sink));
    ASSERT_TRUE(emit_docs_to(str("b"), dirs, 2, sink));
    EXPECT_EQ(sink.str(), "a\n...\n%YAML 1.2\n---\nb\n");
    EXPECT_EQ(sink.last_char(), '\n');

    // A document that ended with "..." is not closed a second time.
    DocMetadata closed;
    closed.explicit_end = true;
    const std::vector<DocMetadata> closed_first{closed, dirs};
    StringSink again;
    ASSERT_TRUE(emit_docs_to(str("a"), closed, 2, again));
    ASSERT_TRUE(emit_docs_to(str("b"), dirs, 2, again));
    EXPECT_EQ(again.str(), "a\n...\n%YAML 1.2\n---\nb\n");
    EXPECT_EQ(emit_docs(roots, closed_first, 2), "---\na\n...\n%YAML 1.2\n---\nb\n");
}

// --- Block mappings and sequences ----------------------------------------------

TEST(EmitterBlock, CommentsAndBlankLines) {
    YamlMapping inner =
        map({{"x", entry(num(1))}, {"y", entry(num(2), "first\nsecond", std::nullopt, 2)}});
    YamlNode root =
        map({{"a", entry(YamlNode(inner), std::nullopt, "c")}, {"b", entry(str("v"), "r1\r\nr2")}},
            ContainerStyle::Block, 1);
    EXPECT_EQ(dump(root),
              "a:  # c\n  x: 1\n\n\n  # first\n  # second\n  y: 2\n# r1\n# r2\nb: v\n\n");
    // Line breaks in an inline comment would end it: they become spaces.
    EXPECT_EQ(dump(map({{"a", entry(num(1), std::nullopt, "x\ny\rz")}})), "a: 1  # x y z\n");
}

TEST(EmitterBlock, CommentLinesAreTheTextsLinesAsTheReaderJoinsThem) {
    // Each line of the text is a comment line, an empty one a bare '#'; the
    // reader gives these texts back for these lines.
    const std::pair<const char*, const char*> rows[] = {
        {"", "#\n"},
        {"\n", "#\n#\n"},
        {"x\n", "# x\n#\n"},
        {"\nx", "#\n# x\n"},
        {"x\n\ny", "# x\n#\n# y\n"},
        {"x\r\ny\rz", "# x\n# y\n# z\n"},
    };
    for (const auto& [comment, lines] : rows) {
        EXPECT_EQ(dump(map({{"a", entry(num(1), comment)}})), std::string(lines) + "a: 1\n")
            << comment;
        EXPECT_EQ(dump(seq({item(num(1), comment)})), std::string(lines) + "- 1\n") << comment;
    }
}

TEST(EmitterBlock, ValuesOfEveryKind) {
    YamlScalar empty;  // a key read with nothing after its colon
    empty.props.mut().original = "";
    YamlNode root = map({{"e", entry(empty)},
                         {"n", entry(YamlNode())},
                         {"m", entry(YamlMapping())},
                         {"s", entry(YamlSequence(), std::nullopt, "c")},
                         {"l", entry(YamlNode(seq({item(str("a")), item(str("b"))})))},
                         {"f", entry(YamlNode(flow_seq({item(num(1))})), std::nullopt, "c")},
                         {"an", entry(with_props(num(0), "x", std::nullopt))},
                         {"al", entry(alias("x"))}});
    EXPECT_EQ(dump(root),
              "e:\nn: null\nm: {}\ns: []  # c\nl:\n  - a\n  - b\nf: [1]  # c\n"
              "an: &x 0\nal: *x\n");
    EXPECT_EQ(dump(seq({item(empty), item(num(1))})), "-\n- 1\n");
    EXPECT_EQ(dump(YamlMapping()), "{}\n");
    EXPECT_EQ(dump(YamlSequence()), "[]\n");
}

TEST(EmitterBlock, KeyQuoting) {
    const auto key = [](std::string k, ScalarStyle style = ScalarStyle::Plain) {
        YamlMapping m;
        YamlEntry e = entry(num(1));
        e.key_style = style;
        m.entries.insert(std::move(k), std::move(e));
        std::string out = dump(YamlNode(std::move(m)));
        return out.substr(0, out.size() - 4);  // without ": 1\n"
    };
    EXPECT_EQ(key("a: b"), "'a: b'");
    EXPECT_EQ(key("-x"), "-x");
    EXPECT_EQ(key("<<"), "<<");
    EXPECT_EQ(key("1.0"), "1.0");  // keys are never typed
    for (const char* k : {"", "- x", "-", "---", "... x", "'a", "\"a", " a", "a ", "\ta", "a\t",
                          "a:", "a #b", "a\t#b", "?x", "[a", "&a", "<x", "%x",
                          // past the first eight bytes, which are looked at together
                          "abcdefghij: k", "abcdefghij #k", "abcdefghijk:", "abcdefghij\tk"})
        EXPECT_EQ(key(k)[0], '\'') << k;
    EXPECT_EQ(key("abcdefghijklmnop\x01"), "\"abcdefghijklmnop\\x01\"");
    EXPECT_EQ(key("abcdefghijklmnop[q]"), "abcdefghijklmnop[q]");
    EXPECT_EQ(key("a\nb", ScalarStyle::Single), "\"a\\nb\"");
    EXPECT_EQ(key("a\rb"), "\"a\\rb\"");
    EXPECT_EQ(key("it's", ScalarStyle::Single), "'it''s'");
    EXPECT_EQ(key("k", ScalarStyle::Double), "\"k\"");
}

TEST(EmitterBlock, LongKeysBecomeExplicit) {
    const std::string k(1200, 'k');
    EXPECT_EQ(dump(map1(k, num(1))), "? " + k + "\n: 1\n");
    EXPECT_EQ(dump(YamlNode(map({{k, entry(num(1))}}, ContainerStyle::Flow))),
              "{? " + k + ": 1}\n");
}

TEST(EmitterBlock, SpecialKeys) {
    YamlMapping m = map1("k0", with_props(num(0), "k", std::nullopt));
    YamlEntry a = entry(num(1));
    a.key_props.mut().alias = "k";
    m.entries.insert("x", a);
    YamlEntry complex = entry(num(2));
    complex.key_props.mut().node =
        Box<YamlNode>(with_props(YamlNode(map1("p", num(3))), "km", std::nullopt));
    m.entries.insert(complex_key_string(**complex.key_props->node, 1), complex);
    YamlEntry flow_key = entry(num(4));
    flow_key.key_props.mut().node =
        Box<YamlNode>(YamlNode(flow_seq({item(str("a")), item(str("b"))})));
    m.entries.insert(complex_key_string(**flow_key.key_props->node, 2), flow_key);
    YamlEntry literal = entry(num(5));
    literal.key_style = ScalarStyle::Literal;
    literal.key_props.mut().anchor = "ka";
    m.entries.insert("l\n", literal);
    YamlEntry props = entry(num(6));
    props.key_props.mut().anchor = "kb";
    props.key_props.mut().tag = "!t";
    m.entries.insert("p", props);
    EXPECT_EQ(
        dump(YamlNode(m)),
        "k0: &k 0\n? *k\n: 1\n? &km\n  p: 3\n: 2\n? [a, b]\n: 4\n? &ka |\n  l\n: 5\n&kb !t p: 6\n");
}

TEST(EmitterBlock, SequencesOfCollections) {
    YamlNode root =
        seq({item(YamlNode(map({{"name", entry(str("a"))}, {"value", entry(num(1))}},
                               ContainerStyle::Block, 1))),
             item(YamlNode(map({{"name", entry(str("b"))},
                                {"value", entry(num(2), std::nullopt, std::nullopt, 1)}}))),
             item(YamlNode(seq({item(str("x")), item(str("y"), std::nullopt, std::nullopt, 1)},
                               ContainerStyle::Block, 1))),
             item(str("c"))});
    // Blank lines inside the inline-first forms are kept (between the
    // steps of a CI workflow, the reader records them this way).
    EXPECT_EQ(dump(root),
              "- name: a\n  value: 1\n\n- name: b\n\n  value: 2\n- - x\n\n  - y\n\n- c\n");
    // With a step other than 2 the dash is padded so that every entry of
    // the collection lines up.
    EXPECT_EQ(dump(seq({item(YamlNode(map({{"a", entry(num(1))}, {"b", entry(num(2))}}))),
                        item(YamlNode(seq({item(str("x")), item(str("y"))})))}),
                   4),
              "-   a: 1\n    b: 2\n-   - x\n    - y\n");
    EXPECT_EQ(dump(map1("k", YamlNode(seq({item(YamlNode(map1("a", num(1))))}))), 1),
              "k:\n - a: 1\n");
}

TEST(EmitterBlock, FirstEntryComments) {
    YamlNode root =
        seq({item(YamlNode(map({{"a", entry(num(1), "c")}, {"b", entry(num(2), "d")}}))),
             item(YamlNode(seq({item(str("x"), "e")})))});
    EXPECT_EQ(dump(root), "- \n  # c\n  a: 1\n  # d\n  b: 2\n- \n  # e\n  - x\n");
}

// --- Anchors, tags and aliases ---------------------------------------------------

TEST(EmitterProperties, CollectionsKeepAnchorsAndTags) {
    EXPECT_EQ(dump(with_props(YamlNode(map1("a", num(1))), "r", "!!map")), "&r !!map\na: 1\n");
    EXPECT_EQ(dump(with_props(YamlNode(seq({item(num(1))})), std::nullopt, "!s")), "!s\n- 1\n");
    EXPECT_EQ(dump(map1("k", with_props(YamlNode(map1("a", num(1))), "m", "!t"))),
              "k: &m !t\n  a: 1\n");
    EXPECT_EQ(dump(seq({item(with_props(YamlNode(map1("a", num(1))), "a", std::nullopt)),
                        item(with_props(YamlNode(map1("b", num(2))), std::nullopt, "!t"),
                             std::nullopt, "c"),
                        item(YamlNode(map1("c", num(3))), std::nullopt, "d")})),
              "- &a\n  a: 1\n- !t # c\n  b: 2\n- # d\n  c: 3\n");
    // Nested in an inline-first sequence, and empty collections.
    EXPECT_EQ(dump(seq({item(
                  YamlNode(seq({item(with_props(YamlNode(seq({item(num(1))})), "in", std::nullopt)),
                                item(with_props(YamlNode(YamlMapping()), "e", "!t"))})))})),
              "- - &in\n    - 1\n  - &e !t {}\n");
    EXPECT_EQ(dump(map1("k", with_props(YamlNode(YamlSequence()), "s", std::nullopt))),
              "k: &s []\n");
    EXPECT_EQ(dump(with_props(YamlNode(YamlMapping()), "r", std::nullopt)), "&r\n{}\n");
}

TEST(EmitterProperties, TagForms) {
    const auto tagged = [](std::string tag, DocMetadata meta = {}) {
        std::string out = dump(with_props(str("x"), std::nullopt, std::move(tag)), 2, meta);
        out.erase(0, out.rfind("---\n") == std::string::npos ? 0 : out.rfind("---\n") + 4);
        return out.substr(0, out.size() - 3);  // without " x\n"
    };
    EXPECT_EQ(tagged("tag:yaml.org,2002:str"), "!!str");
    EXPECT_EQ(tagged("!!binary"), "!!binary");
    EXPECT_EQ(tagged("!local"), "!local");
    EXPECT_EQ(tagged("!"), "!");
    EXPECT_EQ(tagged("tag:e.com,2000:x"), "!<tag:e.com,2000:x>");
    EXPECT_EQ(tagged(""), "!<>");
    // What the reader decodes back: blanks, '%', '!' and non-ASCII escaped.
    EXPECT_EQ(tagged("not a tag"), "!<not%20a%20tag>");
    EXPECT_EQ(tagged("!a!b%"), "!a%21b%25");
    EXPECT_EQ(tagged("!é"), "!%C3%A9");
    DocMetadata meta;
    meta.tag_directives.mut() = {{"!e!", "tag:e.com,2000:"}, {"!", "tag:p,1:"}};
    EXPECT_EQ(tagged("tag:e.com,2000:x", meta), "!e!x");
    EXPECT_EQ(tagged("!local", meta), "!<!local>");  // "!local" would take the declared prefix
    meta.tag_directives.mut() = {{"!!", "tag:other,1:"}};
    EXPECT_EQ(tagged("!!str", meta), "!<tag:yaml.org,2002:str>");
}

TEST(EmitterProperties, AnchorNamesReadersCannotTakeAreEscaped) {
    EXPECT_EQ(dump(seq({item(with_props(num(1), "a b", std::nullopt)), item(alias("a b")),
                        item(with_props(num(2), "ok:1", std::nullopt)), item(alias("ok:1"))})),
              "- &a%20b 1\n- *a%20b\n- &ok:1 2\n- *ok:1\n");
    EXPECT_EQ(dump(seq({item(with_props(num(1), "", std::nullopt)),
                        item(with_props(num(2), "x,y%", std::nullopt)), item(alias("")),
                        item(alias("x,y%"))})),
              "- &% 1\n- &x%2Cy%25 2\n- *%\n- *x%2Cy%25\n");
}

// An alias whose anchor is not written before it (removed, replaced by a
// duplicate key, sorted behind it) is written as the node it stands for,
// under its name: the text must load again, to the same data.
TEST(EmitterProperties, AliasesWithoutAnAnchorBeforeThemBecomeTheirNode) {
    auto alias_of = [](std::string name, YamlNode target) {
        return YamlNode(AliasNode{std::move(name), Box<YamlNode>(std::move(target))});
    };
    const YamlNode target =
        with_props(YamlNode(flow_seq({item(num(1)), item(num(2))})), "x", std::nullopt);
    // The first alias takes the anchor; the next ones stay aliases.
    EXPECT_EQ(dump(map({{"b", entry(alias_of("x", target))},
                        {"c", entry(alias_of("x", target))},
                        {"a", entry(target)}})),
              "b: &x [1, 2]\nc: *x\na: &x [1, 2]\n");
    // A chain of aliases resolves to its last target; an empty one is null.
    EXPECT_EQ(dump(seq({item(alias_of("y", alias_of("z", str("v")))), item(alias("n"))})),
              "- &y v\n- &n null\n");
    // It is written inline: a block collection takes flow form.
    EXPECT_EQ(dump(map1("k", alias_of("m", YamlNode(map1("p", num(1)))))), "k: &m {p: 1}\n");
    // An alias key becomes an anchored key.
    YamlMapping m;
    YamlEntry k = entry(num(1));
    k.key_props.mut().alias = "q";
    m.entries.insert("key", k);
    EXPECT_EQ(dump(YamlNode(m)), "&q key: 1\n");
    m.style = ContainerStyle::Flow;
    EXPECT_EQ(dump(YamlNode(m)), "{&q key: 1}\n");
    // Each document has its own anchors.
    std::vector<YamlNode> docs;
    docs.push_back(with_props(num(1), "a", std::nullopt));
    docs.push_back(alias_of("a", num(1)));
    EXPECT_EQ(emit_docs(docs, {}, 2), "---\n&a 1\n---\n&a 1\n");
    // Inside its own anchored collection an alias stays one: that is how a
    // self-containing structure is written.
    YamlMapping own = map1("k", alias("s"));
    own.anchor = "s";
    EXPECT_EQ(dump(YamlNode(own)), "&s\nk: *s\n");
    // Written piece by piece, the same.
    std::string pieces;
    const DocMetadata meta;  // the writer keeps a reference
    BlockWriter w(pieces, meta, 2);
    const std::string root = "r", v = "v";
    w.begin(false, false, &root, nullptr);
    w.content(YamlNode(map1("a", alias_of("r", num(0)))), 0);
    w.open_value("b", k, &v, nullptr, 0);
    w.content(YamlNode(seq({item(alias_of("v", num(3))), item(alias_of("u", num(4))),
                            item(alias("u")), item(alias("q"))})),
              2);
    w.content(YamlNode(map1("c", alias("v"))), 0);
    w.end(false);
    EXPECT_EQ(pieces, "&r\na: *r\n&q b: &v\n  - *v\n  - &u 4\n  - *u\n  - *q\nc: *v\n");
}

// A value the reader checked in block context is checked again where it is
// written in flow context.
TEST(EmitterScalars, PlainCheckedHoldsInItsOwnContextOnly) {
    YamlNode v = str("x, y");
    v.scalar()->plain_checked.v = PlainChecked::kBlock;
    EXPECT_EQ(dump(YamlNode(map1("k", v))), "k: x, y\n");
    EXPECT_EQ(dump(YamlNode(map({{"k", entry(v)}}, ContainerStyle::Flow))), "{k: 'x, y'}\n");
    YamlEntry e = entry(str("v"));
    e.layout.set_key_checked(false);
    EXPECT_EQ(dump(YamlNode(map({{"a, b", e}}))), "a, b: v\n");
    EXPECT_EQ(dump(YamlNode(map({{"a, b", e}}, ContainerStyle::Flow))), "{'a, b': v}\n");
}

// --- Block scalars -----------------------------------------------------------------

// The reader's test of whether a key or value it read needs a record agrees
// with what the writer writes, words included (they take a shorter road).
TEST(EmitterScalars, PlainTestsAgreeWithTheWriter) {
    for (const char* t :
         {"name", "yes", "Null", "on",    "True", "a.b/c-d_e", "_x",   "x1",   "1x", "a b",
          "a: b", "-x",  "<<",   "~",     "x#y",  "x #y",      "1.5",  "0x1F", "e5", "inf",
          ".inf", "a,b", "a\tb", "a - b", "a  b", "a -",       "a b ", "a -b", ""}) {
        for (const bool flow : {false, true}) {
            SCOPED_TRACE(std::string(t) + (flow ? " (flow)" : " (block)"));
            YamlMapping m = map1(t, str(t));
            if (flow) m.style = ContainerStyle::Flow;
            const std::string out = dump(YamlNode(m));
            EXPECT_EQ(writes_plain_key(t, flow),
                      out.starts_with(flow ? "{" + std::string(t) + ":" : std::string(t) + ":"));
            EXPECT_EQ(writes_plain_value(t, flow),
                      out.find(": " + std::string(t) + (flow ? "}" : "\n")) != std::string::npos)
                << out;
        }
    }
}

TEST(EmitterBlockScalar, HeadersAndLines) {
    EXPECT_EQ(dump(map1("k", str("a\nb\n", ScalarStyle::Literal))), "k: |\n  a\n  b\n");
    EXPECT_EQ(dump(map1("k", str("a\nb", ScalarStyle::Literal))), "k: |-\n  a\n  b\n");
    EXPECT_EQ(dump(map1("k", str("a\n\n", ScalarStyle::Literal))), "k: |+\n  a\n\n");
    EXPECT_EQ(dump(map1("k", str("", ScalarStyle::Literal))), "k: |-\n");
    EXPECT_EQ(dump(map1("k", str("  a\n\n b\n", ScalarStyle::Literal))), "k: |2\n    a\n\n   b\n");
    EXPECT_EQ(dump(map1("k", str("a\nb\n", ScalarStyle::Folded))), "k: >\n  a\n\n  b\n");
    // More-indented lines are not folded: no extra line break around them.
    EXPECT_EQ(dump(map1("k", str("a\n b\nc\n\nd", ScalarStyle::Folded))),
              "k: >-\n  a\n   b\n  c\n\n\n  d\n");
    EXPECT_EQ(dump(str("x\n", ScalarStyle::Literal)), "|\n  x\n");
    EXPECT_EQ(dump(seq({item(str("x\n", ScalarStyle::Literal), std::nullopt, "c")}), 4),
              "- |  # c\n    x\n");
    // The indicator is relative to the parent; it has one digit.
    EXPECT_EQ(dump(map1("k", str(" x", ScalarStyle::Literal)), 4), "k: |4-\n     x\n");
    EXPECT_EQ(dump(map1("k", str(" x", ScalarStyle::Literal)), 12), "k: |9-\n          x\n");
}

TEST(EmitterBlockScalar, PropertiesAndComment) {
    YamlMapping m;
    m.entries.insert(
        "k", entry(with_props(str("a\n", ScalarStyle::Folded), "f", "!t"), std::nullopt, "c"));
    EXPECT_EQ(dump(YamlNode(m)), "k: &f !t >  # c\n  a\n");
}

// Long texts are checked eight bytes at a time: a character that needs an
// escape is found wherever it stands.
TEST(EmitterBlockScalar, LongTextsNeedingEscapesFallBack) {
    const std::string run = "abcdefghijklmnop";
    for (const auto& [text, block] : std::vector<std::pair<std::string, bool>>{
             {run + "\n" + run + "\tq" + run + "\n", true},
             {run + "~" + run + "\n", true},
             {run + "\x7F" + run + "\n", false},
             {run + "x\r" + run + "\n", false},
             {run + "\x01" + run + "\n", false},
             {run + "\xC2\x85" + run + "\n", false},
             {run + "\xC3\xA9" + run + "\n", true},
             {run + "\xEF\xBB\xBF" + run + "\n", false},
         })
        EXPECT_EQ(dump(map1("k", str(text, ScalarStyle::Literal))).starts_with("k: |"), block)
            << text;
}

TEST(EmitterBlockScalar, FallsBackToOneLineForms) {
    YamlScalar n;
    n.value = ScalarValue::of_int(7);
    n.style = ScalarStyle::Literal;
    YamlNode root = map({{"n", entry(n)},
                         {"cr", entry(str("a\r\nb", ScalarStyle::Literal))},
                         {"lf", entry(str("\n", ScalarStyle::Folded))},
                         {"nel", entry(str("a\u0085b\n", ScalarStyle::Literal))}});
    EXPECT_EQ(dump(root), "n: 7\ncr: \"a\\r\\nb\"\nlf: \"\\n\"\nnel: \"a\\Nb\\n\"\n");
    EXPECT_EQ(dump(YamlNode(flow_seq({item(str("a\nb", ScalarStyle::Literal))}))), "[\"a\\nb\"]\n");
}

TEST(EmitterBlockScalar, NoBlankLinesAfterKeepChomping) {
    // A keep-chomped scalar would take the blank lines as content.
    YamlNode root = map({{"a", entry(str("x\n\n", ScalarStyle::Literal))},
                         {"b", entry(num(1), std::nullopt, std::nullopt, 2)}},
                        ContainerStyle::Block, 3);
    EXPECT_EQ(dump(root), "a: |+\n  x\n\nb: 1\n\n\n\n");
    EXPECT_EQ(
        dump(map({{"a", entry(str("x\n\n", ScalarStyle::Literal))}}, ContainerStyle::Block, 2)),
        "a: |+\n  x\n\n");
}

// --- Flow collections ----------------------------------------------------------------

TEST(EmitterFlow, Collections) {
    EXPECT_EQ(dump(with_props(YamlNode(flow_seq({item(num(1)), item(num(2))})), "s", std::nullopt)),
              "&s [1, 2]\n");
    YamlMapping fm = map({{"a", entry(with_props(YamlNode(seq({item(str("a")), item(str("b"))})),
                                                 "k", std::nullopt))}},
                         ContainerStyle::Flow);
    YamlEntry ak = entry(str("v"));
    ak.key_props.mut().alias = "k";
    fm.entries.insert("x", ak);
    fm.entries.insert("n", entry(YamlNode(map1("m", str("a, b")))));
    EXPECT_EQ(dump(YamlNode(fm)), "{a: &k [a, b], *k : v, n: {m: 'a, b'}}\n");
    // Inside braces a block-style key node is written in flow form too.
    YamlMapping ck;
    YamlEntry ce = entry(str("v"));
    ce.key_props.mut().node = Box<YamlNode>(YamlNode(map1("a", num(1))));
    ck.entries.insert(complex_key_string(**ce.key_props->node, 0), ce);
    ck.style = ContainerStyle::Flow;
    EXPECT_EQ(dump(YamlNode(ck)), "{{a: 1}: v}\n");
    EXPECT_EQ(dump(map1("k", YamlNode(flow_seq({item(str("a,b")), item(str("-x")), item(str("x:")),
                                                item(str("a:b"))})))),
              "k: ['a,b', '-x', 'x:', a:b]\n");
}

TEST(EmitterFlow, SourceTextOnlyWhereItFits) {
    YamlScalar empty;
    empty.props.mut().original = "";
    YamlScalar tagged;
    tagged.value = ScalarValue::of_str("a,b");
    tagged.props.mut().tag = "!t";
    tagged.props.mut().original = "a,b";
    YamlScalar hex;
    hex.value = ScalarValue::of_int(31);
    hex.props.mut().original = "0x1F";
    EXPECT_EQ(dump(YamlNode(flow_seq({item(empty), item(tagged), item(hex)}))),
              "[null, !t 'a,b', 0x1F]\n");
    EXPECT_EQ(dump(YamlNode(map({{"a", entry(empty)}}, ContainerStyle::Flow))), "{a: }\n");
    EXPECT_EQ(dump(seq({item(tagged), item(hex)})), "- !t a,b\n- 0x1F\n");
}

// --- Text read, then edited ----------------------------------------------------------

namespace {

YamlMapping& at_key(YamlNode& root, std::string_view key) {
    return *root.mapping()->entries.find(key)->value.mapping();
}

/// A text, an edit of its first document's tree, and the text written after.
struct Edited {
    std::string text;
    std::function<void(YamlNode&)> edit;
    std::string expected;
};

void expect_edited(const std::vector<Edited>& rows) {
    for (const Edited& row : rows) {
        Result<ReadDocuments> read = read_text(row.text);
        ASSERT_TRUE(read.ok()) << row.text;
        ReadDocuments& docs = read.value();
        row.edit(docs.roots[0]);
        EXPECT_EQ(dump(docs.roots[0], 2, docs.metas[0]), row.expected) << row.text;
    }
}

}  // namespace

// Where only a count of blank lines changed, the lines read stay, comment
// lines and their indentation included: blank lines are added before them or
// the first ones dropped.
TEST(EmitterEdited, CountsOfBlankLinesKeepTheLinesRead) {
    const std::string tail = "a:\n  b: 1\n\n  # end\n\n  # more\nz: 1\n";
    const std::string lead = "a: 1\n\n  # odd\nb: 2\n";
    expect_edited({
        {tail, [](YamlNode& r) { at_key(r, "a").trailing_blank_lines = 0; },
         "a:\n  b: 1\n  # end\n  # more\nz: 1\n"},
        {tail, [](YamlNode& r) { at_key(r, "a").trailing_blank_lines = 3; },
         "a:\n  b: 1\n\n\n  # end\n\n  # more\nz: 1\n"},
        // An emptied block collection keeps what followed its entries.
        {tail, [](YamlNode& r) { at_key(r, "a").entries.clear(); },
         "a: {}\n\n  # end\n\n  # more\nz: 1\n"},
        {lead, [](YamlNode& r) { r.mapping()->entries.find("b")->blank_lines_before = 0; },
         "a: 1\n  # odd\nb: 2\n"},
        {lead, [](YamlNode& r) { r.mapping()->entries.find("b")->blank_lines_before = 2; },
         "a: 1\n\n\n  # odd\nb: 2\n"},
        {"a: 1\r\n# c\r\nb: 2\r\n",
         [](YamlNode& r) { r.mapping()->entries.find("b")->blank_lines_before = 1; },
         "a: 1\r\n\r\n# c\r\nb: 2\r\n"},
    });
}

// An entry first now that was not read first takes what stood after the
// opening bracket: the same spacing inside both brackets.
TEST(EmitterEdited, FlowEntriesFirstNowFollowTheOpeningBracketAsRead) {
    const auto front = [](YamlNode& r) -> std::vector<YamlItem>& {
        return r.mapping()->entries.find("k")->value.sequence()->items;
    };
    expect_edited({
        {"k: [ a ]\n", [&](YamlNode& r) { front(r).insert(front(r).begin(), item(str("z"))); },
         "k: [ z, a ]\n"},
        {"k: [ a, b ]\n", [&](YamlNode& r) { front(r).erase(front(r).begin()); }, "k: [ b ]\n"},
        {"k: [ # c\n  a,\n  b\n]\n",
         [&](YamlNode& r) { front(r).insert(front(r).begin(), item(str("z"))); },
         "k: [ # c\n  z,\n  a,\n  b\n]\n"},
        {"k: { a: 1 }\n",
         [](YamlNode& r) { at_key(r, "k").entries.insert_at(0, "n", entry(num(2))); },
         "k: { n: 2, a: 1 }\n"},
    });
}

// A slot moved into a collection read from other text is told from that
// text's own by the whole id of its text, not by part of it.
TEST(EmitterEdited, SlotsMovedBetweenTextsAreWrittenAnew) {
    auto a = make_source("a:   'x'  # from a\n");
    auto b = make_source("b:   'yyyyyyyyyyyyyyyy'\n");
    b->id = a->id + (std::uint64_t{1} << 32);
    auto ra = read_documents(a);
    auto rb = read_documents(b);
    ASSERT_TRUE(ra.ok() && rb.ok());
    YamlNode& target = rb.value().roots.front();
    target.mapping()->entries.insert("a", *ra.value().roots.front().mapping()->entries.find("a"));
    EXPECT_EQ(dump(target), "b:   'yyyyyyyyyyyyyyyy'\na: 'x'  # from a\n");
}

// A block mapping read with a key twice comes back as read while the entry
// that stands is the one read: the entry it replaced at the key's place,
// itself where it stood, so that the text loads to the same data. Replaced
// entries whose text holds what other text depends on (anchors, aliases,
// tags), explicit keys, and those of flow mappings are counted as lost.
TEST(EmitterEdited, EntriesReplacedByARepeatedKey) {
    const struct {
        const char* text;
        std::size_t lost;
    } rows[] = {
        {"a: 1\nb: 2\na: 3\n", 0},
        {"a: 1\nb: 1\na: 2\nc: 3\nb: 2\na: 4\n", 0},
        {"\n\n# top\na: 1\n\n# again\na: 2", 0},
        {"k:\n  a: |+\n    x\n\n  b: 1\n  a:\n  - y\nz: 1\n", 0},
        {"c:\n  c: |+\n    y\n  # i\n\nc: 2\n", 0},
        {"- a:\n    p: 1\n  a: 2\n", 0},
        {"a: 1\nb: &x 2\na: *x\n", 0},
        {"a: &x 1\na: 2\n", 1},
        {"a: !t 1\nb: 2\na: 3\n", 1},
        {"? a\n: 1\na: 2\n", 1},
        {"a: 1\na: &x 2\na: 3\n", 2},
        {"{a: 1, b: 2, a: 3}\n", 1},
    };
    for (const auto& row : rows) {
        Result<ReadDocuments> read = read_text(row.text);
        ASSERT_TRUE(read.ok()) << row.text;
        EXPECT_EQ(read.value().lost_duplicate_keys, row.lost) << row.text;
        if (row.lost == 0)
            EXPECT_EQ(dump(read.value().roots[0], 2, read.value().metas[0]), row.text);
    }
    const std::string text = "a: 1\nb: 2\na: 3\n";
    const auto entries = [](YamlNode& r) -> OrderedMap<YamlEntry>& { return r.mapping()->entries; };
    expect_edited({
        {text, [&](YamlNode& r) { entries(r).find("b")->value = num(5); }, "a: 1\nb: 5\na: 3\n"},
        {text, [&](YamlNode& r) { entries(r).insert("c", entry(num(4))); }, text + "c: 4\n"},
        {text, [&](YamlNode& r) { entries(r).erase_at(1); }, "a: 1\na: 3\n"},
        {text, [&](YamlNode& r) { entries(r).find("a")->value = num(5); }, "a: 5\nb: 2\n"},
        {text, [&](YamlNode& r) { entries(r).move(0, 1); }, "b: 2\na: 3\n"},
        {text, [&](YamlNode& r) { entries(r).rename_at(0, "z"); }, "z: 3\nb: 2\n"},
        {text, [&](YamlNode& r) { r.mapping()->layout.flags |= CollectionLayout::kIndentStale; },
         "a: 3\nb: 2\n"},
    });
}

// --- Sinks and limits ----------------------------------------------------------------

namespace {

class FailingSink final : public Sink {
  public:
    explicit FailingSink(int accept) : accept_(accept) {}
    [[nodiscard]] bool write(std::string_view text) override {
        if (accept_-- <= 0) return false;
        ++calls;
        got.append(text);
        remember_last(text);
        return true;
    }
    std::string got;
    int calls = 0;

  private:
    int accept_;
};

YamlNode big_sequence(int n) {
    YamlSequence s;
    for (int i = 0; i < n; ++i) s.items.push_back(item(YamlNode(map1("key", str("value")))));
    return s;
}

}  // namespace

TEST(EmitterSink, LargeFragmentsAndFailure) {
    const YamlNode root = big_sequence(20000);
    const std::string expected = dump(root);
    FailingSink ok(1 << 20);
    ASSERT_TRUE(emit_docs_to(root, DocMetadata{}, 2, ok));
    EXPECT_EQ(ok.got, expected);
    EXPECT_LT(ok.calls, 10);

    FailingSink failing(1);
    EXPECT_FALSE(emit_docs_to(root, DocMetadata{}, 2, failing));
    EXPECT_EQ(failing.calls, 1);
    EXPECT_TRUE(expected.starts_with(failing.got));
    EXPECT_LT(failing.got.size(), expected.size());

    FailingSink none(0);
    EXPECT_FALSE(emit_docs_to(str("a"), DocMetadata{}, 2, none));
    EXPECT_EQ(none.last_char(), -1);
}

TEST(EmitterSink, DeepTrees) {
    YamlNode block = str("leaf");
    for (int i = 0; i < 1000; ++i)
        block =
            YamlNode(i % 2 ? map1("k", std::move(block)) : YamlNode(seq({item(std::move(block))})));
    const std::string out = dump(block);
    EXPECT_TRUE(out.starts_with("k:\n  - k:\n      - k:\n")) << out.substr(0, 40);
    EXPECT_TRUE(out.ends_with(std::string(1998, ' ') + "- leaf\n"));
    YamlNode flow = num(1);
    for (int i = 0; i < 255; ++i) flow = YamlNode(flow_seq({item(std::move(flow))}));
    EXPECT_EQ(dump(flow), std::string(255, '[') + "1" + std::string(255, ']') + "\n");
}

// --- Piecewise writing ---------------------------------------------------------

TEST(EmitterPieces, PiecesGiveTheTextOfTheWholeTree) {
    // The root's first value is opened by its entry's lines and written item
    // by item, the rest entry by entry; pieces carry comments, blank lines,
    // properties, a keep-chomped scalar before blank lines, and nested
    // inline-first collections.
    const YamlSequence list =
        seq({item(YamlNode(map({{"a", entry(num(1))}, {"b", entry(str("x"))}}))),
             item(str("keep\n\n", ScalarStyle::Literal), "c", std::nullopt, 2),
             item(num(7), std::nullopt, std::nullopt, 3),
             item(YamlNode(seq({item(num(2)), item(YamlNode(map1("d", num(3))))})))},
            ContainerStyle::Block, 1);
    const YamlEntry head = entry(YamlNode(with_props(YamlNode(list), "l", "!t")), "top", "in", 1);
    const YamlMapping tail = map({{"k", entry(YamlNode(map1("x y", num(4))), "note", "in", 1)},
                                  {std::string(1100, 'k'), entry(YamlNode(seq({item(num(5))})))}},
                                 ContainerStyle::Block, 2);
    YamlMapping whole = map({{"list", head}});
    for (const auto& slot : tail.entries) whole.entries.insert(slot.key, slot.value);
    whole.trailing_blank_lines = 2;
    whole.anchor = "root";
    DocMetadata meta;
    meta.explicit_start = true;
    meta.explicit_end = true;
    meta.tag_directives.mut() = {{"!", "!x-"}};

    // Pieces as one-slot collections, and as slots.
    for (const std::size_t run : {0, 2, 3, 4, 10, 12, 13, 14}) {
        const bool by_slot = run >= 10;
        const std::size_t indent = run % 10;
        std::string pieces = "a\n";
        BlockWriter w(pieces, meta, indent);
        const std::string root = "root";
        w.begin(true, true, &root, nullptr);
        const std::string l = "l", t = "!t";
        w.open_value("list", head, &l, &t, 0);
        for (const YamlItem& i : list.items) {
            if (by_slot) {
                w.item(i, w.step());
                continue;
            }
            YamlSequence one;
            one.items.push_back(i);
            w.content(YamlNode(std::move(one)), w.step());
        }
        w.trailing_blank_lines(list.trailing_blank_lines);
        for (const auto& slot : tail.entries) {
            if (by_slot) {
                w.entry(slot.key, slot.value, 0);
                continue;
            }
            YamlMapping one;
            one.entries.insert(slot.key, slot.value);
            w.content(YamlNode(std::move(one)), 0);
        }
        w.trailing_blank_lines(whole.trailing_blank_lines);
        w.end(true);
        std::string expected = "a\n";
        emit_doc_into(expected, YamlNode(whole), meta, indent, true, true);
        EXPECT_EQ(pieces, expected) << run;
    }
}

TEST(EmitterPieces, DocumentsAppendWithTheirFraming) {
    DocMetadata version;
    version.yaml_version = std::make_pair(std::uint8_t{1}, std::uint8_t{2});
    std::string out;
    emit_doc_into(out, str("a"), DocMetadata{}, 2, true, false);
    emit_doc_into(out, str("b"), version, 2, true, true);
    EXPECT_EQ(out, "---\na\n...\n%YAML 1.2\n---\nb\n");
}

namespace {

/// Hands over its own copy of every value (entries) or slot (items) of the
/// root, with the number 0 written as "new", and leaves out the slots
/// holding 1.
class CopyingFiller final : public RootFiller {
  public:
    explicit CopyingFiller(bool plain_as_is) : RootFiller(plain_as_is) {}
    Fill fill(std::size_t, const YamlEntry*& slot, const YamlNode*& value) override {
        value_ = slot->value;
        value = &value_;
        return pick(value_);
    }
    Fill fill(std::size_t, const YamlItem*& slot, const YamlNode*& value) override {
        item_ = *slot;
        slot = &item_;
        value = &item_.node;
        return pick(item_.node);
    }
    void release(std::size_t) noexcept override {}

  private:
    static Fill pick(YamlNode& value) {
        const YamlScalar* s = value.scalar();
        const std::int64_t n =
            s != nullptr && s->value.kind() == ScalarValue::Int ? s->value.as_int() : -1;
        if (n == 1) return Fill::kSkip;
        if (n == 0) value = str("new");
        return Fill::kWrite;
    }
    YamlNode value_;
    YamlItem item_;
};

}  // namespace

TEST(EmitterFiller, SlotsComeFromTheFiller) {
    const std::tuple<std::string, bool, std::string> rows[] = {
        {"a: 0\nb: 1\nc: 2\n", false, "a: new\nc: 2\n"},
        {"- 0\n- 1\n- 0  # c\n", false, "- new\n- new  # c\n"},
        // The filler's last slot ends the text: a block scalar that ended
        // the text read without a line break still does.
        {"a: 2\nb: |\n  x", false, "a: 2\nb: |\n  x"},
        {"- |\n  x", false, "- |\n  x"},
        // A filler that takes plain slots as they are is asked about the
        // others only; the last slot still ends the text.
        {"a: 0\nb: &x 0\nc: 1\n", true, "a: 0\nb: new\nc: 1\n"},
        {"- 0\n- &x 1\n- &y 0  # c\n", true, "- 0\n- new  # c\n"},
        {"a: &x 0\nb: |\n  x", true, "a: new\nb: |\n  x"},
    };
    for (const auto& [text, plain_as_is, expected] : rows) {
        Result<ReadDocuments> read = read_text(text);
        ASSERT_TRUE(read.ok()) << text;
        CopyingFiller filler(plain_as_is);
        std::string out;
        emit_doc_into(out, read.value().roots[0], read.value().metas[0], 2, false, false, true,
                      &filler);
        EXPECT_EQ(out, expected) << text;
    }
}
