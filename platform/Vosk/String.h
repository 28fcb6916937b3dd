#pragma once

#include <compare>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>

namespace Vosk {

// The framework's string value: built from text, copied, compared.
class String {
  public:
    String() = default;
    String(char const* text) : text_(text ? text : "") {}  // NOLINT: implicit on purpose
    String(std::string text) : text_(std::move(text)) {}   // NOLINT
    String(std::string_view text) : text_(text) {}         // NOLINT

    std::string const& stdString() const { return text_; }
    char const* c_str() const { return text_.c_str(); }
    bool empty() const { return text_.empty(); }
    std::size_t size() const { return text_.size(); }

    friend bool operator==(String const&, String const&) = default;
    friend auto operator<=>(String const&, String const&) = default;
    friend std::ostream& operator<<(std::ostream& os, String const& s) { return os << s.text_; }

  private:
    std::string text_;
};

}  // namespace Vosk

template <>
struct std::hash<Vosk::String> {
    std::size_t operator()(Vosk::String const& s) const noexcept {
        return std::hash<std::string>()(s.stdString());
    }
};
