#include "py/streaming.hpp"

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

PyObject* runtime_error(const std::string& message) {
    PyObject* exc = nullptr;
    ref text = make_str(message);
    if (text) exc = PyObject_CallOneArg(PyExc_RuntimeError, text.get());
    if (!exc) exc = PyErr_GetRaisedException();
    return exc;
}

}  // namespace

// ---- ErrorSlot ----------------------------------------------------------------

ErrorSlot::~ErrorSlot() {
    if (exc_) {
        Attach attach;
        Py_CLEAR(exc_);
    }
}

void ErrorSlot::record(PyObject* exc) noexcept {
    PyObject* old;
    {
        std::lock_guard lock(mutex_);
        old = exc_;
        exc_ = exc;
    }
    Py_XDECREF(old);
}

PyObject* ErrorSlot::take() noexcept {
    std::lock_guard lock(mutex_);
    PyObject* exc = exc_;
    exc_ = nullptr;
    return exc;
}

bool ErrorSlot::has_error() noexcept {
    std::lock_guard lock(mutex_);
    return exc_ != nullptr;
}

// ---- CharsSource ------------------------------------------------------------------

CharsSource CharsSource::text(std::string text) {
    CharsSource s;
    s.buf_ = std::move(text);
    s.done_ = true;
    return s;
}

CharsSource CharsSource::stream(PyObject* stream, std::shared_ptr<ErrorSlot> slot) {
    CharsSource s;
    Py_INCREF(stream);
    s.stream_ = stream;
    s.slot_ = std::move(slot);
    s.done_ = false;
    return s;
}

CharsSource::~CharsSource() {
    if (stream_) {
        Attach attach;
        Py_CLEAR(stream_);
    }
}

void CharsSource::fail(PyObject* exc) noexcept {
    if (slot_ && exc) slot_->record(exc);
    else Py_XDECREF(exc);
    done_ = true;
}

bool CharsSource::refill() noexcept {
    buf_.clear();
    pos_ = 0;
    while (!done_ && buf_.empty()) {
        Attach attach;
        ref chunk = ref::steal(PyObject_CallMethod(stream_, "read", "n", kChunk));
        if (!chunk) {
            fail(PyErr_GetRaisedException());
            break;
        }
        if (PyUnicode_Check(chunk.get())) {
            if (!tail_.empty()) {
                fail(runtime_error("UTF-8 decode error: stream switched from bytes to str inside a character"));
                break;
            }
            Py_ssize_t n = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(chunk.get(), &n);
            if (!utf8) {
                fail(PyErr_GetRaisedException());
                break;
            }
            if (n == 0) {
                done_ = true;
                break;
            }
            buf_.assign(utf8, static_cast<std::size_t>(n));
            continue;
        }
        if (chunk.get() == Py_None) {
            fail(runtime_error("stream.read() must return str or bytes"));
            break;
        }
        // bytes, bytearray, memoryview or any other buffer or sequence of 0..255.
        ref bytes = ref::steal(PyBytes_Check(chunk.get()) ? Py_NewRef(chunk.get()) : PyBytes_FromObject(chunk.get()));
        if (!bytes) {
            PyErr_Clear();
            fail(runtime_error("stream.read() must return str or bytes"));
            break;
        }
        const Py_ssize_t n = PyBytes_GET_SIZE(bytes.get());
        if (n == 0) {
            // End of input: a sequence cut short by the end is an error.
            if (!tail_.empty()) {
                ref decoded = ref::steal(PyUnicode_DecodeUTF8(tail_.data(), static_cast<Py_ssize_t>(tail_.size()),
                                                             "strict"));
                PyObject* exc = PyErr_GetRaisedException();
                ref text = ref::steal(exc ? PyObject_Str(exc) : nullptr);
                Py_XDECREF(exc);
                std::string_view detail = "incomplete character at end of stream";
                if (text && !str_utf8(text.get(), detail)) PyErr_Clear();
                fail(runtime_error("UTF-8 decode error: " + std::string(detail)));
                break;
            }
            done_ = true;
            break;
        }
        // Decode strictly, carrying an incomplete sequence at the end of the
        // chunk over to the next one (a character may be split by read()).
        std::string data = std::move(tail_);
        tail_.clear();
        data.append(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(n));
        Py_ssize_t consumed = 0;
        ref decoded = ref::steal(
            PyUnicode_DecodeUTF8Stateful(data.data(), static_cast<Py_ssize_t>(data.size()), "strict", &consumed));
        if (!decoded) {
            PyObject* exc = PyErr_GetRaisedException();
            ref text = ref::steal(PyObject_Str(exc));
            Py_DECREF(exc);
            std::string_view detail;
            if (!text || !str_utf8(text.get(), detail)) {
                PyErr_Clear();
                detail = "invalid UTF-8";
            }
            fail(runtime_error("UTF-8 decode error: " + std::string(detail)));
            break;
        }
        // Valid UTF-8 needs no re-encoding: keep the bytes as they are.
        tail_.assign(data, static_cast<std::size_t>(consumed), std::string::npos);
        data.resize(static_cast<std::size_t>(consumed));
        buf_ = std::move(data);
    }
    return pos_ < buf_.size();
}

char32_t CharsSource::decode_multibyte() noexcept {
    // The buffer holds valid UTF-8 (checked by the decoder, or taken from a
    // str), except for a text variant built from arbitrary bytes: read
    // those as U+FFFD.
    const auto* p = reinterpret_cast<const unsigned char*>(buf_.data()) + pos_;
    const std::size_t avail = buf_.size() - pos_;
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
        const bool ok = parse_all(parser, CoercionTags{bits}, out);
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

// ---- PyStreamWriter -------------------------------------------------------------------

bool PyStreamWriter::write(std::string_view fragment) {
    if (error_) return false;
    Attach attach;
    auto call = [&](bool as_bytes) -> bool {
        ref arg = as_bytes ? ref::steal(PyBytes_FromStringAndSize(fragment.data(),
                                                                  static_cast<Py_ssize_t>(fragment.size())))
                           : make_str(fragment);
        if (!arg) return false;
        ref result = ref::steal(PyObject_CallMethod(stream_.get(), "write", "O", arg.get()));
        return static_cast<bool>(result);
    };
    switch (mode_) {
        case Mode::Str:
        case Mode::Bytes:
            if (call(mode_ == Mode::Bytes)) {
                remember_last(fragment);
                return true;
            }
            error_ = ref::steal(PyErr_GetRaisedException());
            return false;
        case Mode::Unknown:
            if (call(false)) {
                mode_ = Mode::Str;
                remember_last(fragment);
                return true;
            }
            PyErr_Clear();
            if (call(true)) {
                mode_ = Mode::Bytes;
                remember_last(fragment);
                return true;
            }
            error_ = ref::steal(PyErr_GetRaisedException());
            return false;
    }
    return false;
}

}  // namespace tesvorn::py
