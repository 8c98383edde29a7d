// The one-line text of scalars, keys, tags and anchor names, a row per
// place the writer could get wrong.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "core/render.hpp"

using namespace tesvorn;
using namespace tesvorn::rendering;

namespace {

constexpr ScalarStyle P = ScalarStyle::Plain, S = ScalarStyle::Single, D = ScalarStyle::Double,
                      L = ScalarStyle::Literal;
// Where the text goes: a value or a key, in block context or in a flow
// collection.
enum Place { kValue, kFlowValue, kKey, kFlowKey };

struct Row {
    ScalarValue value;
    ScalarStyle style;
    Place place;
    std::string want;
};

ScalarValue str(std::string_view s) {
    return ScalarValue::of_str(s);
}

constexpr double kInf = std::numeric_limits<double>::infinity();

}  // namespace

TEST(Render, ScalarsAndKeys) {
    const std::vector<Row> rows = {
        // Strings that would read back typed are quoted as values, not as keys.
        {str("yes"), P, kValue, "'yes'"},
        {str("yes"), P, kKey, "yes"},
        {str("~"), P, kFlowValue, "'~'"},
        {str("0o17"), P, kValue, "'0o17'"},
        {str("+1.5e3"), P, kValue, "'+1.5e3'"},
        {str("123456789012345678901234567890"), P, kValue, "'123456789012345678901234567890'"},
        {str("12"), D, kValue, "\"12\""},
        {str("1_000"), P, kValue, "1_000"},
        // Blanks at the ends, ": " and " #", indicators at the start.
        {str(" a"), P, kValue, "' a'"},
        {str("a "), P, kKey, "'a '"},
        {str("a: b"), P, kKey, "'a: b'"},
        {str("a:"), P, kValue, "'a:'"},
        {str("a #b"), P, kValue, "'a #b'"},
        {str("a:b#c"), P, kValue, "a:b#c"},
        {str("&a"), P, kKey, "'&a'"},
        {str("%a"), P, kValue, "'%a'"},
        {str("--- a"), P, kKey, "'--- a'"},
        {str("-a"), P, kValue, "'-a'"},
        {str("-a"), P, kKey, "-a"},
        {str("<<"), P, kKey, "<<"},
        {str("<<"), P, kValue, "'<<'"},
        // Flow context: , [ ] { } and a leading ':' end a plain scalar there.
        {str("a,b"), P, kValue, "a,b"},
        {str("a,b"), P, kFlowValue, "'a,b'"},
        {str("a]"), P, kFlowKey, "'a]'"},
        {str(":a"), P, kValue, ":a"},
        {str(":a"), P, kFlowValue, "':a'"},
        {str("a -"), P, kFlowValue, "'a -'"},
        {str(""), P, kValue, "''"},
        {str(""), P, kFlowKey, "''"},
        // Quotes: apostrophes doubled; what single quotes cannot carry escaped.
        {str("it's"), S, kValue, "'it''s'"},
        {str("'"), P, kKey, "''''"},
        {str("a\tb"), P, kValue, "'a\tb'"},
        {str("a\tb"), D, kValue, "\"a\\tb\""},
        {str("a\nb"), S, kKey, "\"a\\nb\""},
        {str("a\rb"), P, kValue, "\"a\\rb\""},
        {str(std::string_view("\0\x1b\x7f", 3)), P, kValue, "\"\\0\\x1B\\x7F\""},
        {str("\"\\"), D, kFlowKey, "\"\\\"\\\\\""},
        {str("x"), L, kValue, "\"x\""},
        {str("x"), L, kKey, "\"x\""},
        // Unicode YAML does not allow raw, or that readers take for a break.
        {str("\xC2\x85|\xC2\x9F|\xC2\xA0"), P, kValue, "\"\\N|\\x9F|\xC2\xA0\""},
        {str("\xE2\x80\xA8\xE2\x80\xA9"), S, kValue, "\"\\L\\P\""},
        {str("\xEF\xBB\xBFx\xEF\xBF\xBE"), P, kKey, "\"\\uFEFFx\\uFFFE\""},
        {str("caf\xC3\xA9 \xF0\x9F\x98\x80"), P, kValue, "caf\xC3\xA9 \xF0\x9F\x98\x80"},
        // Other types: their canonical words in any style.
        {ScalarValue::of_float(std::numeric_limits<double>::quiet_NaN()), D, kValue, ".nan"},
        {ScalarValue::of_float(kInf), S, kFlowValue, ".inf"},
        {ScalarValue::of_float(-kInf), P, kValue, "-.inf"},
        {ScalarValue::of_float(1e+20), P, kValue, "100000000000000000000.0"},
        {ScalarValue::of_float(0.1), P, kValue, "0.1"},
        {ScalarValue::of_float(-0.0), P, kValue, "-0.0"},
        {ScalarValue::of_int(std::numeric_limits<std::int64_t>::min()), S, kValue,
         "-9223372036854775808"},
        {ScalarValue::of_big_int("-98765432109876543210"), D, kValue, "-98765432109876543210"},
        {ScalarValue::of_bool(true), S, kValue, "true"},
        {ScalarValue::null(), D, kFlowValue, "null"},
    };
    for (const Row& r : rows) {
        std::string out;
        if (r.place == kKey || r.place == kFlowKey) {
            append_key(out, r.value.as_str(), r.style, r.place == kFlowKey);
        } else {
            append_value(out, r.value, r.style, r.place == kFlowValue);
        }
        EXPECT_EQ(out, r.want) << "place " << r.place << ", style " << static_cast<int>(r.style);
    }
}

TEST(Render, TagsAndAnchors) {
    using Directives = std::vector<std::pair<std::string, std::string>>;
    struct TagRow {
        std::string tag;
        Directives directives;
        std::string want;
    };
    const std::vector<TagRow> rows = {
        {"tag:yaml.org,2002:str", {}, "!!str"},
        {"tag:yaml.org,2002:a,b", {}, "!!a%2Cb"},
        {"tag:yaml.org,2002:str", {{"!!", "tag:x,1:"}}, "!<tag:yaml.org,2002:str>"},
        {"!!", {}, "!<!!>"},
        {"!a[b]", {}, "!a%5Bb%5D"},
        {"tag:x,1:[a] b", {}, "!<tag:x,1:[a]%20b>"},
        {"tag:x,1:app/y", {{"!e!", "tag:x,1:app/"}}, "!e!y"},
        {"tag:x,1:app/y", {{"!e", "tag:x,1:app/"}}, "!<tag:x,1:app/y>"},
        {"tag:x,1:", {{"!e!", "tag:x,1:"}}, "!<tag:x,1:>"},
        {"!local", {{"!", "tag:x,1:"}}, "!<!local>"},
    };
    for (const TagRow& r : rows) {
        DocMetadata meta;
        if (!r.directives.empty()) meta.tag_directives.mut() = r.directives;
        std::string out;
        append_tag(out, r.tag, meta);
        EXPECT_EQ(out, r.want) << r.tag;
    }
    const std::pair<std::string, std::string> prefixes[] = {
        {"tag:x,1:", "tag:x,1:"}, {"!my-", "!my-"}, {",x[]", "%2Cx[]"}, {"a b%\n", "a%20b%25%0A"}};
    for (const auto& [prefix, want] : prefixes) EXPECT_EQ(prefix_text(prefix), want) << prefix;
    // Names a reader takes back are written as they are (even with '%');
    // in the others, each offending byte and every '%' is escaped.
    const std::pair<std::string, std::string> anchors[] = {{"a:1%", "a:1%"},
                                                           {"caf\xC3\xA9", "caf\xC3\xA9"},
                                                           {"", "%"},
                                                           {"a b%", "a%20b%25"},
                                                           {"x{y}", "x%7By%7D"},
                                                           {"a\xC2\x85", "a%C2%85"},
                                                           {"\xEF\xBB\xBF", "%EF%BB%BF"}};
    for (const auto& [name, want] : anchors) {
        std::string out;
        append_anchor_name(out, name);
        EXPECT_EQ(out, want) << name;
    }
}
