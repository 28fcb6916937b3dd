#include "Toggle/Toggle.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>

namespace {

std::mutex stateMutex;
std::string dirOverride;
std::string lastErrorText;

// Just enough JSON to read a flat object of toggles while rejecting anything
// malformed: nested values are checked for syntax and skipped.
class TogglesParser {
  public:
    explicit TogglesParser(std::string const& text) : text_(text) {}

    // Members with a boolean or numeric value; nullopt with error() set when
    // the text is not a JSON object.
    std::optional<std::map<std::string, std::uint32_t>> parse() {
        std::map<std::string, std::uint32_t> out;
        skipBlanks();
        if (!expect('{')) {
            return std::nullopt;
        }
        skipBlanks();
        if (peek() == '}') {
            ++pos_;
            return finish(out);
        }
        while (true) {
            skipBlanks();
            std::string key;
            if (!string(&key)) {
                return std::nullopt;
            }
            skipBlanks();
            if (!expect(':')) {
                return std::nullopt;
            }
            skipBlanks();
            std::optional<std::uint32_t> number;
            if (!value(&number)) {
                return std::nullopt;
            }
            if (number) {
                out[key] = *number;
            }
            skipBlanks();
            if (peek() == ',') {
                ++pos_;
                continue;
            }
            if (!expect('}', "',' or '}'")) {
                return std::nullopt;
            }
            return finish(out);
        }
    }

    std::string const& error() const { return error_; }

  private:
    std::optional<std::map<std::string, std::uint32_t>> finish(
        std::map<std::string, std::uint32_t> out) {
        skipBlanks();
        if (pos_ != text_.size()) {
            fail("unexpected text after the object");
            return std::nullopt;
        }
        return out;
    }

    char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
    void skipBlanks() {
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) {
            ++pos_;
        }
    }
    bool fail(std::string const& what) {
        if (error_.empty()) {
            int line = 1;
            for (std::size_t i = 0; i < pos_ && i < text_.size(); ++i) {
                line += text_[i] == '\n';
            }
            error_ = std::to_string(line) + ": " + what;
        }
        return false;
    }
    bool expect(char c, char const* what = nullptr) {
        if (peek() != c) {
            return fail(std::string("expected ") + (what ? what : std::string("'") + c + "'"));
        }
        ++pos_;
        return true;
    }
    bool literal(std::string_view word) {
        if (text_.compare(pos_, word.size(), word) != 0) {
            return fail("unknown literal");
        }
        pos_ += word.size();
        return true;
    }
    bool string(std::string* out) {
        if (!expect('"', "a string")) {
            return false;
        }
        while (pos_ < text_.size() && text_[pos_] != '"') {
            if (static_cast<unsigned char>(text_[pos_]) < 0x20) {
                return fail("control character in string");
            }
            if (text_[pos_] == '\\') {
                ++pos_;
                if (pos_ >= text_.size() ||
                    std::string_view("\"\\/bfnrtu").find(text_[pos_]) == std::string_view::npos) {
                    return fail("bad escape in string");
                }
            }
            out->push_back(text_[pos_++]);
        }
        return expect('"', "end of string");
    }
    bool number(std::optional<std::uint32_t>* out) {
        std::size_t start = pos_;
        if (peek() == '-') {
            ++pos_;
        }
        if (!std::isdigit(static_cast<unsigned char>(peek()))) {
            return fail("bad number");
        }
        while (std::isdigit(static_cast<unsigned char>(peek())) || peek() == '.' || peek() == 'e' ||
               peek() == 'E' || peek() == '+' || peek() == '-') {
            ++pos_;
        }
        char* end = nullptr;
        std::string digits = text_.substr(start, pos_ - start);
        double v = std::strtod(digits.c_str(), &end);
        if (end != digits.c_str() + digits.size()) {
            return fail("bad number");
        }
        *out = static_cast<std::uint32_t>(static_cast<std::int64_t>(v));
        return true;
    }
    bool value(std::optional<std::uint32_t>* out, int depth = 0) {
        if (depth > 64) {
            return fail("nesting too deep");
        }
        skipBlanks();
        switch (peek()) {
            case 't':
                *out = 1;
                return literal("true");
            case 'f':
                *out = 0;
                return literal("false");
            case 'n':
                return literal("null");
            case '"': {
                std::string ignored;
                return string(&ignored);
            }
            case '[':
                return container(']', depth);
            case '{':
                return container('}', depth);
            default:
                return number(out);
        }
    }
    // Checks an array or object and discards it.
    bool container(char close, int depth) {
        ++pos_;
        skipBlanks();
        if (peek() == close) {
            ++pos_;
            return true;
        }
        while (true) {
            skipBlanks();
            if (close == '}') {
                std::string key;
                skipBlanks();
                if (!string(&key)) {
                    return false;
                }
                skipBlanks();
                if (!expect(':')) {
                    return false;
                }
            }
            std::optional<std::uint32_t> ignored;
            if (!value(&ignored, depth + 1)) {
                return false;
            }
            skipBlanks();
            if (peek() == ',') {
                ++pos_;
                continue;
            }
            return expect(close);
        }
    }

    std::string const& text_;
    std::size_t pos_ = 0;
    std::string error_;
};

}  // namespace

std::uint32_t getToggleState(std::string const& name, std::string const& file, bool defaultState) {
    std::string const path = Toggle::toggleDir() + "/" + file;
    std::ifstream in(path);
    std::lock_guard lock(stateMutex);
    lastErrorText.clear();
    if (!in) {
        return defaultState ? 1U : 0U;
    }
    std::stringstream text;
    text << in.rdbuf();
    std::string const content = text.str();
    TogglesParser parser(content);
    auto toggles = parser.parse();
    if (!toggles) {
        lastErrorText = path + ":" + parser.error();
        return defaultState ? 1U : 0U;
    }
    auto it = toggles->find(name);
    return it == toggles->end() ? (defaultState ? 1U : 0U) : it->second;
}

namespace Toggle {

void toggleDirIs(std::string const& dir) {
    std::lock_guard lock(stateMutex);
    dirOverride = dir;
}

std::string toggleDir() {
    {
        std::lock_guard lock(stateMutex);
        if (!dirOverride.empty()) {
            return dirOverride;
        }
    }
    char const* env = std::getenv("PLINTH_TOGGLE_DIR");
    return env && *env ? env : "/etc/plinth";
}

std::string lastError() {
    std::lock_guard lock(stateMutex);
    return lastErrorText;
}

}  // namespace Toggle
