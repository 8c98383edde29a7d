// Reads YAML on stdin and prints its events in the notation of the YAML test
// suite (+STR, +DOC ---, =VAL :a, ...), or the error text (exit code 1).
//
//   yaml_events < file.yaml
//   yaml_events --marks < file.yaml     also prints each event's mark
//   yaml_events --comments < file.yaml  also prints the comments set aside
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <string>

#include "../support/event_text.hpp"
#include "core/parser.hpp"

namespace {

using namespace tesvorn;
using test_support::append_escaped;
using test_support::event_line;

std::string mark_text(const Marker& m) {
    return " @" + std::to_string(m.index) + ":" + std::to_string(m.line) + ":" +
           std::to_string(m.col);
}

}  // namespace

int main(int argc, char** argv) {
    bool marks = false;
    bool comments = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--marks") == 0) {
            marks = true;
        } else if (std::strcmp(argv[i], "--comments") == 0) {
            comments = true;
        } else {
            std::fprintf(stderr, "usage: yaml_events [--marks] [--comments] < file.yaml\n");
            return 2;
        }
    }
    std::string input((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    TextParser parser{TextSource(input)};
    std::string out;
    for (;;) {
        auto result = parser.parse();
        if (comments) {
            for (const PendingComment& c : parser.take_pending_comments()) {
                out += "#";
                if (marks) out += mark_text(c.mark);
                out += " ";
                append_escaped(out, c.text);
                out += "\n";
            }
        }
        if (!result) {
            std::fputs(out.c_str(), stdout);
            std::fprintf(stdout, "ERROR: %s\n", result.error().display().c_str());
            return 1;
        }
        const auto& [event, mark] = result.value();
        out += event_line(event);
        if (marks) out += mark_text(mark);
        out += "\n";
        if (event.type == Event::Type::StreamEnd) break;
    }
    std::fputs(out.c_str(), stdout);
    return 0;
}
