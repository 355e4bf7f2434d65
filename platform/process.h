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
// Only the tool's standard output is handed to it: no other descriptor or
// handle of ours (the pipe's read end included) reaches the child, so a
// tool whose output we stopped reading ends (broken pipe) instead of
// waiting on itself. A child that ends without output gives empty bytes
// and no failure.
ToolOutput run_tool(std::string_view command_line, std::size_t limit);

// Fault injection at the process seam, for tests: the next run_tool on the
// calling thread fails at `step` as if that call had failed with the OS
// error number `error`. The calls before it are made for real, and what
// they opened (the pipe, the child) is released as on a real failure.
// Failure::none takes an armed fault back.
void fail_next_tool_call(ToolOutput::Failure step, std::int32_t error);

// For the platform halves: the fault armed for this run (step none when
// there is none), disarmed by taking it at the start of run_tool.
struct ToolFault {
    ToolOutput::Failure step = ToolOutput::Failure::none;
    std::int32_t error = 0;
    bool at(ToolOutput::Failure s) const { return step == s; }
};
ToolFault take_tool_fault();

}  // namespace verimex::platform
