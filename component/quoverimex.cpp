// Property accessors of the verifier object: plain copies in and out.
#include "verimex/quoverimex.h"

#include <utility>

namespace verimex {

const std::string& quoverimex::email() const { return email_; }
void quoverimex::email(std::string value) { email_ = std::move(value); }
const std::string& quoverimex::nslookup() const { return nslookup_; }
void quoverimex::nslookup(std::string value) { nslookup_ = std::move(value); }
const std::string& quoverimex::smtp() const { return smtp_; }
void quoverimex::smtp(std::string value) { smtp_ = std::move(value); }
const std::string& quoverimex::returnvar() const { return returnvar_; }
void quoverimex::returnvar(std::string value) { returnvar_ = std::move(value); }
const std::string& quoverimex::from() const { return from_; }
void quoverimex::from(std::string value) { from_ = std::move(value); }
std::int16_t quoverimex::timeout() const { return timeout_; }
void quoverimex::timeout(std::int16_t value) { timeout_ = value; }

}  // namespace verimex
