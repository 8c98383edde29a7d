#include "core/read.hpp"

#include "core/char_traits.hpp"
#include "core/parser.hpp"

namespace tesvorn {

namespace {

bool is_valid_utf8(std::string_view text) noexcept {
    TextSource src(text);
    std::size_t bytes = 0;
    while (const auto c = src.next()) {
        if (*c == 0xFFFD) return false;  // (a real U+FFFD costs one copy: harmless)
        bytes += chars::utf8_length(*c);
    }
    return bytes == text.size();
}

}  // namespace

std::shared_ptr<SourceText> make_source(std::string_view text, bool valid_utf8) {
    auto source = std::make_shared<SourceText>();
    if (valid_utf8 || is_valid_utf8(text)) {
        source->append(text);
        return source;
    }
    std::string clean;
    clean.reserve(text.size() + 16);
    TextSource src(text);
    while (const auto c = src.next()) chars::append_utf8(clean, *c);
    source->append(clean);
    return source;
}

std::shared_ptr<SourceText> borrow_source(std::string_view text,
                                          std::shared_ptr<const void> keeper) {
    auto source = std::make_shared<SourceText>();
    source->text = text;
    source->keeper = std::move(keeper);
    return source;
}

Result<ReadDocuments> read_documents(std::shared_ptr<const SourceText> source,
                                     CoercionTags coercion) {
    Parser<TextSource> parser{TextSource(source->text)};
    parser.keep_comments(false);
    Builder builder(source);
    Event event;
    Marker mark;
    for (;;) {
        TESVORN_TRY(parser.parse_into(event, mark));
        const bool end = event.type == Event::Type::StreamEnd;
        TESVORN_TRY(builder.process_event(std::move(event), mark, coercion));
        if (end) break;
    }
    ReadDocuments out;
    out.roots = std::move(builder.roots());
    out.metas = std::move(builder.metadata());
    out.document_ends = builder.document_end_count();
    out.duplicate_keys = builder.duplicate_keys();
    out.lost_duplicate_keys = builder.lost_duplicate_keys();
    out.text_steps = builder.text_steps();
    return out;
}

Result<ReadDocuments> read_text(std::string_view text, CoercionTags coercion) {
    return read_documents(make_source(text), coercion);
}

}  // namespace tesvorn
