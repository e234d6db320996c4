// Scratch directories and small file helpers for the archive tests.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "support/temp_dir.h"

// A private directory under /tmp that is also the working directory while the
// object lives (the container writes its temporary files there).
class ScratchDir {
public:
    ScratchDir() {
        char pattern[] = "/tmp/archive_test.XXXXXX";
        const char* made = mkdtemp(pattern);
        path_ = made ? made : "";
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd)) old_cwd_ = cwd;
        if (!path_.empty() && chdir(path_.c_str()) != 0) path_.clear();
    }
    ~ScratchDir() {
        if (!old_cwd_.empty() && chdir(old_cwd_.c_str()) != 0) {
        }
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
    std::string old_cwd_;
};

inline bool file_exists(const std::string& name) {
    return std::filesystem::exists(name);
}

inline std::string random_bytes(std::mt19937& rng, size_t n) {
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng() & 0xFF);
    return s;
}

// Text-like data: words from a small vocabulary, lines and numbers.
inline std::string text_like(std::mt19937& rng, size_t n) {
    static const char* words[] = {"PCI", "device", "vendor", "0x8086", "memory", "slot", "  ", "<ROW>",
                                  "</ROW>", "bridge", "status", "OK", "Unknown", "controller", "\n", "=",
                                  "kernel", "eth0", "cache", "DIMM"};
    std::string s;
    while (s.size() < n) {
        s += words[rng() % 20];
        s += (rng() % 7 == 0) ? '\n' : ' ';
        if (rng() % 13 == 0) s += std::to_string(rng() % 100000);
    }
    s.resize(n);
    return s;
}
