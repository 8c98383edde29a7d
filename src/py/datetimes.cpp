// Dates and times: recognising Python's date and datetime values for the
// dump, and making them from !!timestamp scalars on load.
#include <optional>

#include "py/convert.hpp"
#include "py/errors.hpp"

// After Python.h (through the bridge headers).
#include <datetime.h>

namespace tesvorn::py {

namespace {

/// The datetime C API, imported on first need.
bool datetime_api() {
    if (PyDateTimeAPI) return true;
    PyDateTime_IMPORT;
    return PyDateTimeAPI != nullptr;
}

/// The parts of a YAML timestamp: a date, or a date and a time with an
/// optional fraction and zone.
struct Timestamp {
    int year = 0, month = 0, day = 0;
    bool has_time = false;
    int hour = 0, minute = 0, second = 0, microsecond = 0;
    std::optional<int> offset_minutes;  // the zone; none for a local time
};

class TimestampReader {
  public:
    explicit TimestampReader(std::string_view text) : t_(text) {}

    /// The timestamp forms of YAML: YYYY-MM-DD, or YYYY-M[M]-D[D] then 'T',
    /// 't' or blanks, then H[H]:MM:SS, an optional fraction, and an
    /// optional zone (blanks allowed before it): Z, or a sign and H[H]
    /// with an optional :MM.
    bool read(Timestamp& out) {
        std::size_t month_digits = 0, day_digits = 0;
        if (!number(4, 4, out.year) || !literal('-') || !number(1, 2, out.month, &month_digits) ||
            !literal('-') || !number(1, 2, out.day, &day_digits))
            return false;
        if (at_end()) return month_digits == 2 && day_digits == 2;
        if (peek() == 'T' || peek() == 't') {
            ++i_;
        } else if (!blanks()) {
            return false;
        }
        out.has_time = true;
        if (!number(1, 2, out.hour) || !literal(':') || !number(2, 2, out.minute) ||
            !literal(':') || !number(2, 2, out.second))
            return false;
        if (!at_end() && peek() == '.') {
            ++i_;
            // Microseconds: the first six digits, the rest dropped.
            int scale = 100000;
            while (!at_end() && digit(peek())) {
                out.microsecond += scale * (peek() - '0');
                scale /= 10;
                ++i_;
            }
        }
        blanks();
        if (at_end()) return true;
        if (peek() == 'Z') {
            ++i_;
            out.offset_minutes = 0;
            return at_end();
        }
        if (peek() != '+' && peek() != '-') return false;
        const int sign = peek() == '-' ? -1 : 1;
        ++i_;
        int hours = 0, minutes = 0;
        if (!number(1, 2, hours)) return false;
        if (!at_end() && peek() == ':' && (!literal(':') || !number(2, 2, minutes))) return false;
        out.offset_minutes = sign * (hours * 60 + minutes);
        return at_end();
    }

  private:
    static bool digit(char c) noexcept { return c >= '0' && c <= '9'; }
    [[nodiscard]] bool at_end() const noexcept { return i_ == t_.size(); }
    [[nodiscard]] char peek() const noexcept { return t_[i_]; }
    bool literal(char c) {
        if (at_end() || peek() != c) return false;
        ++i_;
        return true;
    }
    bool blanks() {
        const std::size_t start = i_;
        while (!at_end() && (peek() == ' ' || peek() == '\t')) ++i_;
        return i_ != start;
    }
    bool number(std::size_t least, std::size_t most, int& out, std::size_t* count = nullptr) {
        std::size_t n = 0;
        out = 0;
        while (n < most && !at_end() && digit(peek())) {
            out = out * 10 + (peek() - '0');
            ++i_;
            ++n;
        }
        if (count) *count = n;
        return n >= least;
    }

    std::string_view t_;
    std::size_t i_ = 0;
};

/// A text that is none of YAML's timestamp forms: as an ISO 8601 text of
/// the standard library, with its error when it is not one either.
ref from_isoformat(std::string_view text) {
    std::string t(text);
    if (const auto sp = t.find(' '); sp != std::string::npos) t[sp] = 'T';
    ref module = ref::steal(PyImport_ImportModule("datetime"));
    if (!module) return ref();
    const bool is_datetime =
        t.find('T') != std::string::npos || t.size() <= 5 || t.find(':', 5) != std::string::npos;
    ref cls = ref::steal(PyObject_GetAttrString(module.get(), is_datetime ? "datetime" : "date"));
    if (!cls) return ref();
    ref arg = make_str(t);
    if (!arg) return ref();
    return ref::steal(PyObject_CallMethod(cls.get(), "fromisoformat", "O", arg.get()));
}

}  // namespace

bool is_date_or_datetime(PyObject* obj, bool& out) {
    if (!datetime_api()) return false;
    out = PyDate_Check(obj);  // datetime is a subclass of date
    return true;
}

ref timestamp_to_py(std::string_view text) {
    Timestamp ts;
    if (!TimestampReader(text).read(ts)) return from_isoformat(text);
    if (!datetime_api()) return ref();
    // The constructors check the ranges (month 13 raises ValueError).
    if (!ts.has_time) return ref::steal(PyDate_FromDate(ts.year, ts.month, ts.day));
    ref zone;
    if (ts.offset_minutes) {
        ref delta = ref::steal(PyDelta_FromDSU(0, *ts.offset_minutes * 60, 0));
        if (!delta) return ref();
        zone = ref::steal(PyTimeZone_FromOffset(delta.get()));
        if (!zone) return ref();
    }
    return ref::steal(PyDateTimeAPI->DateTime_FromDateAndTime(
        ts.year, ts.month, ts.day, ts.hour, ts.minute, ts.second, ts.microsecond,
        zone ? zone.get() : Py_None, PyDateTimeAPI->DateTimeType));
}

}  // namespace tesvorn::py
