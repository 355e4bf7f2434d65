// The lookup runner's portable part: the fault a test has armed for the
// next run on its thread, which both platform halves consult at each step.
#include "platform/process.h"

namespace verimex::platform {

namespace {

// Per thread, so a test on one thread cannot break a lookup on another.
thread_local ToolFault armed;

}  // namespace

void fail_next_tool_call(ToolOutput::Failure step, std::int32_t error)
{
    armed = ToolFault{step, error};
}

ToolFault take_tool_fault()
{
    const ToolFault fault = armed;
    armed = ToolFault{};
    return fault;
}

}  // namespace verimex::platform
