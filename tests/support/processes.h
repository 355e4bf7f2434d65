// The descriptors and children of this test process, read from /proc.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace verimex::test {

// Descriptors open here (the one reading /proc/self/fd included).
inline std::size_t open_descriptors()
{
    const std::filesystem::directory_iterator fds("/proc/self/fd");
    return static_cast<std::size_t>(std::distance(begin(fds), end(fds)));
}

// Children of this process still in the process table, zombies included.
inline std::vector<pid_t> our_children()
{
    std::vector<pid_t> found;
    const std::string me = std::to_string(::getpid());
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line))
            continue;
        // pid (comm) state ppid ...: comm may hold blanks, so start after ')'.
        std::istringstream rest(line.substr(line.rfind(')') + 1));
        std::string state, ppid;
        rest >> state >> ppid;
        if (ppid == me)
            found.push_back(std::stoi(name));
    }
    return found;
}

}  // namespace verimex::test
