#pragma once

#include <algorithm>
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
        auto it = std::find(names_.begin(), names_.end(), name);
        if (it == names_.end()) {
            throw EnumValueException("'" + std::string(name) + "' is not an enumerator");
        }
        return static_cast<E>(it - names_.begin());
    }

    // The name of `value`; refused for a value outside the enumerators.
    std::string_view nameOf(E value) const {
        return names_[static_cast<std::size_t>(valueFromNumber(static_cast<unsigned>(value)))];
    }

    // Parses `range` as exactly one enumerator name: a name with anything
    // before or after it is no name. On success stores the value, advances
    // the range to its end and answers true; else leaves both alone and
    // answers false.
    bool sequenceToValue(CharRange& range, E* value) const {
        std::string_view text(range.begin, static_cast<std::size_t>(range.end - range.begin));
        if (std::find(names_.begin(), names_.end(), text) == names_.end()) {
            return false;
        }
        *value = valueFromName(text);
        range.begin = range.end;
        return true;
    }

  private:
    TypeImpl const* owner_;  // not owned
    std::vector<std::string_view> names_;
};

}  // namespace Kel
