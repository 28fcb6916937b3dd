#include "LogicalFap/LogicalFapId.h"

namespace LogicalFap {

std::ostream& operator<<(std::ostream& os, LogicalFapId id) {
    return os << "fap" << id.value();
}

}  // namespace LogicalFap
