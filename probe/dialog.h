// The SMTP dialog with one mail exchanger.
#pragma once

#include <string_view>

namespace verimex {

class quoverimex;

enum class ProbeOutcome { verified, timed_out, connect_failed, rejected };

// Connects to host on port 25, reads the banner, sends helo and vrfy, judges
// the vrfy reply, sends quit. Every step is appended to smtp; returnvar holds
// the outcome's text. A server that hangs up before it answers vrfy has
// refused: rejected, with its last reply of class 4 or 5 in returnvar, or
// the could-not-connect text when its last reply was none.
ProbeOutcome probe(quoverimex& self, std::string_view host);

}  // namespace verimex
