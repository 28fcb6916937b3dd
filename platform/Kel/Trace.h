#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "Duplex/JotterConverter.h"
#include "Jotter/RingBuf.h"
#include "Pakt/EthAddr.h"
#include "Vosk/String.h"

namespace Kel {

// A named group of trace sites with its enabled text levels 0..31.
class TraceHandle {
  public:
    explicit TraceHandle(std::string name) : name_(std::move(name)) {}

    std::string const& name() const { return name_; }
    bool enabled(int level) const {
        return static_cast<unsigned>(level) < 32 &&
               ((levels_.load(std::memory_order_relaxed) >> level) & 1U) != 0;
    }
    std::uint32_t levels() const { return levels_.load(std::memory_order_relaxed); }
    void levelsIs(std::uint32_t levels) { levels_.store(levels, std::memory_order_relaxed); }

  private:
    std::string name_;
    std::atomic<std::uint32_t> levels_{0};
};

// The handle called `name`, made on first use with the levels that KEL_TRACE
// and every traceEnable so far give it. Keep the reference: the lookup takes
// a lock, the handle lives as long as the process.
TraceHandle& traceHandle(std::string_view name);

// `setting` is "HANDLE/LEVELS,..." where HANDLE is a name or "*" (every handle,
// now and later) and LEVELS is "*" or levels and ranges such as "0-3,8";
// a bare level after a comma belongs to the handle before it. The whole setting
// is checked first: a bad one changes nothing, returns false and says why
// in `error` (when given). traceEnable turns the levels on, traceDisable off.
bool traceEnable(std::string_view setting, std::string* error);
bool traceDisable(std::string_view setting, std::string* error);

// Where trace lines go; an empty function restores standard error.
void traceSinkIs(std::function<void(std::string_view)> sink);

// Emits "HANDLE/LEVEL SOURCE:LINE FUNCTION: TEXT".
void traceLine(TraceHandle const& handle, int level, char const* source, int line,
               char const* function, std::string_view text);

// ---- Ring encoding of arguments ---------------------------------------------
//
// Every argument is stored as one of a few types (EthAddr, bool, unsigned
// integers, text, the hex switch), each with its ring code. A class type that
// is not built in is stored through a free function found by
// argument-dependent lookup, declared beside the class:
//
//     std::uint16_t jotterValue(VlanId const& id);   // stored as "s"
//
// It returns any type handled here. The text line still shows the class
// through its own operator<<.
namespace traceDetail {

struct HexSwitch {};

inline std::string_view textOf(char const* text) {
    return text != nullptr ? text : "(null)";
}

template <class T>
auto stored(T const& value) {
    using D = std::decay_t<T>;
    if constexpr (std::is_same_v<T, Pakt::EthAddr> || std::is_same_v<T, bool>) {
        return value;
    } else if constexpr (std::is_enum_v<T>) {
        return stored(static_cast<std::underlying_type_t<T>>(value));
    } else if constexpr (std::is_integral_v<T>) {
        return static_cast<std::make_unsigned_t<T>>(value);
    } else if constexpr (std::is_same_v<D, char const*> || std::is_same_v<D, char*>) {
        return textOf(value);
    } else if constexpr (std::is_same_v<T, Vosk::String>) {
        return std::string_view(value.stdString());
    } else if constexpr (std::is_convertible_v<T const&, std::string_view>) {
        return std::string_view(value);
    } else if constexpr (std::is_function_v<T>) {
        return HexSwitch{};
    } else if constexpr (std::is_pointer_v<T>) {
        return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(value));
    } else if constexpr (requires { value.get(); }) {  // Kel::Ptr and other smart pointers
        return stored(value.get());
    } else {
        static_assert(
            requires { jotterValue(value); }, "declare jotterValue(T const&) for this type");
        return stored(jotterValue(value));
    }
}

// What an argument of type T is stored as.
template <class T>
using Stored = decltype(stored(std::declval<T const&>()));

using C = Jotter::MsgFormatString;
template <class S>
inline constexpr C kCode = sizeof(S) == 1   ? C::u
                           : sizeof(S) == 2 ? C::s
                           : sizeof(S) == 4 ? C::i
                                            : C::q;
template <>
inline constexpr C kCode<Pakt::EthAddr> = C::EC;
template <>
inline constexpr C kCode<bool> = C::b;
template <>
inline constexpr C kCode<std::string_view> = C::p;
template <>
inline constexpr C kCode<HexSwitch> = C::x;

// The ring code of an argument of type T.
template <class T>
inline constexpr C codeOf = kCode<Stored<T>>;

// The bytes a stored value takes in a record; 0 for one of varying size.
template <class S>
inline constexpr std::size_t kFixedBytes = sizeof(S);
template <>
inline constexpr std::size_t kFixedBytes<Pakt::EthAddr> = 6;
template <>
inline constexpr std::size_t kFixedBytes<HexSwitch> = 0;
template <class S>
inline constexpr bool kVarying = std::is_same_v<S, std::string_view>;

// Copies a fixed-size value to `at` and moves past it.
template <class S>
void write(std::uint8_t*& at, S const& value) {
    if constexpr (std::is_same_v<S, Pakt::EthAddr>) {
        std::memcpy(at, value.bytes().data(), 6);
    } else if constexpr (!std::is_same_v<S, HexSwitch>) {
        std::memcpy(at, &value, sizeof value);
    }
    at += kFixedBytes<S>;
}

template <class S>
void put(Jotter::RingBuf& ring, S const& value) {
    if constexpr (std::is_same_v<S, Pakt::EthAddr>) {
        ring.put(value.bytes().data(), 6);
    } else if constexpr (std::is_same_v<S, std::string_view>) {
        ring.putText(value);
    } else if constexpr (!std::is_same_v<S, HexSwitch>) {
        ring.put(&value, sizeof value);
    }
}

}  // namespace traceDetail

// ---- Trace sites --------------------------------------------------------------

// The fixed part of one trace site, a function-local static made by the
// macros below. It describes itself to the current ring file on the first
// record written there.
class TraceSite {
  public:
    // Constant: a site's static is then set up when the library loads, and
    // running the site tests no guard.
    constexpr TraceSite(char const* source, int line, char const* function, char const* format,
                        int level)
        : source_(source),
          function_(function),
          format_(format),
          line_(line),
          level_(level),
          levelBit_(level >= 0 && level < 32 ? std::uint32_t{1} << level : 0) {}

    template <class... A>
    void trace(TraceHandle const& handle, A const&... args) {
        if (Jotter::RingBuf* ring = Jotter::defaultHandle()) {
            record(*ring, args...);
        }
        text(handle, args...);
    }

    template <class... A>
    void text(TraceHandle const& handle, A const&... args) {
        if ((handle.levels() & levelBit_) != 0) {
            emit(handle, args...);
        }
    }

  private:
    template <class... A>
    void record(Jotter::RingBuf& ring, A const&... args) {
        if (generation_.load(std::memory_order_acquire) != ring.generation()) {
            describe<A...>(ring);
        }
        std::uint32_t const id = descId_.load(std::memory_order_relaxed);
        if (id == 0) {
            return;
        }
        using namespace traceDetail;
        if constexpr ((!kVarying<Stored<A>> && ...)) {
            // The common site: every value's size is known here, so the
            // record is written with no check per value.
            constexpr std::size_t bytes = (std::size_t{0} + ... + kFixedBytes<Stored<A>>);
            static_assert(bytes <= Jotter::RingBuf::kMaxFixedValues);
            std::uint8_t* at = ring.startFixedMsg(id);
            (write(at, stored(args)), ...);
            ring.endMsg(bytes);
        } else {
            ring.startMsg(id);
            (put(ring, stored(args)), ...);
            ring.endMsg();
        }
    }

    template <class... A>
    [[gnu::noinline]] void describe(Jotter::RingBuf& ring) {
        static_assert(sizeof...(A) < 256, "a description holds at most 255 codes");
        std::array<Jotter::MsgFormatString, sizeof...(A)> codes{traceDetail::codeOf<A>...};
        descId_.store(
            ring.describe(function_, source_, static_cast<std::uint32_t>(line_), format_, codes),
            std::memory_order_relaxed);
        generation_.store(ring.generation(), std::memory_order_release);
    }

    template <class... A>
    [[gnu::noinline]] void emit(TraceHandle const& handle, A const&... args) {
        Duplex::JotterConverter converter;
        ((converter << format_) << ... << args);
        traceLine(handle, level_, source_, line_, function_, converter.str());
    }

    char const* source_;
    char const* function_;
    char const* format_;
    int line_;
    int level_;
    std::uint32_t levelBit_;  // the level among a handle's levels; none if out of range
    std::atomic<std::uint32_t> descId_{0};
    std::atomic<std::uint64_t> generation_{0};
};

}  // namespace Kel

// A trace site: records in the default ring file whatever the level, and
// writes a text line when `level` is enabled on `handle`. `source` must live
// as long as the process (a literal); `format` is a literal with "%s" or
// "%x" per argument.
#define KEL_TRACE(handle, level, source, format, ...)                                    \
    do {                                                                                 \
        static ::Kel::TraceSite kelTraceSite(source, __LINE__, __func__, format, level); \
        kelTraceSite.trace(handle __VA_OPT__(, ) __VA_ARGS__);                           \
    } while (false)

// A text-only trace site, for dumps with no place in the ring file.
#define KEL_TRACE_TEXT(handle, level, source, format, ...)                               \
    do {                                                                                 \
        static ::Kel::TraceSite kelTraceSite(source, __LINE__, __func__, format, level); \
        kelTraceSite.text(handle __VA_OPT__(, ) __VA_ARGS__);                            \
    } while (false)
