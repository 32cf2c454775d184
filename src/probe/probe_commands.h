// The probe's commands; each returns the process exit code.
#pragma once

#include "probe/probe_args.h"

namespace vorn::probe {

int run_status(const ProbeOptions& options);
int run_session(const ProbeOptions& options);
int run_raw(const ProbeOptions& options);
int run_evidence(const ProbeOptions& options);

}  // namespace vorn::probe
