// What the address itself tells, without asking anyone: a role account's
// local part, a disposable-address domain.
#pragma once

#include <string>
#include <string_view>

namespace verimex::engine {

// The local part (without a "+tag", in any case) is a role address of RFC
// 2142 or one of the usual ones: postmaster, abuse, info, noreply, ...
bool role_account(std::string_view local);

// Whether domain, or a domain it is a subdomain of, is on the list: the
// shipped one when list_file is empty, else the file (one domain a line,
// '#' comments; read once and again when it changes). A file that cannot
// be read leaves error set and counts nothing as disposable.
bool disposable_domain(std::string_view domain, const std::string& list_file, std::string& error);

}  // namespace verimex::engine
