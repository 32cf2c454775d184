// The service's one append-only log, "service.log".
#pragma once

#include <mutex>
#include <string>

namespace vorn {

// Serialises every log_line call, in every thread; statically initialised.
extern std::mutex log_mutex;

// Appends "YYYY-MM-DD hh:mm:ss <message>\r\n". Never reports failure to the
// caller: a line that cannot be written is lost, and the operator's
// diagnostic channel says why (once, then how often).
void log_line(const std::string& message);

// Where log_line writes.
std::string log_file_path();

// Creates <ProgramData>\VORN and <ProgramData>\VORN\ClientService (results
// ignored; a level that is a link or is untrusted is refused, see
// os::create_log_directories) and returns the latter. log_line makes the same
// walk for every line, as part of its write.
std::string ensure_log_directory();

}  // namespace vorn
