#include "Corral/Mount.h"

#include "Kel/Error.h"

namespace Corral {

std::ostream& operator<<(std::ostream& os, MountStatus status) {
    switch (status) {
        case MountStatus::complete:
            return os << "mountComplete";
        case MountStatus::incomplete:
            return os << "mountIncomplete";
    }
    return os << "MountStatus(" << static_cast<unsigned>(status) << ")";
}

void Mount::handleFlags(Vosk::String const& letters) {
    for (char c : letters.stdString()) {
        switch (c) {
            case 'r':
                flags_ |= kMountRead;
                break;
            case 'w':
                flags_ |= kMountRead | kMountWrite;
                break;
            default:
                Kel::throwRangeException(std::string("unknown mount flag '") + c + "'");
        }
    }
}

}  // namespace Corral
