// Renders strings through the writer for the rendering property test
// (tests/python/test_rendering.py), which reads each document back with an
// independent YAML reader.
//
// Input (stdin): records "<byte length>\n<bytes>", one per string.
// Output (stdout): for every string, in order, one record per place and
// style: "<place> <style> <plain> <typed> <byte length>\n<document>", where
//   place  doc (document root), value ({k: s}), item ([s] in block style),
//          key ({s: v}) or flow ([s] in flow style);
//   style  0..4 (plain, single, double, literal, folded), the scalar's style
//          or, for key, the key style;
//   plain  1 when the string was written as a plain scalar;
//   typed  0 when a plain value would be typed as something other than a
//          string by the reader's typing rules (must never happen).
#include <cstdio>
#include <iostream>
#include <string>
#include <string_view>

#include "core/emitter.hpp"
#include "core/types.hpp"

using namespace tesvorn;

namespace {

YamlNode str_scalar(const std::string& s, ScalarStyle style) {
    YamlScalar sc;
    sc.value = ScalarValue::of_str(s);
    sc.style = style;
    return YamlNode(std::move(sc));
}

YamlNode mapping(std::string key, YamlNode value, ScalarStyle key_style = ScalarStyle::Plain) {
    YamlMapping m;
    YamlEntry e;
    e.value = std::move(value);
    e.key_style = key_style;
    m.entries.insert(std::move(key), std::move(e));
    return YamlNode(std::move(m));
}

YamlNode sequence(YamlNode item, ContainerStyle style) {
    YamlSequence s;
    s.style = style;
    s.items.push_back(YamlItem{std::move(item), 0, {}, {}, {}});
    return YamlNode(std::move(s));
}

std::string render(const YamlNode& root) {
    return emit_docs(std::span<const YamlNode>(&root, 1), {}, 2);
}

void put_record(std::string_view place, int style, const std::string& s, std::size_t prefix,
                const std::string& doc, bool is_key) {
    if (is_key && doc.starts_with("? ")) prefix = 2;  // an explicit key
    const char first = doc.size() > prefix ? doc[prefix] : '\n';
    const bool plain = !s.empty() && first != '\'' && first != '"' && first != '|' && first != '>';
    const bool typed = !plain || is_key || ScalarValue::from_str(s).is_str();
    std::cout << place << ' ' << style << ' ' << (plain ? 1 : 0) << ' ' << (typed ? 1 : 0) << ' '
              << doc.size() << '\n'
              << doc;
}

}  // namespace

int main() {
    std::ios::sync_with_stdio(false);
    std::string line;
    while (std::getline(std::cin, line)) {
        const std::size_t n = std::stoul(line);
        std::string s(n, '\0');
        if (n != 0 && !std::cin.read(s.data(), static_cast<std::streamsize>(n))) return 1;
        for (int st = 0; st <= 4; ++st) {
            const auto style = static_cast<ScalarStyle>(st);
            put_record("doc", st, s, 0, render(str_scalar(s, style)), false);
            put_record("value", st, s, 3, render(mapping("k", str_scalar(s, style))), false);
            put_record("item", st, s, 2,
                       render(sequence(str_scalar(s, style), ContainerStyle::Block)), false);
            put_record("key", st, s, 0,
                       render(mapping(s, str_scalar("v", ScalarStyle::Plain), style)), true);
            put_record("flow", st, s, 1,
                       render(sequence(str_scalar(s, style), ContainerStyle::Flow)), false);
        }
    }
    std::cout.flush();
    return std::cout ? 0 : 1;
}
