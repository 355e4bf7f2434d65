// Stand-ins for the lookup tool. FakeLookupTool: a shell script named
// nslookup in a private folder put first on PATH, which records the
// arguments of every run and prints a fixed output; while one exists, the
// library runs it instead of its bundled helper, so a test sees the exact
// lookup command line and decides the output. ToolFolder: a private folder
// that is the whole PATH, for tests that write their own tools. Plus the
// temporary folder and the scoped environment variable they stand on.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "platform/posix/process.h"

namespace verimex::test {

// A fresh folder under /tmp, removed with everything in it.
class TempDir {
public:
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "verimex-test.XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::system_error(errno, std::generic_category(), "mkdtemp");
        path_ = pattern;
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Sets an environment variable for one scope, and puts back what was there.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name)
    {
        if (const char* old = ::getenv(name))
            old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    ~ScopedEnv()
    {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

// A private folder that is the whole search path while it lives: a tool a
// test writes there is the only program any word on PATH can find, so a
// missing or refused one is never replaced by a system tool further on.
class ToolFolder {
public:
    ToolFolder() : path_("PATH", dir_.path().string()) {}

    const std::filesystem::path& path() const { return dir_.path(); }

    // A shell script called name; executable unless told.
    std::filesystem::path script(const std::string& name, const std::string& body, bool executable = true)
    {
        namespace fs = std::filesystem;
        const fs::path file = dir_.path() / name;
        std::ofstream(file) << "#!/bin/sh\n" << body << "\n";
        fs::permissions(file, executable ? fs::perms::owner_all : fs::perms::owner_read | fs::perms::owner_write);
        return file;
    }
    // A data file beside the tools, byte for byte.
    std::filesystem::path file(const std::string& name, const std::string& content)
    {
        const std::filesystem::path f = dir_.path() / name;
        std::ofstream(f, std::ios::binary) << content;
        return f;
    }

private:
    TempDir dir_;
    ScopedEnv path_;
};

inline std::string read_whole_file(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class FakeLookupTool {
public:
    // output is printed, byte for byte, in one write.
    explicit FakeLookupTool(const std::string& output)
    {
        const std::filesystem::path bin = dir_.path() / "bin";
        std::filesystem::create_directory(bin);
        std::filesystem::create_directory(dir_.path() / "runs");
        std::ofstream(dir_.path() / "output", std::ios::binary) << output;
        const std::filesystem::path script = bin / "nslookup";
        {
            std::ofstream s(script);
            // Each run leaves its arguments, NUL-terminated, in runs/<n>.
            s << "#!/bin/sh\n"
                 "here=" << dir_.path().string() << "\n"
                 "n=$(ls \"$here/runs\" | wc -l)\n"
                 "printf '%s\\0' \"$@\" > \"$here/runs/$n\"\n"
                 "exec cat \"$here/output\"\n";
        }
        std::filesystem::permissions(script, std::filesystem::perms::owner_all |
                                                 std::filesystem::perms::group_read |
                                                 std::filesystem::perms::group_exec);

        const char* path = ::getenv("PATH");
        path_.emplace("PATH", bin.string() + (path != nullptr ? ":" + std::string(path) : std::string()));
        // "" makes the runner look the word "nslookup" up on PATH.
        platform::posix::override_lookup_helper("");
    }
    FakeLookupTool(const FakeLookupTool&) = delete;
    FakeLookupTool& operator=(const FakeLookupTool&) = delete;
    ~FakeLookupTool()
    {
        platform::posix::override_lookup_helper(nullptr);
    }

    // The arguments of every run so far (the program name left out), in
    // the order of the runs.
    std::vector<std::vector<std::string>> runs() const
    {
        std::vector<std::vector<std::string>> all;
        for (int n = 0;; ++n) {
            const std::filesystem::path file = dir_.path() / "runs" / std::to_string(n);
            if (!std::filesystem::exists(file))
                break;
            const std::string text = read_whole_file(file);
            std::vector<std::string> args;
            std::size_t start = 0;
            for (std::size_t nul; (nul = text.find('\0', start)) != std::string::npos; start = nul + 1)
                args.push_back(text.substr(start, nul - start));
            all.push_back(std::move(args));
        }
        return all;
    }

private:
    TempDir dir_;
    std::optional<ScopedEnv> path_;
};

}  // namespace verimex::test
