#pragma once

#include <cstddef>
#include <ios>
#include <sstream>
#include <string>
#include <type_traits>

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

    template <class T>
    requires(!std::is_function_v<T>) JotterConverter& operator<<(T const& value) {
        if (!haveFormat_) {
            write(value);
            format_ = std::move(stream_).str();
            stream_.str({});
            haveFormat_ = true;
            return *this;
        }
        bool hex = valueStart();
        write(value);
        valueEnd(hex);
        return *this;
    }
    JotterConverter& operator<<(Manipulator manipulator);

    std::string str() const { return out_ + format_.substr(pos_); }

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
