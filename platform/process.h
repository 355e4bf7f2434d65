// Runs the lookup tool: the child's standard output goes to a pipe that is
// read once, and the child is not waited for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace verimex::platform {

struct ToolOutput {
    enum class Failure { none, pipe, start, read };
    Failure failure = Failure::none;
    std::int32_t error = 0;  // the OS error number of the failing call
    std::string bytes;       // what the one read returned, when it succeeded
};

// command_line is split into words at blanks and tabs, no shell involved;
// the first word names the program. At most limit bytes are read, once.
ToolOutput run_tool(std::string_view command_line, std::size_t limit);

}  // namespace verimex::platform
