// A small copy of the machine's /proc, /sys, /etc and /dev made by each
// test in its private folder, with the system root pointed at it, and the
// tool runner replaced by a script of canned results.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "probes/probe_fixture.h"
#include "system/bounded_command.h"
#include "system/system_files.h"

// What the fake runner answers, and what it was asked.
struct fake_tools {
    std::map<std::string, command_result> results;  // by tool name
    std::vector<std::string> present;                // tools that exist
    std::vector<std::string> runs;                   // argument lists run, blank-joined
    std::string folder;                              // where the present tools "are"

    static fake_tools& instance() {
        static fake_tools tools;
        return tools;
    }
    static std::string find(const char* tool) {
        fake_tools& f = instance();
        for (const std::string& name : f.present)
            if (name == tool) return f.folder + "/" + name;
        return "";
    }
    static command_result run(const char* const* argv, int, size_t) {
        fake_tools& f = instance();
        std::string name = argv[0];
        name = name.substr(name.rfind('/') + 1);
        std::string joined = name;
        for (const char* const* arg = argv + 1; *arg; ++arg) joined += std::string(" ") + *arg;
        f.runs.push_back(joined);
        auto found = f.results.find(name);
        if (found != f.results.end()) return found->second;
        command_result none;
        return none;
    }
};

class SystemTreeTest : public ProbeTest {
protected:
    void SetUp() override {
        ProbeTest::SetUp();
        root_ = folder_.file("root");
        std::filesystem::create_directories(root_);
        set_system_root(root_.c_str());
        fake_tools::instance() = fake_tools{};
        fake_tools::instance().folder = folder_.file("bin");
        set_command_runner(fake_tools::run, fake_tools::find);
    }
    void TearDown() override {
        set_system_root(nullptr);
        set_command_runner(nullptr, nullptr);
        ProbeTest::TearDown();
    }

    // A file of the fixture tree (its folders made as needed).
    void put(const std::string& path, const std::string& content) {
        std::filesystem::create_directories(std::filesystem::path(root_ + path).parent_path());
        write_file(root_ + path, content);
    }
    void folder(const std::string& path) { std::filesystem::create_directories(root_ + path); }
    void link(const std::string& path, const std::string& target) {
        std::filesystem::create_directories(std::filesystem::path(root_ + path).parent_path());
        ASSERT_EQ(symlink(target.c_str(), (root_ + path).c_str()), 0) << path;
    }
    static fake_tools& tools() { return fake_tools::instance(); }
    static command_result exited(int code, const std::string& output) {
        command_result result;
        result.started = true;
        result.status = code << 8;
        result.output = output;
        return result;
    }

    std::string root_;
};
