#include "Duplex/JotterConverter.h"

#include <algorithm>

namespace Duplex {

bool JotterConverter::valueStart() {
    std::size_t x = format_.find("%x", pos_);
    std::size_t mark = std::min(x, format_.find("%s", pos_));
    if (mark == std::string::npos) {
        out_.append(format_, pos_);
        pos_ = format_.size();
        return false;
    }
    out_.append(format_, pos_, mark - pos_);
    pos_ = mark + 2;
    if (mark != x) {
        return false;
    }
    savedFlags_ = stream_.flags();
    stream_.setf(std::ios_base::hex, std::ios_base::basefield);
    stream_.unsetf(std::ios_base::showbase);
    return true;
}

void JotterConverter::valueEnd(bool hex) {
    out_ += stream_.view();
    stream_.str({});
    if (hex) {
        stream_.flags(savedFlags_);
    }
}

JotterConverter& JotterConverter::operator<<(Manipulator manipulator) {
    valueEnd(valueStart());
    manipulator(stream_);
    return *this;
}

}  // namespace Duplex
