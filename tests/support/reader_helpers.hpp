// Small helpers for the reader tests: run the scanner or the parser over a
// string and collect what comes out.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "../support/event_text.hpp"
#include "core/parser.hpp"
#include "core/scanner.hpp"

namespace tesvorn::test_support {

struct Scanned {
    std::vector<Token> tokens;
    bool ok = true;
    ScanError error;
};

/// Text read through the lookahead window, as sources read on demand are
/// (a TextSource is read in place when it can be).
struct WindowedText {
    TextSource text;
    std::optional<char32_t> next() noexcept { return text.next(); }
};

template <class Source = TextSource>
inline Scanned scan(const std::string& text) {
    Scanned out;
    Scanner<Source> scanner{Source{TextSource(text)}};
    Token t;
    while (scanner.next(t)) out.tokens.push_back(t);
    if (scanner.stored_error()) {
        out.ok = false;
        out.error = *scanner.stored_error();
    }
    return out;
}

struct Parsed {
    std::vector<std::pair<Event, Marker>> events;
    std::vector<PendingComment> comments;
    bool ok = true;
    ScanError error;
    Opener opened;  // what the error found open

    /// The events in the test-suite notation, one per line.
    [[nodiscard]] std::string text() const {
        std::string s;
        for (const auto& [ev, mark] : events) s += event_line(ev) + "\n";
        return s;
    }
};

inline Parsed parse(const std::string& text) {
    Parsed out;
    TextParser parser{TextSource(text)};
    for (;;) {
        auto r = parser.parse();
        for (PendingComment& c : parser.take_pending_comments()) out.comments.push_back(c);
        if (!r) {
            out.ok = false;
            out.error = r.error();
            out.opened = parser.open_at_error();
            return out;
        }
        out.events.push_back(r.value());
        if (r.value().first.type == Event::Type::StreamEnd) return out;
    }
}

/// The display text of the error, or "ok".
inline std::string outcome(const Parsed& p) {
    return p.ok ? "ok" : p.error.display();
}
inline std::string outcome(const Scanned& s) {
    return s.ok ? "ok" : s.error.display();
}

}  // namespace tesvorn::test_support
