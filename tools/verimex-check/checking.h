// One address through the verifier: the only part of verimex-check that
// touches libverimex. It returns a record and prints nothing, so the same
// call serves a one-by-one run and, later, workers that each check their
// share of a list on their own thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "jobs/store.h"

namespace verimex_check {

// The component's result for a verified address.
inline constexpr std::string_view verified_code = "000";

// The inputs every address of a run shares.
struct CheckSettings {
    std::string from;
    std::int16_t timeout = 0;
    std::string dns_server;
};

struct CheckResult {
    std::string address;
    std::string returnvar;   // the component's result, as written
    std::string transcript;  // smtp after the check: CR LF line ends
    // The message of an error the platform raised during the check; empty
    // when the check returned normally. returnvar and transcript then hold
    // what had been written up to the failure.
    std::string platform_error;
    // The check could not get a file descriptor (for its connection, the
    // resolver or the lookup pipe): its outcome says nothing about the
    // address, which should be checked again once descriptors are free.
    bool out_of_descriptors = false;

    bool failed() const { return !platform_error.empty(); }
    bool verified() const { return !failed() && returnvar == verified_code; }
};

// Checks address with a fresh verifier object on the calling thread.
CheckResult check_address(std::string_view address, const CheckSettings& settings);

// A check's outcome as a job keeps it. One that ran short of descriptors is
// unusable: a runner gives the address back rather than keep "NSLOOKUP
// failed ... Error: 24" as its final result.
verimex_jobs::CheckRecord job_record(CheckResult&& result);

}  // namespace verimex_check
