// Which pieces of an entry read from text the writer may copy as read, after
// an edit of the tree: a row per source, edit and expected answers.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/read.hpp"
#include "core/reuse.hpp"

using namespace tesvorn;

namespace {

enum Answer : std::uint8_t { kNo, kYes };

struct Row {
    const char* source;
    // The edit of entry "a" of the root mapping; it may name another key to
    // ask about (an entry renamed).
    std::function<std::string(YamlEntry&)> edit;
    // Whether the entry has a record at all: the writer gives back plain
    // entries by itself, and the reader records none for them.
    Answer recorded;
    Answer key, value, comment, lead;
};

std::string nothing(YamlEntry&) {
    return "a";
}

std::function<std::string(YamlEntry&)> set_value(std::string text, ScalarStyle style) {
    return [text, style](YamlEntry& e) {
        YamlScalar& s = e.value.emplace_scalar();
        s.value = ScalarValue::of_str(text);
        s.style = style;
        return std::string("a");
    };
}

}  // namespace

TEST(Reuse, PiecesOfAnEditedEntry) {
    constexpr ScalarStyle P = ScalarStyle::Plain, S = ScalarStyle::Single, D = ScalarStyle::Double;
    const auto comment = [](const char* before, const char* trailing) {
        return [=](YamlEntry& e) {
            if (before) e.comments.mut().before = before;
            if (trailing) e.comments.mut().trailing = trailing;
            return std::string("a");
        };
    };
    const std::vector<Row> rows = {
        {"a: 1\n", nothing, kNo, kNo, kNo, kNo, kNo},
        {"a: 'x'  # note\n", nothing, kYes, kYes, kYes, kYes, kYes},
        {"a: 'x'  # note\n", set_value("y", S), kYes, kYes, kNo, kYes, kYes},
        // The same text in another style is another value.
        {"a: 'x'  # note\n", set_value("x", D), kYes, kYes, kNo, kYes, kYes},
        {"a: 'x'  # note\n", comment(nullptr, "other"), kYes, kYes, kYes, kNo, kYes},
        {"a: 'x'  # note\n", comment("new", nullptr), kYes, kYes, kYes, kYes, kNo},
        {"# about a\na: 'x'\n", nothing, kYes, kYes, kYes, kYes, kYes},
        {"# about a\na: 'x'\n", comment("about b", nullptr), kYes, kYes, kYes, kYes, kNo},
        // Plain words spaced as the writer would not space them.
        {"a:   plain words\n", nothing, kYes, kYes, kYes, kYes, kYes},
        {"a:   plain words\n", set_value("plain word", P), kYes, kYes, kNo, kYes, kYes},
        {"a:   plain words\n", [](YamlEntry&) { return std::string("b"); }, kYes, kNo, kYes, kYes,
         kYes},
        {"a:   plain words\n",
         [](YamlEntry& e) {
             e.key_style = ScalarStyle::Double;
             return std::string("a");
         },
         kYes, kNo, kYes, kYes, kYes},
        // A number read in its canonical form is rendered, changed or not.
        {"a:   1\n", nothing, kYes, kYes, kNo, kYes, kYes},
        // A comment the writer would space otherwise.
        {"a: x # note\n", nothing, kYes, kYes, kYes, kYes, kYes},
        {"a: x # note\n", comment(nullptr, "note2"), kYes, kYes, kYes, kNo, kYes},
    };
    for (const Row& row : rows) {
        auto docs = read_text(row.source);
        ASSERT_TRUE(docs.ok()) << row.source;
        YamlMapping* m = docs.value().roots.front().mapping();
        ASSERT_NE(m, nullptr) << row.source;
        YamlEntry* e = m->entries.find("a");
        ASSERT_NE(e, nullptr) << row.source;
        const std::string key = row.edit(*e);
        const SlotLayout& l = e->layout.ref();
        const CollectionLayout* c = m->layout.has() ? &m->layout : nullptr;
        const bool rec = reuse::recorded(c, l);
        EXPECT_EQ(rec, row.recorded == kYes) << row.source;
        if (!rec) continue;
        const SourceRef& src = m->layout.source;
        EXPECT_EQ(reuse::key_matches(src, l, key, *e), row.key == kYes) << row.source;
        EXPECT_EQ(reuse::value_matches(src, l, e->value), row.value == kYes) << row.source;
        EXPECT_EQ(reuse::comment_matches(src, l, e->comments->trailing), row.comment == kYes)
            << row.source;
        EXPECT_EQ(reuse::lead_matches(src, l, e->comments->before), row.lead == kYes) << row.source;
    }
}

// The column a slot was read at, as the reader counts it.
TEST(Reuse, ColumnsCountCharactersNotBytes) {
    struct {
        const char* text;
        std::uint32_t at;
        std::size_t column;
    } rows[] = {
        {"a: 1\n", 0, 0},
        {"x:\n  a: 1\n", 5, 2},
        {"- \xC3\xBC: 1\n", 4, 3},  // after a two-byte character
        {"\xEF\xBB\xBF"
         "a: 1\n",
         3, 0},  // a byte order mark takes no column
        {"x:\r\n  a: 1\r\n", 6, 2},
    };
    for (const auto& row : rows) {
        auto src = make_source(row.text);
        EXPECT_EQ(reuse::column_of(*src, row.at), row.column) << row.text;
    }
}
