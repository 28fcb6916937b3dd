#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "Kel/Error.h"

namespace Kel {

class TypeImpl;

// A range of characters being parsed; sequenceToValue advances `begin` past
// what it consumed.
struct CharRange {
    char const* begin;
    char const* end;
};

// Text conversions of a one-byte enumeration whose enumerators are 0..N-1,
// bound to the type record of the class that declares it. Anything that is
// not an enumerator is refused with EnumValueException.
template <class E>
requires(std::is_enum_v<E> && sizeof(E) == 1) class EnumType {
  public:
    EnumType(TypeImpl const* owner, std::vector<std::string_view> names)
        : owner_(owner), names_(std::move(names)) {}

    TypeImpl const* owner() const { return owner_; }

    E valueFromNumber(unsigned number) const {
        if (number >= names_.size()) {
            throw EnumValueException(std::to_string(number) + " is not an enumerator");
        }
        return static_cast<E>(number);
    }

    E valueFromName(std::string_view name) const {
        for (std::size_t i = 0; i < names_.size(); ++i) {
            if (names_[i] == name) {
                return static_cast<E>(i);
            }
        }
        throw EnumValueException("'" + std::string(name) + "' is not an enumerator");
    }

    // The name of `value`; refused for a value outside the enumerators.
    std::string_view nameOf(E value) const {
        auto n = static_cast<std::size_t>(value);
        if (n < names_.size()) {
            return names_.at(n);
        }
        throw EnumValueException(std::to_string(n) + " is not an enumerator");
    }

    // Parses `range` as exactly one enumerator name: a name with anything
    // before or after it is no name. On success stores the value, advances
    // the range to its end and answers true; else leaves both alone and
    // answers false.
    bool sequenceToValue(CharRange& range, E* value) const {
        std::string_view text(range.begin, static_cast<std::size_t>(range.end - range.begin));
        for (std::size_t i = 0; i < names_.size(); ++i) {
            if (names_[i] == text) {
                *value = static_cast<E>(i);
                range.begin = range.end;
                return true;
            }
        }
        return false;
    }

  private:
    TypeImpl const* owner_;  // not owned
    std::vector<std::string_view> names_;
};

}  // namespace Kel
