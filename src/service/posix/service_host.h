// The Linux host: the process's life cycle around the portable service run.
#pragma once

namespace vorn {

// Creates the stop event, turns SIGTERM/SIGINT into it, opens the endpoint,
// tells systemd when ready, runs the service until stopped and releases the
// endpoint. Returns the process exit code: 0 after a stop, 1 when the service
// could not start.
int run_service_host();

}  // namespace vorn
