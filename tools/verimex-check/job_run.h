// verimex-check with --store: adding addresses to a job, working on it,
// and the --status and --export reports.
#pragma once

#include "options.h"

namespace verimex_check {

// Runs the job commands opts asks for and returns the exit status; a run
// that must end while checks may still be under way ends the process
// itself.
int run_job(Options& opts);

}  // namespace verimex_check
