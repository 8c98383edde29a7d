#include "py/streaming.hpp"

#include <cstdio>

#include "py/driver.hpp"
#include "py/errors.hpp"
#include "py/schema.hpp"

namespace tesvorn::py {

namespace {

/// Holds the interpreter for the duration of a Python call; a no-op when
/// the calling thread already holds it.
class Attach {
  public:
    Attach() noexcept : state_(PyGILState_Ensure()) {}
    Attach(const Attach&) = delete;
    Attach& operator=(const Attach&) = delete;
    ~Attach() { PyGILState_Release(state_); }

  private:
    PyGILState_STATE state_;
};

constexpr Py_ssize_t kChunk = 8192;
constexpr const char* kReadType = "stream.read() must return str or bytes";

/// A new RuntimeError instance carrying `message` (or whatever exception
/// creating it raised); never null.
ref runtime_error(const std::string& message) noexcept {
    ref exc;
    ref text = make_str(message);
    if (text) exc = ref::steal(PyObject_CallOneArg(PyExc_RuntimeError, text.get()));
    if (!exc) exc = ref::steal(PyErr_GetRaisedException());
    return exc;
}

/// The exception a failed read() raised. A StopIteration is raised as the
/// cause of a RuntimeError instead: out of a document iterator's next() it
/// would end the caller's loop as if the stream had no more documents.
ref read_error() noexcept {
    ref exc = ref::steal(PyErr_GetRaisedException());
    if (!exc || !PyErr_GivenExceptionMatches(exc.get(), PyExc_StopIteration)) return exc;
    ref wrapped = runtime_error("stream.read() raised StopIteration");
    if (PyErr_GivenExceptionMatches(wrapped.get(), PyExc_RuntimeError))
        PyException_SetCause(wrapped.get(), exc.release());
    return wrapped;
}

}  // namespace

// ---- ErrorSlot ---------------------------------------------------------------

ErrorSlot::~ErrorSlot() {
    if (exc_) {
        Attach attach;
        exc_.reset();
    }
}

void ErrorSlot::record(ref exc) noexcept {
    ref old;  // released outside the lock: releasing may run code
    {
        std::lock_guard lock(mutex_);
        old = std::exchange(exc_, std::move(exc));
    }
}

PyObject* ErrorSlot::take() noexcept {
    std::lock_guard lock(mutex_);
    return exc_.release();
}

int ErrorSlot::traverse(visitproc visit, void* arg) noexcept {
    std::lock_guard lock(mutex_);
    Py_VISIT(exc_.get());
    return 0;
}

// ---- CharsSource -------------------------------------------------------------

CharsSource CharsSource::text(std::string text) {
    CharsSource s;
    s.src_ = std::make_shared<SourceText>();
    s.src_->owned = std::move(text);
    s.src_->text = s.src_->owned;
    s.done_ = true;
    return s;
}

CharsSource CharsSource::stream(PyObject* stream, std::shared_ptr<ErrorSlot> slot) {
    CharsSource s;
    s.src_ = std::make_shared<SourceText>();
    s.stream_ = ref::borrow(stream);
    s.slot_ = std::move(slot);
    s.done_ = false;
    return s;
}

CharsSource::~CharsSource() {
    if (stream_) {
        // The owner may be dropped by a thread that is not attached.
        Attach attach;
        stream_.reset();
    }
}

void CharsSource::fail(ref exc) noexcept {
    if (slot_) slot_->record(std::move(exc));
    done_ = true;
}

void CharsSource::rebase(std::size_t from) {
    const std::size_t base = src_->base;
    if (from <= base) return;
    const std::size_t drop = std::min(from - base, pos_);
    auto next = std::make_shared<SourceText>();
    next->base = base + drop;
    next->lines.set_origin(src_->lines.origin().after(src_->text.substr(0, drop)));
    next->append(src_->text.substr(drop));
    pos_ -= drop;
    src_ = std::move(next);
}

bool CharsSource::refill() noexcept {
    if (done_) return false;
    Attach attach;
    const std::size_t had = src_->text.size();
    try {
        while (!done_ && src_->text.size() == had) read_chunk();
    } catch (...) {  // std::bad_alloc from the buffers
        src_->owned.resize(had);
        src_->text = src_->owned;
        PyErr_NoMemory();
        fail(ref::steal(PyErr_GetRaisedException()));
    }
    return src_->text.size() > had;
}

void CharsSource::read_chunk() {
    ref chunk = ref::steal(PyObject_CallMethod(stream_.get(), "read", "n", kChunk));
    if (!chunk) return fail(read_error());
    PyObject* c = chunk.get();
    if (PyUnicode_Check(c)) {
        // A bytes chunk that ended inside a character is not completed by text.
        if (!tail_.empty()) return end_of_bytes();
        std::string_view text;
        if (!str_utf8(c, text)) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
                return fail(ref::steal(PyErr_GetRaisedException()));
            PyErr_Clear();
            return take_bad_str(c);
        }
        if (text.empty()) {
            done_ = true;
            return;
        }
        src_->append(text);
        return;
    }
    if (c == Py_None) return fail(runtime_error(kReadType));
    if (PyBytes_Check(c)) {
        return take_bytes(PyBytes_AS_STRING(c), static_cast<std::size_t>(PyBytes_GET_SIZE(c)));
    }
    // bytearray, memoryview, any other buffer, or a sequence of 0..255.
    ref bytes = ref::steal(PyBytes_FromObject(c));
    if (!bytes) {
        PyErr_Clear();
        return fail(runtime_error(kReadType));
    }
    take_bytes(PyBytes_AS_STRING(bytes.get()),
               static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

void CharsSource::take_bytes(const char* chunk, std::size_t n) {
    if (n == 0) return end_of_bytes();
    // read() may split a character: the incomplete sequence at the end of
    // the previous chunk goes in front of this one.
    std::string joined;
    const char* data = chunk;
    std::size_t len = n;
    if (!tail_.empty()) {
        joined = std::move(tail_);
        joined.append(chunk, n);
        data = joined.data();
        len = joined.size();
    }
    tail_.clear();
    if (encoding_ == Encoding::Unknown && len < 4) {
        // Too few bytes yet to tell the encoding by.
        tail_.assign(data, len);
        return;
    }
    decode(data, len, false);
}

namespace {

// The encoding of a byte stream by its first bytes, as YAML tells it: a
// byte order mark, else where the zero bytes of an ASCII first character
// stand; UTF-8 otherwise.
template <class E>
E detect_encoding(const unsigned char* b, std::size_t n) {
    const auto at = [&](std::size_t i) { return i < n ? static_cast<int>(b[i]) : -1; };
    if (at(0) == 0 && at(1) == 0 && at(2) == 0xFE && at(3) == 0xFF) return E::Utf32Be;
    if (at(0) == 0xFF && at(1) == 0xFE && at(2) == 0 && at(3) == 0) return E::Utf32Le;
    if (at(0) == 0xFE && at(1) == 0xFF) return E::Utf16Be;
    if (at(0) == 0xFF && at(1) == 0xFE) return E::Utf16Le;
    if (at(0) == 0 && at(1) == 0 && at(2) == 0 && at(3) > 0) return E::Utf32Be;
    if (at(0) > 0 && at(1) == 0 && at(2) == 0 && at(3) == 0) return E::Utf32Le;
    if (at(0) == 0 && at(1) > 0) return E::Utf16Be;
    if (at(0) > 0 && at(1) == 0) return E::Utf16Le;
    return E::Utf8;
}

}  // namespace

void CharsSource::decode(const char* data, std::size_t len, bool last) {
    if (encoding_ == Encoding::Unknown)
        encoding_ = detect_encoding<Encoding>(reinterpret_cast<const unsigned char*>(data), len);
    const auto n = static_cast<Py_ssize_t>(len);
    Py_ssize_t consumed = n;
    Py_ssize_t* const upto = last ? nullptr : &consumed;
    // The byte order is fixed, so that a byte order mark stays in the text
    // (the reader skips it where the stream starts).
    int order = encoding_ == Encoding::Utf16Le || encoding_ == Encoding::Utf32Le ? -1 : 1;
    const auto run = [&](Py_ssize_t size) -> PyObject* {
        switch (encoding_) {
            case Encoding::Utf16Le:
            case Encoding::Utf16Be:
                return PyUnicode_DecodeUTF16Stateful(data, size, "strict", &order, upto);
            case Encoding::Utf32Le:
            case Encoding::Utf32Be:
                return PyUnicode_DecodeUTF32Stateful(data, size, "strict", &order, upto);
            default:
                return PyUnicode_DecodeUTF8Stateful(data, size, "strict", upto);
        }
    };
    ref decoded = ref::steal(run(n));
    if (!decoded) {
        Py_ssize_t valid = 0;
        ref exc = ref::steal(PyErr_GetRaisedException());
        if (!PyErr_GivenExceptionMatches(exc.get(), PyExc_UnicodeDecodeError) ||
            PyUnicodeDecodeError_GetStart(exc.get(), &valid) < 0)
            return fail(std::move(exc));  // (MemoryError)
        // What precedes the bad bytes is read first, so that the reader
        // meets them where they are (an iterator still returns the
        // documents before them).
        consumed = valid;
        undecodable_ = true;
        done_ = true;
        if (valid > 0) decoded = ref::steal(run(valid));
        if (!decoded) {
            PyErr_Clear();
            return;
        }
    }
    if (encoding_ == Encoding::Utf8) {
        // Valid UTF-8 needs no re-encoding: keep the bytes as they are.
        src_->append(std::string_view(data, static_cast<std::size_t>(consumed)));
    } else {
        std::string_view text;
        if (!str_utf8(decoded.get(), text)) {
            // A surrogate pair written as two UTF-32 units: no text.
            PyErr_Clear();
            return take_bad_str(decoded.get());
        }
        src_->append(text);
    }
    if (!undecodable_) tail_.assign(data + consumed, len - static_cast<std::size_t>(consumed));
}

void CharsSource::end_of_bytes() {
    std::string rest = std::move(tail_);
    tail_.clear();
    // A stream of fewer than four bytes, or one that ended inside a
    // character.
    if (!rest.empty()) decode(rest.data(), rest.size(), true);
    done_ = true;
}

void CharsSource::take_bad_str(PyObject* str) {
    const Py_ssize_t len = PyUnicode_GetLength(str);
    Py_ssize_t i = 0;
    for (; i < len; ++i) {
        const Py_UCS4 c = PyUnicode_READ_CHAR(str, i);
        if (c >= 0xD800 && c <= 0xDFFF) break;
    }
    ref head = ref::steal(PyUnicode_Substring(str, 0, i));
    std::string_view text;
    if (head && str_utf8(head.get(), text)) src_->append(text);
    PyErr_Clear();
    undecodable_ = true;
    done_ = true;
}

char32_t CharsSource::decode_multibyte() noexcept {
    // The buffer holds valid UTF-8 (checked by the decoder, or taken from a
    // str); anything else reads as U+FFFD rather than past the end.
    const auto* p = reinterpret_cast<const unsigned char*>(src_->text.data()) + pos_;
    const std::size_t avail = src_->text.size() - pos_;
    const unsigned char c = p[0];
    std::size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
    if (len == 0 || len > avail) {
        ++pos_;
        return 0xFFFD;
    }
    char32_t cp = c & (0x7F >> len);
    for (std::size_t k = 1; k < len; ++k) {
        if ((p[k] & 0xC0) != 0x80) {
            pos_ += k;
            return 0xFFFD;
        }
        cp = (cp << 6) | (p[k] & 0x3F);
    }
    pos_ += len;
    return cp;
}

bool parse_stream(PyObject* stream, SchemaObject* schema, ParsedDocuments& out) {
    return guarded([&]() -> bool {
        std::uint8_t bits = 0;
        if (!schema_tag_policy(schema, bits)) return false;
        auto slot = std::make_shared<ErrorSlot>();
        Parser<CharsSource> parser{CharsSource::stream(stream, slot)};
        const bool ok =
            parse_all(parser, parser.scanner().source().source(), CoercionTags{bits}, out);
        // A failed read ends the input early: its exception wins over
        // whatever the reader made of the truncated text.
        if (PyObject* exc = slot->take()) {
            PyErr_Clear();
            PyErr_SetRaisedException(exc);
            return false;
        }
        return ok;
    });
}

// ---- PyStreamWriter ----------------------------------------------------------

bool PyStreamWriter::call_write(std::string_view fragment, bool as_bytes) {
    ref arg = as_bytes ? ref::steal(PyBytes_FromStringAndSize(
                             fragment.data(), static_cast<Py_ssize_t>(fragment.size())))
                       : make_str(fragment);
    if (!arg) return false;
    // The return value of write() means nothing to us.
    ref result = ref::steal(PyObject_CallMethod(stream_.get(), "write", "O", arg.get()));
    return static_cast<bool>(result);
}

bool PyStreamWriter::write(std::string_view fragment) {
    if (error_) return false;
    Attach attach;
    if (mode_ == Mode::Unknown) {
        // The first fragment decides: str if the stream takes it, else bytes.
        if (call_write(fragment, false)) {
            mode_ = Mode::Str;
        } else {
            PyErr_Clear();
            if (!call_write(fragment, true)) {
                error_ = ref::steal(PyErr_GetRaisedException());
                return false;
            }
            mode_ = Mode::Bytes;
        }
    } else if (!call_write(fragment, mode_ == Mode::Bytes)) {
        error_ = ref::steal(PyErr_GetRaisedException());
        return false;
    }
    remember_last(fragment);
    return true;
}

}  // namespace tesvorn::py
