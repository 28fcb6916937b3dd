#pragma once

#include <atomic>
#include <concepts>
#include <cstdint>
#include <functional>
#include <ios>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "Duplex/JotterConverter.h"
#include "Jotter/RingBuf.h"
#include "Kel/Ptr.h"
#include "Pakt/EthAddr.h"
#include "Vosk/String.h"

namespace Kel {

// A named group of trace sites with its enabled text levels 0..31.
class TraceHandle {
  public:
    explicit TraceHandle(std::string name) : name_(std::move(name)) {}
    TraceHandle(TraceHandle const&) = delete;
    TraceHandle& operator=(TraceHandle const&) = delete;

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

// Collects the text of one line and emits it when it goes out of scope as
// "HANDLE/LEVEL SOURCE:LINE FUNCTION: TEXT".
class TraceHelper {
  public:
    TraceHelper(TraceHandle const& handle, int level, std::string_view source, int line,
                std::string_view function);
    ~TraceHelper();
    TraceHelper(TraceHelper const&) = delete;
    TraceHelper& operator=(TraceHelper const&) = delete;

    TraceHelper& operator<<(std::string_view text);

  private:
    std::string line_;
};

// ---- Ring encoding of arguments ---------------------------------------------
//
// Each argument type maps to one code of the ring file. A class type that is
// not built in records through a free function found by argument-dependent
// lookup, declared beside the class:
//
//     std::uint16_t jotterValue(VlanId const& id);   // records as "s"
//
// It returns any type handled here (integers, bool, enumerations,
// Pakt::EthAddr, text, or another such class). The text line still shows the
// class through its own operator<<.

template <class T>
struct TraceArgTraits;

namespace traceDetail {

template <class T>
struct IsKelPtr : std::false_type {};
template <class T>
struct IsKelPtr<Ptr<T>> : std::true_type {};

template <class T>
concept Text = std::is_convertible_v<T const&, std::string_view> ||
    std::is_same_v<T, Vosk::String> || std::is_same_v<T, char const*> || std::is_same_v<T, char*>;

template <class T>
concept Manipulator =
    std::is_function_v<T> || std::is_same_v<T, Duplex::JotterConverter::Manipulator>;

template <class T>
concept Custom = requires(T const& value) {
    jotterValue(value);
};

inline std::string_view textOf(Vosk::String const& s) {
    return s.stdString();
}
inline std::string_view textOf(char const* s) {
    return s != nullptr ? s : "(null)";
}
inline std::string_view textOf(std::string_view s) {
    return s;
}
// Exact match for std::string, which otherwise converts to both of the above.
inline std::string_view textOf(std::string const& s) {
    return s;
}

template <class T>
constexpr Jotter::MsgFormatString integralCode() {
    static_assert(sizeof(T) <= 8, "no ring code for integers wider than 64 bits");
    using C = Jotter::MsgFormatString;
    return sizeof(T) == 1 ? C::u : sizeof(T) == 2 ? C::s : sizeof(T) == 4 ? C::i : C::q;
}

template <class T>
void writeIntegral(Jotter::RingBuf& ring, T value) {
    if constexpr (sizeof(T) == 1) {
        ring.writeU8(static_cast<std::uint8_t>(value));
    } else if constexpr (sizeof(T) == 2) {
        ring.writeU16(static_cast<std::uint16_t>(value));
    } else if constexpr (sizeof(T) == 4) {
        ring.writeU32(static_cast<std::uint32_t>(value));
    } else {
        ring.writeU64(static_cast<std::uint64_t>(value));
    }
}

}  // namespace traceDetail

template <class T>
struct TraceArgTraits {
    using C = Jotter::MsgFormatString;

    static constexpr C code() {
        if constexpr (std::is_same_v<T, Pakt::EthAddr>) {
            return C::EC;
        } else if constexpr (std::is_same_v<T, bool>) {
            return C::b;
        } else if constexpr (std::is_enum_v<T>) {
            return traceDetail::integralCode<std::underlying_type_t<T>>();
        } else if constexpr (std::is_integral_v<T>) {
            return traceDetail::integralCode<T>();
        } else if constexpr (traceDetail::Text<T>) {
            return C::p;
        } else if constexpr (traceDetail::Manipulator<T>) {
            return C::x;
        } else if constexpr (traceDetail::IsKelPtr<T>::value || std::is_pointer_v<T>) {
            return C::q;
        } else {
            static_assert(traceDetail::Custom<T>, "declare jotterValue(T const&) for this type");
            return TraceArgTraits<
                std::remove_cvref_t<decltype(jotterValue(std::declval<T const&>()))>>::code();
        }
    }

    static void write(Jotter::RingBuf& ring, T const& value) {
        if constexpr (std::is_same_v<T, Pakt::EthAddr>) {
            ring.writeEthAddr(value);
        } else if constexpr (std::is_same_v<T, bool>) {
            ring.writeBool(value);
        } else if constexpr (std::is_enum_v<T>) {
            traceDetail::writeIntegral(ring, static_cast<std::underlying_type_t<T>>(value));
        } else if constexpr (std::is_integral_v<T>) {
            traceDetail::writeIntegral(ring, value);
        } else if constexpr (traceDetail::Text<T>) {
            ring.writeText(traceDetail::textOf(value));
        } else if constexpr (traceDetail::Manipulator<T>) {
            // The switch is in the description; nothing to store.
        } else if constexpr (traceDetail::IsKelPtr<T>::value) {
            ring.writeU64(reinterpret_cast<std::uintptr_t>(value.get()));
        } else if constexpr (std::is_pointer_v<T>) {
            ring.writeU64(reinterpret_cast<std::uintptr_t>(value));
        } else {
            using V = std::remove_cvref_t<decltype(jotterValue(value))>;
            TraceArgTraits<V>::write(ring, jotterValue(value));
        }
    }
};

// ---- Trace sites --------------------------------------------------------------

// The fixed part of one trace site, a function-local static made by the
// macros below. It describes itself to the current ring file on the first
// record written there.
class TraceSite {
  public:
    TraceSite(char const* source, int line, char const* function, char const* format, int level)
        : source_(source), function_(function), format_(format), line_(line), level_(level) {}

    template <class... A>
    void trace(TraceHandle const& handle, A const&... args) {
        if (Jotter::RingBuf* ring = Jotter::defaultHandle()) {
            record(*ring, args...);
        }
        text(handle, args...);
    }

    template <class... A>
    void text(TraceHandle const& handle, A const&... args) {
        if (handle.enabled(level_)) {
            emit(handle, args...);
        }
    }

  private:
    template <class T>
    using Arg = std::remove_cvref_t<T>;

    template <class... A>
    void record(Jotter::RingBuf& ring, A const&... args) {
        if (generation_.load(std::memory_order_acquire) != ring.generation()) {
            describe<A...>(ring);
        }
        std::uint32_t id = descId_.load(std::memory_order_relaxed);
        if (id == 0) {
            return;
        }
        ring.startMsg(id);
        (TraceArgTraits<Arg<A>>::write(ring, args), ...);
        ring.endMsg();
    }

    template <class... A>
    [[gnu::noinline]] void describe(Jotter::RingBuf& ring) {
        Jotter::MsgDesc desc(ring, function_, source_, static_cast<std::uint32_t>(line_));
        (desc.codeAdd(TraceArgTraits<Arg<A>>::code()), ...);
        descId_.store(desc.formatIs(format_).finish(), std::memory_order_relaxed);
        generation_.store(ring.generation(), std::memory_order_release);
    }

    template <class... A>
    [[gnu::noinline]] void emit(TraceHandle const& handle, A const&... args) {
        Duplex::JotterConverter converter;
        converter << format_;
        if constexpr (sizeof...(A) == 0) {
            converter << Jotter::QNull;
        } else {
            (converter << ... << args);
        }
        TraceHelper(handle, level_, source_, line_, function_) << converter.str();
    }

    char const* source_;
    char const* function_;
    char const* format_;
    int line_;
    int level_;
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
