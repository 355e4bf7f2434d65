// A temporary folder for one test binary, and splitting output into lines.
#pragma once

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace verimex::test {

// A folder under /tmp, made on first use and removed, whole, when the
// binary's tests end. Register one with add_temp_folder().
class TempFolder : public ::testing::Environment {
public:
    explicit TempFolder(const std::string& stem) : pattern_("/tmp/" + stem + ".XXXXXX") {}

    std::filesystem::path path()
    {
        if (made_.empty()) {
            std::string pattern = pattern_;
            if (::mkdtemp(pattern.data()) == nullptr)
                throw std::runtime_error("mkdtemp");
            made_ = pattern;
        }
        return made_;
    }

    void TearDown() override
    {
        if (made_.empty())
            return;
        // A read-only mount a case left behind would keep its files.
        ::umount2((made_ / "ro").c_str(), MNT_DETACH);
        std::error_code ignored;
        std::filesystem::remove_all(made_, ignored);
    }

private:
    const std::string pattern_;
    std::filesystem::path made_;
};

// Call at namespace scope, so that the folder's removal is registered
// before the tests run.
inline TempFolder* add_temp_folder(const std::string& stem)
{
    return static_cast<TempFolder*>(::testing::AddGlobalTestEnvironment(new TempFolder(stem)));
}

inline std::vector<std::string> lines_of(std::string_view text)
{
    std::vector<std::string> lines;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        lines.emplace_back(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return lines;
}

}  // namespace verimex::test
