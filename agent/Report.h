#pragma once

#include <ostream>
#include <string>

#include "Kel/Type.h"
#include "Scenario.h"

namespace PlinthAgent {

class Host;

// Reads attribute `name` of `object` through its type record, as a host
// that does not know the plug-in's classes must. Null when the type has no
// such attribute or it holds something else.
template <class T>
Kel::Ptr<T> reflectedAttribute(Kel::PtrInterface& object, char const* name) {
    Kel::TypeImpl const* type = object.fwkType();
    Kel::Value value;
    if (type == nullptr ||
        type->genericIfAttributeOp(object, name, Kel::AttrOp::read, value) != Kel::kAttrOpOk) {
        return nullptr;
    }
    try {
        return Kel::fromValue<Kel::Ptr<T>>(value);
    } catch (Kel::RangeException const&) {
        return nullptr;
    }
}

// What `show`, `dump` and `audit` print about a host's state. Reads only.
class Report {
  public:
    explicit Report(Host const& host) : host_(host) {}

    // The JSON object of `dump`, on one line.
    std::string dump() const;
    void show(Scenario::View view, std::ostream& out) const;
    // Lists every key on which the chip table, the status directory and the
    // configuration directory disagree, or "audit: clean".
    void audit(std::ostream& out) const;

  private:
    Host const& host_;
};

}  // namespace PlinthAgent
