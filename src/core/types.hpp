// The document model: one YAML document is a `YamlNode` tree plus a
// `DocMetadata` record. Nodes own their children by value (copies are deep),
// and carry every record the writer needs to give the text back as it was read.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/layout.hpp"

namespace tesvorn {

enum class ScalarStyle : std::uint8_t {
    Plain = 0,
    Single = 1,
    Double = 2,
    Literal = 3,
    Folded = 4
};
enum class ContainerStyle : std::uint8_t { Block = 0, Flow = 1 };

/// A heap-allocated value with value semantics: copying copies the pointee.
/// Used to break the recursion of the tree (alias targets, complex keys).
template <class T>
class Box {
  public:
    Box() : p_(std::make_unique<T>()) {}
    Box(T value) : p_(std::make_unique<T>(std::move(value))) {}
    Box(const Box& other) : p_(std::make_unique<T>(*other.p_)) {}
    Box(Box&&) noexcept = default;
    Box& operator=(const Box& other) {
        if (this != &other) p_ = std::make_unique<T>(*other.p_);
        return *this;
    }
    Box& operator=(Box&&) noexcept = default;
    ~Box() = default;

    T& operator*() noexcept { return *p_; }
    const T& operator*() const noexcept { return *p_; }
    T* operator->() noexcept { return p_.get(); }
    const T* operator->() const noexcept { return p_.get(); }
    T* get() noexcept { return p_.get(); }
    const T* get() const noexcept { return p_.get(); }

    friend bool operator==(const Box& a, const Box& b) { return *a.p_ == *b.p_; }

  private:
    std::unique_ptr<T> p_;
};

/// A string in 16 bytes, half a std::string: keys and scalar text are the
/// bulk of a loaded tree. Up to 15 bytes are held inline, longer text on the
/// heap at its exact size. Byte 0 tells which: the inline length, or 0xFF.
class SmallString {
  public:
    SmallString() noexcept { b_[0] = 0; }
    SmallString(std::string_view s) { init(s); }  // NOLINT: converts like std::string
    SmallString(const std::string& s) { init(s); }
    SmallString(const char* s) { init(std::string_view(s)); }
    SmallString(const SmallString& o) { init(o.view()); }
    SmallString(SmallString&& o) noexcept {
        std::memcpy(b_, o.b_, sizeof b_);
        o.b_[0] = 0;
    }
    SmallString& operator=(const SmallString& o) {
        if (this != &o) {
            SmallString copy(o);
            swap(copy);
        }
        return *this;
    }
    SmallString& operator=(SmallString&& o) noexcept {
        if (this != &o) {
            release();
            std::memcpy(b_, o.b_, sizeof b_);
            o.b_[0] = 0;
        }
        return *this;
    }
    SmallString& operator=(std::string_view s) {
        SmallString copy(s);
        swap(copy);
        return *this;
    }
    SmallString& operator=(const std::string& s) { return *this = std::string_view(s); }
    SmallString& operator=(const char* s) { return *this = std::string_view(s); }
    ~SmallString() { release(); }

    void swap(SmallString& o) noexcept {
        unsigned char t[16];
        std::memcpy(t, b_, 16);
        std::memcpy(b_, o.b_, 16);
        std::memcpy(o.b_, t, 16);
    }

    [[nodiscard]] std::size_t size() const noexcept {
        if (!on_heap()) return b_[0];
        std::uint64_t w;
        std::memcpy(&w, b_, 8);
        return static_cast<std::size_t>(kLittle ? w >> 8 : w & kSizeMask);
    }
    [[nodiscard]] const char* data() const noexcept {
        if (!on_heap()) return reinterpret_cast<const char*>(b_ + 1);
        char* p;
        std::memcpy(&p, b_ + 8, sizeof p);
        return p;
    }
    [[nodiscard]] bool empty() const noexcept { return b_[0] == 0; }
    [[nodiscard]] std::string_view view() const noexcept { return {data(), size()}; }
    operator std::string_view() const noexcept { return view(); }
    [[nodiscard]] std::string str() const { return std::string(view()); }
    [[nodiscard]] char back() const noexcept { return data()[size() - 1]; }
    [[nodiscard]] std::size_t find(char c, std::size_t from = 0) const noexcept {
        return view().find(c, from);
    }

    friend bool operator==(const SmallString& a, const SmallString& b) noexcept {
        return a.view() == b.view();
    }
    friend bool operator==(const SmallString& a, std::string_view b) noexcept {
        return a.view() == b;
    }
    friend bool operator==(const SmallString& a, const std::string& b) noexcept {
        return a.view() == std::string_view(b);
    }
    friend bool operator==(const SmallString& a, const char* b) noexcept {
        return a.view() == std::string_view(b);
    }
    friend auto operator<=>(const SmallString& a, const SmallString& b) noexcept {
        return a.view() <=> b.view();
    }

  private:
    static constexpr bool kLittle = std::endian::native == std::endian::little;
    static constexpr std::uint64_t kSizeMask = (std::uint64_t{1} << 56) - 1;
    [[nodiscard]] bool on_heap() const noexcept { return b_[0] == 0xFF; }
    void init(std::string_view s) {
        if (s.size() <= 15) {
            b_[0] = static_cast<unsigned char>(s.size());
            if (!s.empty()) std::memcpy(b_ + 1, s.data(), s.size());
            return;
        }
        char* p = new char[s.size()];
        std::memcpy(p, s.data(), s.size());
        const std::uint64_t n = s.size();
        const std::uint64_t w = kLittle ? (n << 8) | 0xFF : (std::uint64_t{0xFF} << 56) | n;
        std::memcpy(b_, &w, 8);
        std::memcpy(b_ + 8, &p, sizeof p);
    }
    void release() noexcept {
        if (on_heap()) delete[] data();
    }

    alignas(8) unsigned char b_[16];
};

/// The open-addressing table of an OrderedMap: a vector of positions
/// (0 = empty, else position + 1) held in one pointer, its size and
/// capacity in the block's first two words. Most maps are short and never
/// have one, so it costs them 8 bytes rather than 24.
class SlotIndex {
  public:
    SlotIndex() noexcept = default;
    SlotIndex(SlotIndex&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    SlotIndex& operator=(SlotIndex&& other) noexcept {
        if (this != &other) {
            delete[] p_;
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    SlotIndex(const SlotIndex&) = delete;
    SlotIndex& operator=(const SlotIndex&) = delete;
    ~SlotIndex() { delete[] p_; }

    [[nodiscard]] std::size_t size() const noexcept { return p_ ? p_[1] : 0; }
    [[nodiscard]] std::size_t capacity() const noexcept { return p_ ? p_[0] : 0; }
    [[nodiscard]] bool empty() const noexcept { return size() == 0; }
    std::uint32_t& operator[](std::size_t i) noexcept { return p_[2 + i]; }
    std::uint32_t operator[](std::size_t i) const noexcept { return p_[2 + i]; }
    /// Empties the table, keeping its room.
    void clear() noexcept {
        if (p_) p_[1] = 0;
    }
    /// Room for `n` positions, keeping the contents.
    void reserve(std::size_t n) {
        if (n <= capacity()) return;
        auto* q = new std::uint32_t[2 + n];
        q[0] = static_cast<std::uint32_t>(n);
        q[1] = static_cast<std::uint32_t>(size());
        if (p_) std::copy(p_ + 2, p_ + 2 + size(), q + 2);
        delete[] p_;
        p_ = q;
    }
    /// `n` empty positions; allocates only beyond the room it has.
    void assign(std::size_t n, std::uint32_t) {
        if (n > capacity()) {
            delete[] std::exchange(p_, nullptr);
            reserve(n);
        }
        if (!p_) return;
        p_[1] = static_cast<std::uint32_t>(n);
        std::fill(p_ + 2, p_ + 2 + n, 0u);
    }

  private:
    std::uint32_t* p_ = nullptr;
};

/// Insertion-ordered map from key string to `V`: O(1) average lookup (a hash
/// index is built once the map outgrows a short linear scan), replace in
/// place, and a shifting remove that keeps the order of the other entries.
template <class V>
class OrderedMap {
  public:
    struct Slot {
        SmallString key;
        V value;

        Slot() = default;
        /// A slot whose value is made in place (for a reader that fills it).
        explicit Slot(std::string_view k) : key(k) {}
        explicit Slot(SmallString&& k) noexcept : key(std::move(k)) {}
        Slot(std::string_view k, V&& v) : key(k), value(std::move(v)) {}
        friend bool operator==(const Slot&, const Slot&) = default;
    };

    OrderedMap() = default;
    OrderedMap(const OrderedMap& other) : slots_(other.slots_) { rebuild_index(); }
    OrderedMap(OrderedMap&&) noexcept = default;
    OrderedMap& operator=(const OrderedMap& other) {
        if (this != &other) {
            slots_ = other.slots_;
            rebuild_index();
        }
        return *this;
    }
    OrderedMap& operator=(OrderedMap&&) noexcept = default;
    ~OrderedMap() = default;

    [[nodiscard]] std::size_t size() const noexcept { return slots_.size(); }
    [[nodiscard]] bool empty() const noexcept { return slots_.empty(); }
    void reserve(std::size_t n) { slots_.reserve(n); }
    /// For a reader that fills many maps one after another: an empty map
    /// takes `room` (an empty vector with capacity) as its storage, and
    /// `compact` moves the slots into storage of their exact size and
    /// gives back the old storage, emptied, for the next map.
    void adopt_room(std::vector<Slot>&& room) noexcept {
        if (slots_.empty()) slots_ = std::move(room);
    }
    std::vector<Slot> compact() {
        std::vector<Slot> exact;
        exact.reserve(slots_.size());
        for (Slot& s : slots_) exact.push_back(std::move(s));
        slots_.swap(exact);
        exact.clear();
        return exact;
    }

    auto begin() noexcept { return slots_.begin(); }
    auto end() noexcept { return slots_.end(); }
    auto begin() const noexcept { return slots_.begin(); }
    auto end() const noexcept { return slots_.end(); }
    Slot& at(std::size_t pos) { return slots_[pos]; }
    const Slot& at(std::size_t pos) const { return slots_[pos]; }
    Slot& back() { return slots_.back(); }
    const Slot& back() const { return slots_.back(); }

    /// Position of `key`, or -1.
    [[nodiscard]] std::ptrdiff_t index_of(std::string_view key) const noexcept {
        if (index_.empty()) {
            for (std::size_t i = 0; i < slots_.size(); ++i)
                if (slots_[i].key == key) return static_cast<std::ptrdiff_t>(i);
            return -1;
        }
        const std::size_t mask = index_.size() - 1;
        for (std::size_t h = hash(key) & mask;; h = (h + 1) & mask) {
            const std::uint32_t e = index_[h];
            if (e == 0) return -1;
            if (slots_[e - 1].key == key) return static_cast<std::ptrdiff_t>(e - 1);
        }
    }
    V* find(std::string_view key) noexcept {
        const auto i = index_of(key);
        return i < 0 ? nullptr : &slots_[static_cast<std::size_t>(i)].value;
    }
    const V* find(std::string_view key) const noexcept {
        const auto i = index_of(key);
        return i < 0 ? nullptr : &slots_[static_cast<std::size_t>(i)].value;
    }
    [[nodiscard]] bool contains(std::string_view key) const noexcept { return index_of(key) >= 0; }

    /// Inserts `key`, or replaces the value of an existing key in its old
    /// position. Returns the position.
    std::size_t insert(std::string_view key, V value) {
        const auto i = index_of(key);
        if (i >= 0) {
            slots_[static_cast<std::size_t>(i)].value = std::move(value);
            return static_cast<std::size_t>(i);
        }
        return append(key, std::move(value));
    }
    /// The position of `key`, and whether it is new: then it was appended
    /// with a default value (for a reader that fills it in place).
    std::pair<std::size_t, bool> find_or_append(std::string_view key) {
        const auto i = index_of(key);
        if (i >= 0) return {static_cast<std::size_t>(i), false};
        // The slot is made in place: no value is made and moved in.
        slots_.emplace_back(key);
        return {indexed_last(), true};
    }
    /// The same, taking over `key`'s text when a slot is added.
    std::pair<std::size_t, bool> find_or_append(SmallString&& key) {
        const auto i = index_of(key.view());
        if (i >= 0) return {static_cast<std::size_t>(i), false};
        slots_.emplace_back(std::move(key));
        return {indexed_last(), true};
    }

    /// Inserts `key` at position `pos` (at most size()), or, when the key
    /// exists, replaces its value and moves it to `pos` (at most size() - 1).
    /// Returns the position. Nothing changes when it throws.
    std::size_t insert_at(std::size_t pos, std::string_view key, V value) {
        const auto i = index_of(key);
        if (i >= 0) {
            slots_[static_cast<std::size_t>(i)].value = std::move(value);
            pos = std::min(pos, slots_.size() - 1);
            move(static_cast<std::size_t>(i), pos);
            return pos;
        }
        // Room for the slot and its index first: what follows cannot throw.
        slots_.reserve(slots_.size() + 1);
        if (slots_.size() + 1 > kLinearLimit) index_.reserve(index_capacity(slots_.size() + 1));
        pos = std::min(pos, slots_.size());
        slots_.push_back(Slot{key, std::move(value)});
        std::rotate(slots_.begin() + static_cast<std::ptrdiff_t>(pos), slots_.end() - 1,
                    slots_.end());
        reindex();
        return pos;
    }
    /// Moves the entry at `from` to position `to` (both below size()), the
    /// others keeping their order.
    void move(std::size_t from, std::size_t to) noexcept {
        const auto first = slots_.begin();
        const auto f = static_cast<std::ptrdiff_t>(from), t = static_cast<std::ptrdiff_t>(to);
        if (from < to) {
            std::rotate(first + f, first + f + 1, first + t + 1);
        } else if (to < from) {
            std::rotate(first + t, first + f, first + f + 1);
        } else {
            return;
        }
        reindex();
    }
    /// Gives the entry at `pos` the key `key`, which no other entry has.
    void rename_at(std::size_t pos, std::string_view key) {
        slots_[pos].key = key;
        reindex();
    }

    /// Removes the entry at `pos`, shifting the later ones down.
    void erase_at(std::size_t pos) {
        slots_.erase(slots_.begin() + static_cast<std::ptrdiff_t>(pos));
        rebuild_index();
    }
    /// Removes `key` if present; returns whether it was.
    bool remove(std::string_view key) {
        const auto i = index_of(key);
        if (i < 0) return false;
        erase_at(static_cast<std::size_t>(i));
        return true;
    }
    void clear() noexcept {
        slots_.clear();
        index_.clear();
    }
    /// Takes every slot out, in order, leaving the map empty.
    std::vector<Slot> take_all() noexcept {
        index_.clear();
        return std::exchange(slots_, {});
    }
    /// Replaces the contents; keys must be distinct.
    void assign(std::vector<Slot> slots) {
        slots_ = std::move(slots);
        rebuild_index();
    }

    friend bool operator==(const OrderedMap& a, const OrderedMap& b) {
        return a.slots_ == b.slots_;
    }

  private:
    // Short maps (the common case in configuration files) are searched
    // linearly, which beats hashing them.
    static constexpr std::size_t kLinearLimit = 8;

    /// Appends a key that is not in the map.
    std::size_t append(std::string_view key, V&& value) {
        slots_.push_back(Slot{key, std::move(value)});
        return indexed_last();
    }
    /// Adds the last slot to the index; returns its position.
    std::size_t indexed_last() {
        const std::size_t pos = slots_.size() - 1;
        if (!index_.empty() && (slots_.size() * 2 <= index_.size())) {
            place(pos);
        } else if (slots_.size() > kLinearLimit) {
            rebuild_index();
        }
        return pos;
    }

    static std::size_t hash(std::string_view key) noexcept {
        return std::hash<std::string_view>{}(key);
    }
    void place(std::size_t pos) noexcept {
        const std::size_t mask = index_.size() - 1;
        std::size_t h = hash(slots_[pos].key) & mask;
        while (index_[h] != 0) h = (h + 1) & mask;
        index_[h] = static_cast<std::uint32_t>(pos + 1);
    }
    static std::size_t index_capacity(std::size_t n) noexcept {
        std::size_t cap = 16;
        while (cap < n * 4) cap *= 2;
        return cap;
    }
    void rebuild_index() {
        index_.clear();
        if (slots_.size() <= kLinearLimit) return;
        index_.assign(index_capacity(slots_.size()), 0);
        for (std::size_t i = 0; i < slots_.size(); ++i) place(i);
    }
    /// rebuild_index() within the room the index has: nothing is allocated.
    /// Without room (only after an allocation failed) the map is searched
    /// linearly until the next rebuild.
    void reindex() noexcept {
        const std::size_t n = slots_.size();
        std::size_t cap = index_.size();
        if (n <= kLinearLimit) {
            cap = 0;
        } else if (cap < n * 2) {
            cap = index_capacity(n);
        }
        if (cap > index_.capacity()) cap = 0;
        index_.assign(cap, 0);
        for (std::size_t i = 0; cap != 0 && i < n; ++i) place(i);
    }

    std::vector<Slot> slots_;
    SlotIndex index_;
};

/// An optional string held in one pointer: most scalars, entries and items
/// have no tag, anchor, source text or comment, so absent costs 8 bytes
/// rather than the 40 of std::optional<std::string>. Copies are deep.
class OptString {
  public:
    OptString() noexcept = default;
    OptString(std::nullopt_t) noexcept {}
    OptString(std::string s) : p_(std::make_unique<std::string>(std::move(s))) {}
    OptString(const char* s) : p_(std::make_unique<std::string>(s)) {}
    OptString(const std::optional<std::string>& o) {
        if (o) p_ = std::make_unique<std::string>(*o);
    }
    OptString(std::optional<std::string>&& o) {
        if (o) p_ = std::make_unique<std::string>(std::move(*o));
    }
    OptString(const OptString& other)
        : p_(other.p_ ? std::make_unique<std::string>(*other.p_) : nullptr) {}
    OptString(OptString&&) noexcept = default;
    OptString& operator=(const OptString& other) {
        if (this != &other) p_ = other.p_ ? std::make_unique<std::string>(*other.p_) : nullptr;
        return *this;
    }
    OptString& operator=(OptString&&) noexcept = default;
    OptString& operator=(std::nullopt_t) noexcept {
        p_.reset();
        return *this;
    }
    ~OptString() = default;

    [[nodiscard]] bool has_value() const noexcept { return p_ != nullptr; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    const std::string& operator*() const noexcept { return *p_; }
    std::string& operator*() noexcept { return *p_; }
    const std::string* operator->() const noexcept { return p_.get(); }
    std::string* operator->() noexcept { return p_.get(); }
    /// The string, or null when absent.
    [[nodiscard]] const std::string* get() const noexcept { return p_.get(); }
    void reset() noexcept { p_.reset(); }
    [[nodiscard]] std::optional<std::string> to_optional() const {
        return p_ ? std::optional<std::string>(*p_) : std::nullopt;
    }

    friend bool operator==(const OptString& a, const OptString& b) {
        return a.p_ ? (b.p_ && *a.p_ == *b.p_) : !b.p_;
    }
    friend bool operator==(const OptString& a, std::nullopt_t) { return !a.p_; }
    friend bool operator==(const OptString& a, const char* b) { return a.p_ && *a.p_ == b; }
    friend bool operator==(const OptString& a, const std::string& b) { return a.p_ && *a.p_ == b; }
    friend bool operator==(const OptString& a, std::string_view b) { return a.p_ && *a.p_ == b; }

  private:
    std::unique_ptr<std::string> p_;
};

/// A collection held by a tree node, shared between copies until one of
/// them is changed (copy on write). Copying trees is therefore cheap: a
/// loaded document and the node objects made from its parts share their
/// subtrees until an edit makes one of them its own. Reading goes through
/// `get()`, changing through `mut()`, which first makes the value unshared.
template <class T>
class Cow {
  public:
    Cow() : p_(new Block()) {}
    explicit Cow(T value) : p_(new Block(std::move(value))) {}
    Cow(const Cow& other) noexcept : p_(other.p_) {
        if (p_) p_->refs.fetch_add(1, std::memory_order_relaxed);
    }
    Cow(Cow&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Cow& operator=(Cow other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Cow() { release(); }

    const T& get() const noexcept { return p_->value; }
    T& mut() {
        if (p_->refs.load(std::memory_order_acquire) > 1) {
            Block* copy = new Block(p_->value);
            release();
            p_ = copy;
        }
        return p_->value;
    }

    friend bool operator==(const Cow& a, const Cow& b) {
        return a.p_ == b.p_ || a.get() == b.get();
    }

  private:
    // The count sits beside the value (one allocation, one pointer per
    // holder): loaded documents hold many small collections.
    struct Block {
        Block() = default;
        explicit Block(const T& v) : value(v) {}
        explicit Block(T&& v) : value(std::move(v)) {}
        std::atomic<std::size_t> refs{1};
        T value;
    };
    void release() noexcept {
        if (p_ && p_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete p_;
    }
    Block* p_;
};

/// A typed scalar value: the variant order is Int, Float, Bool, Str, Null,
/// BigInt. YAML 1.2's integers are unbounded: one outside 64 bits is
/// BigInt, held as its decimal digits ("-" first when negative, no leading
/// zeros).
struct ScalarValue {
    enum Kind : std::uint8_t { Int = 0, Float = 1, Bool = 2, Str = 3, Null = 4, BigInt = 5 };
    // Not unique-address: a scalar's style bytes fit in the variant's tail
    // padding (see YamlScalar), which saves 8 bytes on every node.
    [[no_unique_address]] std::variant<std::int64_t, double, bool, SmallString, std::monostate,
                                       SmallString>
        v{std::monostate{}};

    static ScalarValue of_int(std::int64_t x) {
        return ScalarValue{decltype(v){std::in_place_index<0>, x}};
    }
    static ScalarValue of_float(double x) {
        return ScalarValue{decltype(v){std::in_place_index<1>, x}};
    }
    static ScalarValue of_bool(bool x) {
        return ScalarValue{decltype(v){std::in_place_index<2>, x}};
    }
    static ScalarValue of_str(std::string_view s) {
        return ScalarValue{decltype(v){std::in_place_index<3>, s}};
    }
    static ScalarValue null() { return ScalarValue{}; }
    /// `digits`: an integer outside 64 bits in decimal, as described above.
    static ScalarValue of_big_int(std::string_view digits) {
        return ScalarValue{decltype(v){std::in_place_index<5>, digits}};
    }

    [[nodiscard]] Kind kind() const noexcept { return static_cast<Kind>(v.index()); }
    [[nodiscard]] bool is_str() const noexcept { return v.index() == Str; }
    [[nodiscard]] std::int64_t as_int() const { return *std::get_if<0>(&v); }
    [[nodiscard]] double as_float() const { return *std::get_if<1>(&v); }
    [[nodiscard]] bool as_bool() const { return *std::get_if<2>(&v); }
    [[nodiscard]] std::string_view as_str() const { return std::get_if<3>(&v)->view(); }
    [[nodiscard]] std::string_view as_big_int() const { return std::get_if<5>(&v)->view(); }
    /// An integer of any size.
    [[nodiscard]] bool is_integer() const noexcept { return kind() == Int || kind() == BigInt; }

    /// Types a plain scalar's text: null, bool, int (decimal of any size,
    /// 0x, 0o), float or string. Total: anything unrecognised is a string.
    static ScalarValue from_str(std::string_view text);
    /// The mapping-key text of the value (used for an alias used as a key).
    [[nodiscard]] std::string to_key_string() const;

    /// Equal kinds and values; a NaN equals a NaN (the same text reads as
    /// the same value).
    friend bool operator==(const ScalarValue& a, const ScalarValue& b) noexcept {
        if (a.kind() == Float && b.kind() == Float) {
            const double x = a.as_float(), y = b.as_float();
            return x == y || (x != x && y != y);
        }
        return a.v == b.v;
    }
};

struct YamlNode;
struct YamlEntry;
struct YamlItem;

/// No position recorded (see YamlEntry::key_at, YamlItem::at).
inline constexpr std::uint32_t kNoPosition = 0xFFFFFFFFu;
inline constexpr std::uint16_t kNoDelta = 0xFFFFu;

/// An offset into the source a node was read from. Where a node was read
/// never makes two trees differ.
template <class T, T kNone>
struct SourceOffset {
    T v = kNone;
    [[nodiscard]] bool known() const noexcept { return v != kNone; }
    friend bool operator==(const SourceOffset&, const SourceOffset&) noexcept { return true; }
};

/// A record `T` that few nodes, entries or items have, held in one
/// pointer. Reading an absent record reads an empty one; `mut()` creates
/// it. Copies are deep, and an emptied record equals an absent one.
template <class T>
class RareRef {
  public:
    RareRef() noexcept = default;
    RareRef(const RareRef& other) : p_(other.p_ ? std::make_unique<T>(*other.p_) : nullptr) {}
    RareRef(RareRef&&) noexcept = default;
    RareRef& operator=(const RareRef& other) {
        if (this != &other) p_ = other.p_ ? std::make_unique<T>(*other.p_) : nullptr;
        return *this;
    }
    RareRef& operator=(RareRef&&) noexcept = default;
    ~RareRef() = default;

    [[nodiscard]] bool has() const noexcept { return p_ != nullptr; }
    const T& operator*() const noexcept { return p_ ? *p_ : kEmpty; }
    const T* operator->() const noexcept { return p_ ? p_.get() : &kEmpty; }
    T& mut() {
        if (!p_) p_ = std::make_unique<T>();
        return *p_;
    }
    void reset() noexcept { p_.reset(); }

    friend bool operator==(const RareRef& a, const RareRef& b) { return *a == *b; }

  protected:
    std::unique_ptr<T> p_;

  private:
    static inline const T kEmpty{};
};

/// What few scalars have: a tag, an anchor, or the source text of a plain
/// scalar.
struct ScalarProps {
    OptString tag;
    OptString anchor;
    /// Source text of a plain scalar, kept where rendering the value would
    /// not give it back; written verbatim instead of the value.
    OptString original;

    friend bool operator==(const ScalarProps&, const ScalarProps&) = default;
};

/// A scalar's ScalarProps: a pointer keeps every node 16 bytes smaller.
using ScalarPropsRef = RareRef<ScalarProps>;

struct YamlScalar {
    [[no_unique_address]] ScalarValue value;  // the next two fields sit in its tail padding
    ScalarStyle style = ScalarStyle::Plain;
    PlainChecked plain_checked;  // about `value`, while `style` is Plain
    ScalarPropsRef props;

    void format_with(bool styles, bool comments, bool blank_lines);
    friend bool operator==(const YamlScalar&, const YamlScalar&) = default;
};

struct YamlMapping {
    OrderedMap<YamlEntry> entries;
    OptString tag;
    OptString anchor;
    [[no_unique_address]] CollectionLayout layout;  // the next two fields sit in its tail padding
    ContainerStyle style = ContainerStyle::Block;
    std::uint8_t trailing_blank_lines = 0;

    void format_with(bool styles, bool comments, bool blank_lines);
    friend bool operator==(const YamlMapping&, const YamlMapping&) = default;
};

struct YamlSequence {
    std::vector<YamlItem> items;
    OptString tag;
    OptString anchor;
    [[no_unique_address]] CollectionLayout layout;  // the next two fields sit in its tail padding
    ContainerStyle style = ContainerStyle::Block;
    std::uint8_t trailing_blank_lines = 0;

    void format_with(bool styles, bool comments, bool blank_lines);
    friend bool operator==(const YamlSequence&, const YamlSequence&) = default;
};

/// An empty node (a key or item with no content).
struct NullNode {
    friend bool operator==(const NullNode&, const NullNode&) = default;
};

/// `*name`, with a full copy of the node it resolved to when read or set.
/// The writer never looks at `target`.
struct AliasNode {
    SmallString name;
    Box<YamlNode> target;
    friend bool operator==(const AliasNode&, const AliasNode&) = default;
};

struct YamlNode {
    enum Kind : std::uint8_t { Mapping = 0, Sequence = 1, Scalar = 2, Null = 3, Alias = 4 };
    // The constructors are defined below YamlEntry and YamlItem: clang
    // instantiates the variant's constexpr constructors where they are used,
    // and they need every alternative's destructor, so all types complete.
    // Not unique-address: an item's first fields fit in its tail padding.
    [[no_unique_address]] std::variant<Cow<YamlMapping>, Cow<YamlSequence>, YamlScalar, NullNode,
                                       AliasNode>
        v;

    YamlNode();
    YamlNode(YamlMapping m);
    YamlNode(YamlSequence s);
    YamlNode(YamlScalar s);
    YamlNode(NullNode);
    YamlNode(AliasNode a);

    [[nodiscard]] Kind kind() const noexcept { return static_cast<Kind>(v.index()); }
    /// The mapping to change (made unshared first), or null.
    YamlMapping* mapping() {
        auto* c = std::get_if<0>(&v);
        return c ? &c->mut() : nullptr;
    }
    const YamlMapping* mapping() const noexcept {
        auto* c = std::get_if<0>(&v);
        return c ? &c->get() : nullptr;
    }
    YamlSequence* sequence() {
        auto* c = std::get_if<1>(&v);
        return c ? &c->mut() : nullptr;
    }
    const YamlSequence* sequence() const noexcept {
        auto* c = std::get_if<1>(&v);
        return c ? &c->get() : nullptr;
    }
    YamlScalar* scalar() noexcept { return std::get_if<2>(&v); }
    const YamlScalar* scalar() const noexcept { return std::get_if<2>(&v); }
    AliasNode* alias() noexcept { return std::get_if<4>(&v); }
    const AliasNode* alias() const noexcept { return std::get_if<4>(&v); }
    [[nodiscard]] bool is_collection() const noexcept { return v.index() <= 1; }
    /// Makes this node an empty mapping / sequence / scalar and returns it.
    YamlMapping& emplace_mapping() { return v.emplace<0>().mut(); }
    YamlSequence& emplace_sequence() { return v.emplace<1>().mut(); }
    YamlScalar& emplace_scalar() { return v.emplace<2>(); }

    /// Resets cosmetic metadata in place, recursively; tags, anchors and
    /// aliases are never touched, nor are alias targets visited.
    void format_with(bool styles, bool comments, bool blank_lines);
    friend bool operator==(const YamlNode&, const YamlNode&) = default;
};

/// What a mapping key has besides its text and style: its properties, the
/// anchor it is an alias of, and the real key of a complex key.
struct KeyProps {
    OptString anchor;
    OptString tag;
    OptString alias;
    /// The real key of a complex (mapping or sequence) key.
    std::optional<Box<YamlNode>> node;

    friend bool operator==(const KeyProps&, const KeyProps&) = default;
};

/// A key's KeyProps: most keys have none, and an entry is the bulk of a
/// loaded mapping.
using KeyPropsRef = RareRef<KeyProps>;

/// The comments of an entry or item: the lines above it, and the one after
/// it on its line.
struct Comments {
    OptString before;
    OptString trailing;

    friend bool operator==(const Comments&, const Comments&) = default;
};

/// An entry's or item's Comments: most have none. Only call `mut()` to
/// store one.
class CommentsRef : public RareRef<Comments> {
  public:
    /// Sets or clears one comment; clearing the last one frees the record.
    void set(OptString Comments::*which, OptString text) {
        if (text) {
            mut().*which = std::move(text);
        } else if (p_) {
            (*p_).*which = std::nullopt;
            if (!p_->before && !p_->trailing) p_.reset();
        }
    }
};

struct YamlEntry {
    YamlNode value;
    std::uint8_t blank_lines_before = 0;
    ScalarStyle key_style = ScalarStyle::Plain;
    /// Where the entry was read, in its collection's source text: the
    /// offset of the key (kNoPosition when it was not read), and how far
    /// after it the value starts (kNoDelta when unknown).
    SourceOffset<std::uint16_t, kNoDelta> value_delta;
    SourceOffset<std::uint32_t, kNoPosition> key_at;
    CommentsRef comments;
    KeyPropsRef key_props;
    SlotRecord layout;

    friend bool operator==(const YamlEntry&, const YamlEntry&) = default;
};

struct YamlItem {
    [[no_unique_address]] YamlNode node;  // the next two fields sit in its tail padding
    std::uint8_t blank_lines_before = 0;
    /// Where the item's node was read, in its collection's source text.
    SourceOffset<std::uint32_t, kNoPosition> at;
    CommentsRef comments;
    SlotRecord layout;

    friend bool operator==(const YamlItem&, const YamlItem&) = default;
};

inline YamlNode::YamlNode() : v(std::in_place_index<3>) {}
inline YamlNode::YamlNode(YamlMapping m) : v(std::in_place_index<0>, std::move(m)) {}
inline YamlNode::YamlNode(YamlSequence s) : v(std::in_place_index<1>, std::move(s)) {}
inline YamlNode::YamlNode(YamlScalar s) : v(std::in_place_index<2>, std::move(s)) {}
inline YamlNode::YamlNode(NullNode) : v(std::in_place_index<3>) {}
inline YamlNode::YamlNode(AliasNode a) : v(std::in_place_index<4>, std::move(a)) {}

/// Takes the end blank run (see end_blank_run) off the chain of last values
/// that starts at `node`; returns how many blank lines it had.
std::size_t take_end_blank_run(YamlNode& node);

/// Per-document records: markers and directives.
struct DocMetadata {
    bool explicit_start = false;
    bool explicit_end = false;
    std::optional<std::pair<std::uint8_t, std::uint8_t>> yaml_version;
    RareRef<std::vector<std::pair<std::string, std::string>>> tag_directives;
    DocLayoutRef layout;

    friend bool operator==(const DocMetadata&, const DocMetadata&) = default;
};

/// A set of the five standard scalar tags (null, bool, int, float, str),
/// used as the coercion-tag policy of a load: scalars with one of these
/// tags keep their raw text so that a loader registered for the tag gets it.
struct CoercionTags {
    std::uint8_t bits = 0;

    /// The bit of a full tag text such as "tag:yaml.org,2002:int", 0 for any
    /// other tag.
    static std::uint8_t bit_of(std::string_view full_tag) noexcept {
        constexpr std::string_view prefix = "tag:yaml.org,2002:";
        if (full_tag.substr(0, prefix.size()) != prefix) return 0;
        const std::string_view name = full_tag.substr(prefix.size());
        if (name == "null") return 1;
        if (name == "bool") return 2;
        if (name == "int") return 4;
        if (name == "float") return 8;
        if (name == "str") return 16;
        return 0;
    }
    [[nodiscard]] bool contains(std::string_view full_tag) const noexcept {
        const std::uint8_t b = bit_of(full_tag);
        return b != 0 && (bits & b) != 0;
    }
    [[nodiscard]] bool empty() const noexcept { return bits == 0; }
};

/// Types a scalar's text by its style and tag: plain scalars by their text,
/// the standard tags by their rules, and the raw text for a tag in
/// `coercion` (so that the loader registered for it receives the source).
/// `misfit` (when given) is set when the text does not fit its standard
/// tag (!!int 1.5): the value is then the untagged one.
ScalarValue type_scalar(std::string_view text, ScalarStyle style,
                        const std::optional<std::string>& tag, CoercionTags coercion,
                        bool* misfit = nullptr);

/// For a node tagged with a standard tag it cannot be (a sequence tagged
/// !!map, a collection as !!int, a scalar that `type_scalar` found a
/// misfit): the error text, naming the tag; empty when the tag fits or is
/// not one of the core schema's.
std::string core_tag_misfit(std::string_view tag, bool mapping, bool sequence,
                            std::string_view scalar_text, bool scalar_misfit);

/// Whether a plain scalar keeps its source text as `original`: wherever
/// writing the typed value would not give the text back.
bool keeps_original(const ScalarValue& value, std::string_view text, bool tagged);

// Fingerprints of the normalised data that layout records are checked
// against where the text itself cannot tell (see layout.hpp).

/// A value as far as its own text goes: a scalar's value, style, tag,
/// anchor and source text; an alias's name; a collection's style, tag and
/// anchor (not its contents, which keep their own records).
std::uint64_t fingerprint_value(const YamlNode& node) noexcept;
/// A mapping key: its text, style and properties, and a complex key whole.
std::uint64_t fingerprint_key(std::string_view key, const YamlEntry& entry) noexcept;
/// What a document's head depends on: markers, directives, and the root's
/// properties when the root is a block collection.
std::uint64_t fingerprint_head(const DocMetadata& meta, const YamlNode& root) noexcept;
/// Whether `text` is the text of quoted string `s` as it stands: its value
/// between quotes of its style, nothing escaped or folded, and no
/// properties. Compared where a fingerprint would hash the whole string.
bool quoted_as_is(std::string_view text, const YamlScalar& s) noexcept;

/// The synthetic key of a complex (mapping or sequence) key: NUL followed
/// by a canonical flow text of the key, so that it stays the same through
/// edits and reloads: the key [a, b] is NUL followed by ["a", "b"]. A key
/// whose text would pass 4 KB is named by its place instead: NUL, "#" and
/// `count`, the entries before it.
std::string complex_key_string(const YamlNode& key, std::size_t count);

// Number parsing and formatting shared by scalar typing and rendering.

/// Parses one optional '+' or '-' and at least one digit of `base` (8, 10 or
/// 16), nothing else; false on any other text or on overflow of 64 bits.
bool parse_i64(std::string_view text, int base, std::int64_t& out) noexcept;
/// Whether `text` is one optional '+' or '-' and at least one decimal digit,
/// nothing else: an integer of any size.
bool is_decimal_integer(std::string_view text) noexcept;
/// Parses a 64-bit float in decimal notation (optional sign, digits with an
/// optional point, optional exponent) or one of the words inf, infinity and
/// nan in any case. Out-of-range magnitudes saturate to infinity or zero.
bool parse_f64(std::string_view text, double& out) noexcept;
/// Appends the shortest decimal text that reads back as `v` (finite), never
/// in exponent notation and without a forced decimal point (1.0 gives "1").
void append_shortest_fixed(std::string& out, double v);

}  // namespace tesvorn
