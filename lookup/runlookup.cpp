#include "lookup/runlookup.h"

#include "component/texts.h"
#include "lookup/reshape.h"
#include "platform/process.h"
#include "verimex/quoverimex.h"

namespace verimex {

void runlookup(quoverimex& self, std::string_view command)
{
    platform::ToolOutput out = platform::run_tool(command, lookup_read_limit);
    switch (out.failure) {
    case platform::ToolOutput::Failure::none:
        self.nslookup(reshape(out.bytes));
        return;
    case platform::ToolOutput::Failure::pipe:
        self.returnvar(texts::pipe_failed(out.error));
        return;
    case platform::ToolOutput::Failure::start:
        self.returnvar(texts::start_failed(out.error));
        return;
    case platform::ToolOutput::Failure::read:
        self.returnvar(texts::read_failed(out.error));
        return;
    }
}

}  // namespace verimex
