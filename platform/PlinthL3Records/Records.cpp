// Text forms of the My Station record library.
#include "PlinthL3Records/RoutingRecords.h"

namespace PlinthL3 {

std::ostream& operator<<(std::ostream& os, MacState const& state) {
    return os << state.mac << (state.valid ? " valid" : " invalid");
}

}  // namespace PlinthL3
