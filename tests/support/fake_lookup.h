// A stand-in for the lookup tool: a shell script named nslookup in a
// private folder put first on PATH, which records the arguments of every
// run and prints a fixed output. While one exists, the library runs it
// instead of its bundled helper, so a test sees the exact lookup command
// line and decides the output. Plus the temporary folder it lives in.
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

        if (const char* path = ::getenv("PATH"))
            saved_path_ = path;
        const std::string path = bin.string() + (saved_path_ ? ":" + *saved_path_ : std::string());
        ::setenv("PATH", path.c_str(), 1);
        // "" makes the runner look the word "nslookup" up on PATH.
        platform::posix::override_lookup_helper("");
    }
    FakeLookupTool(const FakeLookupTool&) = delete;
    FakeLookupTool& operator=(const FakeLookupTool&) = delete;
    ~FakeLookupTool()
    {
        platform::posix::override_lookup_helper(nullptr);
        if (saved_path_)
            ::setenv("PATH", saved_path_->c_str(), 1);
        else
            ::unsetenv("PATH");
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
    std::optional<std::string> saved_path_;
};

}  // namespace verimex::test
