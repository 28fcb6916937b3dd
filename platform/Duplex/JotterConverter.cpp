#include "Duplex/JotterConverter.h"

#include <algorithm>

namespace Duplex {

JotterConverter::JotterConverter() = default;

void JotterConverter::formatIs() {
    format_ = std::move(stream_).str();
    stream_.str({});
    haveFormat_ = true;
}

bool JotterConverter::valueStart() {
    std::size_t x = format_.find("%x", pos_);
    std::size_t s = format_.find("%s", pos_);
    std::size_t mark = std::min(x, s);
    if (mark == std::string::npos) {
        out_.append(format_, pos_);
        pos_ = format_.size();
        return false;
    }
    out_.append(format_, pos_, mark - pos_);
    pos_ = mark + 2;
    bool hex = mark == x;
    if (hex) {
        savedFlags_ = stream_.flags();
        stream_.setf(std::ios_base::hex, std::ios_base::basefield);
        stream_.unsetf(std::ios_base::showbase);
    }
    return hex;
}

void JotterConverter::valueEnd(bool hex) {
    out_ += stream_.view();
    stream_.str({});
    if (hex) {
        stream_.flags(savedFlags_);
    }
}

JotterConverter& JotterConverter::operator<<(Manipulator manipulator) {
    if (!haveFormat_) {
        formatIs();
    }
    valueEnd(valueStart());
    manipulator(stream_);
    return *this;
}

std::string JotterConverter::str() const {
    if (pos_ >= format_.size()) {
        return out_;
    }
    return out_ + format_.substr(pos_);
}

}  // namespace Duplex
