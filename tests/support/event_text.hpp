// Events as lines of the YAML test suite's event notation, shared by the
// event-dump tool and the tests.
#pragma once

#include <string>

#include "core/event.hpp"

namespace tesvorn::test_support {

/// Escapes scalar text as the notation does: \\ \n \t \r \b.
inline void append_escaped(std::string& out, const std::string& text) {
    for (char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\b':
                out += "\\b";
                break;
            default:
                out.push_back(c);
                break;
        }
    }
}

/// One event as one line (without the line feed): +STR, +DOC ---, +MAP {} &a
/// <tag>, =VAL &a <tag> "text, =ALI *a, -SEQ, ...
inline std::string event_line(const Event& ev) {
    auto properties = [&ev](std::string& out) {
        if (ev.anchor) out += " &" + *ev.anchor;
        if (ev.tag) out += " <" + ev.tag->full() + ">";
    };
    std::string out;
    switch (ev.type) {
        case Event::Type::StreamStart:
            return "+STR";
        case Event::Type::StreamEnd:
            return "-STR";
        case Event::Type::DocumentStart:
            return ev.is_explicit ? "+DOC ---" : "+DOC";
        case Event::Type::DocumentEnd:
            return ev.is_explicit ? "-DOC ..." : "-DOC";
        case Event::Type::SequenceEnd:
            return "-SEQ";
        case Event::Type::MappingEnd:
            return "-MAP";
        case Event::Type::Alias:
            return "=ALI *" + ev.value;
        case Event::Type::SequenceStart:
            out = ev.flow ? "+SEQ []" : "+SEQ";
            properties(out);
            return out;
        case Event::Type::MappingStart:
            out = ev.flow ? "+MAP {}" : "+MAP";
            properties(out);
            return out;
        case Event::Type::Scalar: {
            static constexpr char kStyle[] = {':', '\'', '"', '|', '>'};
            out = "=VAL";
            properties(out);
            out += ' ';
            out += kStyle[static_cast<int>(ev.style)];
            append_escaped(out, ev.value);
            return out;
        }
    }
    return out;
}

}  // namespace tesvorn::test_support
