#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace PlinthFuzz {

// A fresh directory for files a target rewrites on every input, removed
// when the run ends. In memory where the machine offers it: a disk file
// system flushes a file that is truncated and rewritten, which would make
// each input wait for the disk.
class ScratchDir {
  public:
    explicit ScratchDir(char const* prefix) {
        std::filesystem::path base = "/dev/shm";
        if (!std::filesystem::is_directory(base)) {
            base = std::filesystem::temp_directory_path();
        }
        std::string pattern = base / (std::string(prefix) + "-XXXXXX");
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(ScratchDir const&) = delete;
    ScratchDir& operator=(ScratchDir const&) = delete;

    std::string const& path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace PlinthFuzz
