#include "core/types.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

using namespace tesvorn;

namespace {

YamlScalar scalar(ScalarValue v, ScalarStyle style = ScalarStyle::Plain) {
    YamlScalar s;
    s.value = std::move(v);
    s.style = style;
    return s;
}

YamlEntry entry(YamlNode value) {
    YamlEntry e;
    e.value = std::move(value);
    return e;
}

std::vector<std::string> keys(const YamlMapping& m) {
    std::vector<std::string> out;
    for (const auto& slot : m.entries) out.push_back(slot.key.str());
    return out;
}

}  // namespace

TEST(ScalarTyping, NullsAndBools) {
    EXPECT_EQ(ScalarValue::from_str("").kind(), ScalarValue::Null);
    EXPECT_EQ(ScalarValue::from_str("~").kind(), ScalarValue::Null);
    EXPECT_EQ(ScalarValue::from_str("NULL").kind(), ScalarValue::Null);
    EXPECT_EQ(ScalarValue::from_str("nULL"), ScalarValue::of_str("nULL"));
    EXPECT_EQ(ScalarValue::from_str("yes"), ScalarValue::of_bool(true));
    EXPECT_EQ(ScalarValue::from_str("OFF"), ScalarValue::of_bool(false));
    for (const char* s : {"y", "n", "tRUE", "yES"})
        EXPECT_TRUE(ScalarValue::from_str(s).is_str()) << s;
}

TEST(ScalarTyping, Integers) {
    EXPECT_EQ(ScalarValue::from_str("0x1F"), ScalarValue::of_int(31));
    EXPECT_EQ(ScalarValue::from_str("0X1f"), ScalarValue::of_int(31));
    EXPECT_EQ(ScalarValue::from_str("0o17"), ScalarValue::of_int(15));
    EXPECT_EQ(ScalarValue::from_str("0x-1"), ScalarValue::of_int(-1));
    EXPECT_EQ(ScalarValue::from_str("0x-1F"), ScalarValue::of_int(-31));
    for (const char* s : {"0x", "0o", "0xG", "-0x1F", "0o8", "1_000", "0x1_0", " 1", "1 "})
        EXPECT_TRUE(ScalarValue::from_str(s).is_str()) << s;
    EXPECT_EQ(ScalarValue::from_str("+5"), ScalarValue::of_int(5));
    EXPECT_EQ(ScalarValue::from_str("-0"), ScalarValue::of_int(0));
    EXPECT_EQ(ScalarValue::from_str("007"), ScalarValue::of_int(7));
    EXPECT_EQ(ScalarValue::from_str("9223372036854775807"),
              ScalarValue::of_int(std::numeric_limits<std::int64_t>::max()));
    EXPECT_EQ(ScalarValue::from_str("-9223372036854775808"),
              ScalarValue::of_int(std::numeric_limits<std::int64_t>::min()));
    EXPECT_EQ(ScalarValue::from_str("0x7fffffffffffffff"),
              ScalarValue::of_int(std::numeric_limits<std::int64_t>::max()));
    // Decimal integers are unbounded; beyond 64 bits they keep their digits
    // (without '+' or leading zeros, so the source text is kept for writing).
    const std::pair<const char*, const char*> big[] = {
        {"9223372036854775808", "9223372036854775808"},
        {"-9223372036854775809", "-9223372036854775809"},
        {"+00123456789012345678901234567890", "123456789012345678901234567890"},
    };
    for (const auto& [text, digits] : big) {
        EXPECT_EQ(ScalarValue::from_str(text), ScalarValue::of_big_int(digits)) << text;
        EXPECT_EQ(ScalarValue::from_str(text).to_key_string(), digits);
        EXPECT_EQ(keeps_original(ScalarValue::from_str(text), text, false),
                  std::string_view(text) != digits);
    }
    // Hexadecimal and octal stay 64-bit.
    EXPECT_TRUE(ScalarValue::from_str("0x8000000000000000").is_str());
}

TEST(ScalarTyping, Floats) {
    EXPECT_EQ(ScalarValue::from_str("1.5"), ScalarValue::of_float(1.5));
    EXPECT_EQ(ScalarValue::from_str("1."), ScalarValue::of_float(1.0));
    EXPECT_EQ(ScalarValue::from_str(".5"), ScalarValue::of_float(0.5));
    EXPECT_EQ(ScalarValue::from_str("1e3"), ScalarValue::of_float(1000.0));
    EXPECT_EQ(ScalarValue::from_str("1E3"), ScalarValue::of_float(1000.0));
    EXPECT_EQ(ScalarValue::from_str("-2.5e-3"), ScalarValue::of_float(-2.5e-3));
    EXPECT_EQ(ScalarValue::from_str("+1.5"), ScalarValue::of_float(1.5));
    EXPECT_EQ(ScalarValue::from_str("1e999"),
              ScalarValue::of_float(std::numeric_limits<double>::infinity()));
    EXPECT_EQ(ScalarValue::from_str("-1e-999"), ScalarValue::of_float(-0.0));
    EXPECT_EQ(ScalarValue::from_str(".inf").as_float(), std::numeric_limits<double>::infinity());
    EXPECT_EQ(ScalarValue::from_str("-.Inf").as_float(), -std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(ScalarValue::from_str(".NaN").as_float()));
    // Not floats: no point or exponent, hex floats, C99 forms, stray text.
    for (const char* s : {"1e", "e3", ".", "+.inf", "inf", "nan", "Infinity", "0x1.8p1", "1.5f",
                          "1,5", "nan(e)", "1.e", "--1.5", "1.5.2", "1e+"})
        EXPECT_TRUE(ScalarValue::from_str(s).is_str()) << s;
}

TEST(ScalarTyping, KeyStrings) {
    EXPECT_EQ(ScalarValue::of_float(2.0).to_key_string(), "2");
    EXPECT_EQ(ScalarValue::of_float(1.5).to_key_string(), "1.5");
    EXPECT_EQ(ScalarValue::of_float(1e20).to_key_string(), "100000000000000000000");
    EXPECT_EQ(ScalarValue::of_float(-std::numeric_limits<double>::infinity()).to_key_string(),
              "-inf");
    EXPECT_EQ(ScalarValue::of_float(std::numeric_limits<double>::quiet_NaN()).to_key_string(),
              "NaN");
    EXPECT_EQ(ScalarValue::null().to_key_string(), "");
    EXPECT_EQ(ScalarValue::of_int(-12).to_key_string(), "-12");
    EXPECT_EQ(ScalarValue::of_bool(false).to_key_string(), "false");
}

TEST(NumberText, ShortestFixed) {
    auto fmt = [](double d) {
        std::string s;
        append_shortest_fixed(s, d);
        return s;
    };
    EXPECT_EQ(fmt(0.1), "0.1");
    EXPECT_EQ(fmt(1e-7), "0.0000001");
    EXPECT_EQ(fmt(-0.0), "-0");
    EXPECT_EQ(fmt(1.7976931348623157e308).size(), 309u);
    EXPECT_EQ(fmt(5e-324).size(), 2u + 324u - 1u + 1u);
    for (double d : {0.1, 1.0 / 3, 123456.789, 5e-324, 1.7976931348623157e308}) {
        double back = 0;
        ASSERT_TRUE(parse_f64(fmt(d), back));
        EXPECT_EQ(back, d);
    }
}

// A loaded tree's memory is mostly these records: a field added to one of
// them grows every document (the bounds are this toolchain's sizes).
TEST(DocumentModel, RecordSizes) {
#if defined(__GLIBCXX__) && __SIZEOF_POINTER__ == 8
    EXPECT_EQ(sizeof(SmallString), 16u);
    EXPECT_LE(sizeof(YamlNode), 40u);
    EXPECT_LE(sizeof(OrderedMap<YamlEntry>::Slot), 88u);
    EXPECT_LE(sizeof(YamlItem), 56u);
    EXPECT_LE(sizeof(YamlMapping), 96u);
    EXPECT_LE(sizeof(YamlSequence), 88u);
    EXPECT_LE(sizeof(DocMetadata), 88u);
    EXPECT_EQ(sizeof(Cow<YamlMapping>), sizeof(void*));
#else
    GTEST_SKIP() << "sizes are held for 64-bit libstdc++ only";
#endif
}

TEST(DocumentModel, CopiesShareCollectionsUntilChanged) {
    Cow<YamlSequence> a;
    a.mut().items.emplace_back();
    Cow<YamlSequence> b = a;
    EXPECT_EQ(&a.get(), &b.get());
    b.mut().items.emplace_back();  // b is made its own
    EXPECT_NE(&a.get(), &b.get());
    EXPECT_EQ(a.get().items.size(), 1u);
    EXPECT_EQ(b.get().items.size(), 2u);
    const YamlSequence* own = &b.get();
    b.mut().items.clear();  // unshared: changed in place
    EXPECT_EQ(&b.get(), own);
    b = a;
    b = b;
    Cow<YamlSequence> c = std::move(b);
    EXPECT_EQ(&c.get(), &a.get());
    EXPECT_TRUE(c == a);
}

TEST(SmallString, HoldsTextInlineAndOnTheHeap) {
    // Either side of the 15 bytes held inline, with bytes that end C strings
    // or look like the heap mark.
    for (const std::string& text :
         {std::string(), std::string("a"), std::string(15, 'x'), std::string(16, 'y'),
          std::string("ab\0cd", 5), std::string(15, '\xFF'), std::string(300, 'z')}) {
        SCOPED_TRACE(text.size());
        SmallString s(text);
        EXPECT_EQ(s.view(), text);
        EXPECT_EQ(s.empty(), text.empty());
        SmallString copy = s;
        SmallString moved = std::move(s);
        EXPECT_TRUE(s.empty());  // a moved-from string is empty
        EXPECT_EQ(copy, moved);
        copy = std::string_view(copy).substr(copy.size() / 2);  // from its own text
        EXPECT_EQ(copy.view(), text.substr(text.size() / 2));
        const SmallString& same = moved;
        moved = same;  // self-assignment keeps the text
        EXPECT_EQ(moved.view(), text);
        s = "again";
        EXPECT_EQ(s, "again");
    }
    EXPECT_LT(SmallString("abc"), SmallString(std::string(20, 'b')));
}

TEST(OrderedMap, InsertReplaceRemoveKeepOrder) {
    YamlMapping m;
    m.entries.insert("a", entry(scalar(ScalarValue::of_int(1))));
    m.entries.insert("b", entry(scalar(ScalarValue::of_int(2))));
    m.entries.insert("a", entry(scalar(ScalarValue::of_int(3))));
    EXPECT_EQ(keys(m), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(m.entries.find("a")->value.scalar()->value, ScalarValue::of_int(3));
    m.entries.insert("c", entry(NullNode{}));
    EXPECT_TRUE(m.entries.remove("a"));
    EXPECT_FALSE(m.entries.remove("a"));
    EXPECT_EQ(keys(m), (std::vector<std::string>{"b", "c"}));
}

TEST(OrderedMap, LargeMapsUseTheIndexConsistently) {
    OrderedMap<int> m;
    constexpr int n = 2000;
    for (int i = 0; i < n; ++i) m.insert("k" + std::to_string(i), i);
    for (int i = 0; i < n; i += 3) m.insert("k" + std::to_string(i), -i);  // replace in place
    for (int i = 1; i < n; i += 2) ASSERT_TRUE(m.remove("k" + std::to_string(i)));
    ASSERT_EQ(m.size(), static_cast<std::size_t>(n / 2));
    std::size_t pos = 0;
    for (int i = 0; i < n; i += 2, ++pos) {
        const std::string key = "k" + std::to_string(i);
        ASSERT_EQ(m.at(pos).key, key);
        ASSERT_EQ(m.index_of(key), static_cast<std::ptrdiff_t>(pos));
        ASSERT_EQ(*m.find(key), i % 3 == 0 ? -i : i);
    }
    EXPECT_EQ(m.find("k1"), nullptr);
    OrderedMap<int> copy = m;
    EXPECT_EQ(copy, m);
    EXPECT_EQ(copy.index_of("k1998"), m.index_of("k1998"));
    // Keys that differ only after a NUL are distinct.
    m.insert(std::string("\0"
                         "1",
                         2),
             1);
    m.insert(std::string("\0"
                         "12",
                         3),
             2);
    EXPECT_EQ(*m.find(std::string_view("\0"
                                       "1",
                                       2)),
              1);
}

// Positional edits on maps short enough to be searched linearly and long
// enough to be indexed: the order is as a list would have it, and every key
// is found where it stands.
TEST(OrderedMap, PositionalEditsKeepOrderAndIndex) {
    for (const int n : {3, 40}) {  // searched linearly, and indexed
        OrderedMap<int> m;
        std::vector<std::string> order;
        for (int i = 0; i < n; ++i) m.insert(order.emplace_back("k" + std::to_string(i)), i);
        const auto mirror = [&](std::string k, std::size_t pos) {
            std::erase(order, k);
            order.insert(order.begin() + static_cast<std::ptrdiff_t>(pos), k);
        };
        mirror("new", m.insert_at(1, "new", -1));
        mirror("new", m.insert_at(99, "new", -2));  // present: replaced, moved to the end
        mirror("last", m.insert_at(99, "last", 7));
        const auto end = static_cast<std::size_t>(n);
        for (const auto& [from, to] : {std::pair<std::size_t, std::size_t>{0, 2}, {end, 0}}) {
            const std::string moved = order[from];
            m.move(from, to);
            mirror(moved, to);
        }
        const std::string gone = order[1];
        m.rename_at(1, "renamed");
        order[1] = "renamed";
        ASSERT_EQ(m.size(), order.size());
        for (std::size_t i = 0; i < order.size(); ++i)
            ASSERT_EQ(m.index_of(order[i]), static_cast<std::ptrdiff_t>(i)) << n << order[i];
        EXPECT_EQ(*m.find("new"), -2);
        EXPECT_FALSE(m.contains(gone));
    }
}

TEST(DocumentModel, DeepCopyIncludesAliasTargets) {
    YamlMapping inner;
    inner.entries.insert("x", entry(scalar(ScalarValue::of_int(1))));
    YamlMapping m;
    m.entries.insert("a", entry(AliasNode{"anc", Box<YamlNode>(YamlNode(inner))}));
    YamlEntry key_entry = entry(NullNode{});
    key_entry.key_props.mut().node = Box<YamlNode>(YamlNode(inner));
    m.entries.insert(complex_key_string(YamlNode(inner), 1), key_entry);

    YamlMapping copy = m;
    ASSERT_EQ(copy, m);
    copy.entries.find("a")->value.alias()->target->mapping()->entries.insert(
        "y", entry(scalar(ScalarValue::of_int(2))));
    (**copy.entries.at(1).value.key_props.mut().node).mapping()->entries.remove("x");
    EXPECT_EQ(m.entries.find("a")->value.alias()->target->mapping()->entries.size(), 1u);
    EXPECT_EQ((**m.entries.at(1).value.key_props->node).mapping()->entries.size(), 1u);
    // A complex key's synthetic key is its canonical text, whatever its style.
    YamlSequence flow;
    flow.style = ContainerStyle::Flow;
    flow.items.emplace_back().node = scalar(ScalarValue::of_str("a\"b"));
    flow.items.emplace_back().node = scalar(ScalarValue::of_int(2));
    EXPECT_EQ(complex_key_string(YamlNode(flow), 0), std::string("\0[\"a\\\"b\", 2]", 12));
    EXPECT_EQ(complex_key_string(YamlNode(inner), 1), std::string("\0{\"x\": 1}", 9));
    // One too long to be its own name (aliases nest) is named by its place.
    for (int i = 0; i < 3000; ++i) flow.items.emplace_back().node = scalar(ScalarValue::of_int(i));
    EXPECT_EQ(complex_key_string(YamlNode(flow), 7), std::string("\0#7", 3));
}

// Comments are held apart: absent ones read empty and cost no record,
// copies do not share them, and clearing the last one frees the record.
TEST(DocumentModel, CommentsRecord) {
    YamlItem item;
    item.comments.set(&Comments::trailing, std::nullopt);
    EXPECT_FALSE(item.comments.has());
    EXPECT_FALSE(item.comments->before);
    item.comments.set(&Comments::before, "b");
    item.comments.set(&Comments::trailing, "t");
    YamlItem copy = item;
    copy.comments.set(&Comments::before, std::nullopt);
    EXPECT_EQ(item.comments->before, "b");
    EXPECT_NE(copy, item);
    copy.comments.set(&Comments::trailing, std::nullopt);
    EXPECT_FALSE(copy.comments.has());
    YamlItem emptied = item;
    emptied.comments.mut() = {};
    EXPECT_TRUE(emptied.comments.has());
    EXPECT_EQ(emptied, YamlItem{});  // an emptied record equals an absent one
    EXPECT_EQ(copy, YamlItem{});
}

TEST(DocumentModel, FormatWith) {
    YamlScalar multi = scalar(ScalarValue::of_str("a\nb"), ScalarStyle::Single);
    multi.format_with(true, true, true);
    EXPECT_EQ(multi.style, ScalarStyle::Literal);

    YamlScalar hex = scalar(ScalarValue::of_int(31), ScalarStyle::Plain);
    hex.props.mut().original = "0x1F";
    YamlScalar keep = hex;
    keep.format_with(false, true, true);
    EXPECT_EQ(keep.props->original, "0x1F");
    hex.format_with(true, false, false);
    EXPECT_FALSE(hex.props->original);
    EXPECT_EQ(keep.props->original, "0x1F");  // copies do not share properties
    EXPECT_EQ(hex, scalar(ScalarValue::of_int(31), ScalarStyle::Plain));  // emptied == absent

    YamlMapping m;
    m.style = ContainerStyle::Flow;
    m.trailing_blank_lines = 2;
    YamlEntry e = entry(scalar(ScalarValue::of_str("ab"), ScalarStyle::Double));
    e.comments.mut() = {"c", "i"};
    e.blank_lines_before = 3;
    e.key_style = ScalarStyle::Single;
    e.key_props.mut().anchor = "k";
    e.key_props.mut().tag = "!t";
    m.entries.insert("k", e);
    YamlSequence seq;
    seq.items.push_back(
        YamlItem{scalar(ScalarValue::of_str("x"), ScalarStyle::Single), 1, {}, {}, {}});
    seq.items.back().comments.mut() = {"c", "i"};
    seq.style = ContainerStyle::Flow;
    seq.anchor = "s";
    m.entries.insert("s", entry(seq));

    // Comments only: styles and blank lines stay.
    YamlMapping only_comments = m;
    only_comments.format_with(false, true, false);
    const YamlEntry& oc = only_comments.entries.at(0).value;
    EXPECT_FALSE(oc.comments.has());
    EXPECT_EQ(oc.blank_lines_before, 3);
    EXPECT_EQ(oc.value.scalar()->style, ScalarStyle::Double);
    EXPECT_EQ(only_comments.style, ContainerStyle::Flow);
    EXPECT_FALSE(only_comments.entries.at(1).value.value.sequence()->items[0].comments.has());

    m.format_with(true, true, true);
    const YamlEntry& fe = m.entries.at(0).value;
    EXPECT_EQ(m.style, ContainerStyle::Block);
    EXPECT_EQ(m.trailing_blank_lines, 0);
    EXPECT_EQ(fe.key_style, ScalarStyle::Plain);
    EXPECT_EQ(fe.blank_lines_before, 0);
    EXPECT_EQ(fe.key_props->anchor, "k");  // never touched
    EXPECT_EQ(fe.key_props->tag, "!t");
    EXPECT_EQ(fe.value.scalar()->style, ScalarStyle::Plain);
    const YamlSequence& fs = *m.entries.at(1).value.value.sequence();
    EXPECT_EQ(fs.style, ContainerStyle::Block);
    EXPECT_EQ(fs.anchor, "s");
    EXPECT_EQ(fs.items[0].blank_lines_before, 0);
    EXPECT_EQ(fs.items[0].node.scalar()->style, ScalarStyle::Plain);
}
