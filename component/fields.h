// Write access to the verifier object's fields for the library's own code,
// where going through the by-value setters would copy a growing transcript.
#pragma once

#include <string>

#include "verimex/quoverimex.h"

namespace verimex::detail {

struct fields {
    static std::string& smtp(quoverimex& self) { return self.smtp_; }
};

}  // namespace verimex::detail
