// Server text on one line of a person's terminal or a log: how both
// programs show bytes a mail server or a client sent.
#pragma once

#include <string>
#include <string_view>

namespace verimex::hosting {

// Appends c with control characters shown as \r, \n, \t or \xNN and a
// backslash as \\, so that the text cannot break a line or steer a
// terminal. Bytes from 0x80 up are left alone: they are UTF-8 text.
void append_escaped(std::string& out, char c);

// text with every byte through append_escaped.
std::string escaped(std::string_view text);

}  // namespace verimex::hosting
