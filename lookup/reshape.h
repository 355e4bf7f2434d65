// Brings the output of a lookup tool into the shape the MX scanner reads.
#pragma once

#include <string>
#include <string_view>

namespace verimex {

// Every LF line end becomes CR LF. A record such as BIND's or busybox's
// "mail exchanger = 10 mx.example.org." loses its preference number and the
// root dot: "mail exchanger = mx.example.org". Lines already in shape, as
// Windows' nslookup and the bundled helper print them, stay as they are; a
// last line without a line end (the output was cut) gets none added.
std::string reshape(std::string_view raw);

}  // namespace verimex
