#pragma once

#include <cstddef>
#include <ios>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>

#include "Jotter/RingBuf.h"

namespace Duplex {

// Turns a trace format and its arguments into the text of one trace line.
// The first insertion is the format; each later one fills the first "%x" or
// "%s" still ahead ("%x" in hexadecimal without a prefix, "%s" with the
// stream's current settings) or, with no mark left, goes at the end.
// std::hex consumes a mark, writes nothing and makes the later values
// hexadecimal. Whatever follows the last mark used is kept by str().
class JotterConverter {
  public:
    using Manipulator = std::ios_base& (*)(std::ios_base&);

    JotterConverter();

    template <class T>
    requires(!std::is_function_v<T>) JotterConverter& operator<<(T const& value) {
        if (!haveFormat_) {
            write(value);
            formatIs();
            return *this;
        }
        bool hex = valueStart();
        write(value);
        valueEnd(hex);
        return *this;
    }
    JotterConverter& operator<<(Manipulator manipulator);
    JotterConverter& operator<<(Jotter::QNullType) { return *this; }

    std::string str() const;

  private:
    template <class T>
    void write(T const& value) {
        if constexpr (std::is_integral_v<T> && sizeof(T) == 1 && !std::is_same_v<T, bool>) {
            stream_ << +value;  // a number, never a character
        } else if constexpr (std::is_enum_v<T> && !requires(std::ostream & os) { os << value; }) {
            write(static_cast<std::underlying_type_t<T>>(value));
        } else if constexpr (std::is_same_v<T, char const*> || std::is_same_v<T, char*>) {
            stream_ << (value != nullptr ? static_cast<char const*>(value) : "(null)");
        } else {
            stream_ << value;
        }
    }

    void formatIs();
    // Copies the text up to the next mark and returns whether it is "%x".
    bool valueStart();
    void valueEnd(bool hex);

    std::ostringstream stream_;
    std::ios_base::fmtflags savedFlags_{};
    std::string format_;
    std::size_t pos_ = 0;
    std::string out_;
    bool haveFormat_ = false;
};

}  // namespace Duplex
