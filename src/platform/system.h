// The OS parts that are always real, in tests too: the log's files and
// folders, and the inspection of a client process for the integrity check.
// Implemented in platform/posix/ and platform/win32/.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/types.h"

namespace vorn::os {

// ---------------------------------------------------------------- log files
// The machine's ProgramData directory as the environment holds it, or the
// fallback ("C:\ProgramData" / "/var/log") when missing or empty.
std::string program_data_directory();
// "\" on Windows, "/" on POSIX.
char path_separator();

// Where service.log lives: `base`, and the levels below it that are walked
// (and made) for every line. Windows: <ProgramData>, {VORN, ClientService}.
// POSIX: the same below $ProgramData when it is set; else the first entry of
// LOGS_DIRECTORY (systemd's LogsDirectory=, which systemd makes) with no
// level; else /var/log, {VORN, ClientService}.
struct LogLocation {
  std::string base;
  std::vector<std::string> levels;
};
LogLocation log_location();

struct LocalTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};
LocalTime local_time_now();

// The log's directory levels below `base` ({"VORN", "ClientService"}), each
// inside the one before, walked one by one without following a link or
// reparse point: a missing level is created (Windows: with a DACL that lets
// only SYSTEM and Administrators write and everyone else read; POSIX: mode
// 0755). A level is refused when it is not a plain directory (a link,
// junction or other reparse point), when its owner is neither this process's
// own account nor SYSTEM / root nor Administrators, or (POSIX) when group or
// others may write it. Windows gives a level with a trusted owner but a DACL
// that lets others write the protective DACL again. `base` itself is never
// created. True when every level is there and trusted.
bool create_log_directories(const std::string& base,
                            const std::vector<std::string>& levels);

// Walks and creates the levels as create_log_directories does, then appends
// `bytes` to the file `file_name` in the innermost one: created when missing,
// shared for reading, writing and deleting, opened without following a link
// or reparse point, and left unwritten when it is not a plain file, has more
// than one name (a hard link) or has an untrusted owner. Nothing is written
// below a refused level. Fails when not all was written, naming the folder
// or file and why. Windows first rotates a log that has reached 10 MiB
// (platform/win32/log_rotation.h); a rotation that was due but refused is
// told in `rotation`, and the line still goes to the log as it is. POSIX
// never rotates (logrotate does) and leaves `rotation` none.
Error append_to_log_file(const std::string& base,
                         const std::vector<std::string>& levels,
                         const std::string& file_name, const std::string& bytes,
                         Error& rotation);

// ---------------------------------------------------------------- trusted
// digests The operator's list of trusted evidence values. Windows:
// <ProgramData>\VORN\ClientService\trusted-digests.txt, below the log's
// protected levels (walked as for the log, never created here); POSIX:
// $CONFIGURATION_DIRECTORY/trusted-digests (its first entry, when set and not
// empty), else /etc/vorn-guard/trusted-digests.
std::string trusted_digests_path();

constexpr std::uint64_t kMaxTrustedDigestsBytes = 1u << 20;

enum class TrustedDigestsFile {
  absent,     // no such file (or folder): no list
  unchanged,  // its identity equals `unchanged`: not read again
  read,       // `bytes` holds it, `identity` names the version read
  untrusted   // there, but not to be trusted; `problem` says why
};

// Opens the list without following a link, without blocking, and checks it
// through what was opened: a plain file, owned by root / SYSTEM /
// Administrators (or the service's own account), which nobody else may write
// (POSIX: no group or other write bit; Windows: no other account granted a
// changing right), in a folder equally protected, readable, at most
// kMaxTrustedDigestsBytes. Every look checks all of that; only the reading is
// skipped when the identity is unchanged.
TrustedDigestsFile read_trusted_digests(const FileIdentity& unchanged,
                                        std::string& bytes,
                                        FileIdentity& identity, Error& problem);

// ---------------------------------------------------------------- diagnostics
// How much a diagnostic matters; the numbers are syslog's priorities.
enum class DiagnosticLevel { error = 3, warning = 4, notice = 5, info = 6 };

// One line for the operator beside the log. POSIX: standard error with the
// priority as an sd-daemon prefix ("<4>..."), which the journal keeps as the
// level (a terminal gets "vorn-guard-service: warning: ..." instead).
// Windows: the Application event log, source "VORNGuardLocalService". May
// block while the channel is slow: callers go through the queue in
// log/diagnostics.h.
void write_diagnostic(DiagnosticLevel level, const std::string& message);

// ---------------------------------------------------------------- inspection
// Used by the integrity check only. Every look goes through the held client
// process, never through a name the client could have chosen; every handle
// opened here is closed before the call returns.

enum class ClientFile { image, guard_module };

// Largest files hashed: an executable image and a guard module. Anything
// larger is refused before a byte is read.
constexpr std::uint64_t kMaxImageBytes = 4ull << 30;
constexpr std::uint64_t kMaxGuardModuleBytes = 256ull << 20;

enum class ExamineOutcome {
  examined,    // `result` holds the file's path, identity and digest
  unchanged,   // its identity equals `unchanged`: not hashed again
  changed,     // its identity moved while it was hashed, or differs from a
               // known `unchanged` (then it is not hashed again)
  not_found,   // no such file: the guard module is not loaded (as an
               // executable mapping of a real file), or the process is gone
  unreadable,  // found, but it cannot be opened or read soundly
  too_large,   // larger than the limit for its kind
  cancelled    // keep_going said stop between two chunks
};

// A verified client file held open for a session so that, while held,
// nobody can write, rename or delete it (Windows: opened sharing reads only).
// POSIX holds nothing: its file identity tells a changed file.
struct PinnedFileKind {
  static void close(std::intptr_t raw);
};
using PinnedFile = Owned<PinnedFileKind>;

// A mark on the version of a held file, which goes stale once that version
// may be gone: the file written or its attributes changed, or its file
// system unmounted (so that a crafted image mounted at the same device
// number cannot pass for it). POSIX: an inotify watch. Windows names no
// version and marks nothing. 0 is no mark.
std::uint64_t mark_file_version(const PinnedFile& file);
// False for a stale mark and for 0.
bool file_version_mark_intact(std::uint64_t mark);
void drop_file_version_mark(std::uint64_t mark);

struct ExaminedFile {
  std::string path;       // its full path as the OS names it (for the log)
  FileIdentity identity;  // the version hashed, when the OS names one
  std::uint8_t digest[32] = {};
  // Why the file could not be examined, where the OS can say more than the
  // outcome (the file system it is on, say); often none.
  Error problem;
  // The digest came from DigestRecall, not from reading the file.
  bool recalled = false;
  // Who signed the bytes hashed; empty for a file without a signature or one
  // whose signature does not hold, and then `signature_problem` says which
  // (none: the file carries no signature).
  std::vector<Signer> signers;
  Error signature_problem;
  // Bytes read a second time to check the signature (Windows: a build whose
  // signature this service run has not verified yet); 0 when the hash's own
  // pass checked it or a verdict was kept.
  std::uint64_t signature_bytes_read = 0;
};

// Asked between chunks while hashing: false abandons the hash.
using KeepGoing = bool (*)(void* context);

// Digests already verified, by file version: a file whose stamped identity
// (see FileIdentity) `recall` knows is not read again; its signers are
// recalled with its digest. Null: none.
struct DigestRecall {
  bool (*recall)(void* context, const FileIdentity& identity,
                 std::uint8_t (&digest)[32],
                 std::vector<Signer>& signers) = nullptr;
  void* context = nullptr;
};

// Finds the file `process` runs as its executable image, or the guard module
// mapped into it, known by what it is whatever its file is called (Windows:
// an image mapping whose export directory names it "vorn_guard.dll", any
// case; POSIX: an executable mapping of a shared object whose SONAME is
// "libvorn_guard.so.1"), opens that very file and hashes it. A file whose
// identity equals `unchanged` (when known) is not hashed. POSIX opens
// /proc/<pid>/exe and the mapping's own file; Windows opens the file the kernel
// has mapped, anonymously, on local disks only.
//
// `pin` (may be null): one that is not held asks to hold the file examined
// (Windows; it stays empty where the file cannot be held, say because
// another process has it open for writing); a held one stands for the file
// verified with it: when the file found now is that very file, it is not
// hashed again (`unchanged`). `recall` stands in for the hash of a version
// already verified (POSIX; Windows names no version).
//
// A file hashed has its signature verified too, filling `result.signers`:
// POSIX in the same read, from the block appended to the file; Windows with
// WinVerifyTrust on the file held, without any network fetch.
ExamineOutcome examine_client_file(const ProcessHandle& process, ProcessId pid,
                                   ClientFile which,
                                   const FileIdentity& unchanged,
                                   PinnedFile* pin, KeepGoing keep_going,
                                   void* context, ExaminedFile& result,
                                   DigestRecall recall = {});

// ---------------------------------------------------------------- code
// The code a verified client runs: the executable mappings of its image and
// guard module, watched for the session through the held process. Never
// opens a path; the looks at a running session open nothing the client could
// watch (no file open or read, so no inotify event, while the files' bytes
// are trusted).

// What one look found.
enum class CodeLook {
  intact,   // every code page is the verified file's, or what it held at the OK
  changed,  // a page was written, a mapping moved, or the code is not
            // the verified files' at all; `why` says which
  gone      // the process no longer runs that code: it ended, or (Linux)
            // replaced its program with exec
};

// The watch of one client's code, owned by one session. Move-only; what it
// holds (descriptors of the process's memory views, a process handle) is
// released with it.
class ClientCode {
 public:
  struct State;  // each backend's own
  ClientCode();
  ClientCode(ClientCode&&) noexcept;
  ClientCode& operator=(ClientCode&&) noexcept;
  ClientCode(const ClientCode&) = delete;
  ClientCode& operator=(const ClientCode&) = delete;
  ~ClientCode();
  bool watching() const { return state_ != nullptr; }
  State* state() { return state_.get(); }
  void reset(std::unique_ptr<State> state);

 private:
  std::unique_ptr<State> state_;
};

// At the OK, after both files hashed to their evidence: finds the executable
// mappings of those very files (`image` and `module` as examined) in the held
// process, and starts watching them. The guard module's code must equal its
// file (ours, never packed); the image's code is taken as it is now, so a
// packed or self-relocating game is admitted, and `image_pages_differing`
// says how many of its code pages already differed from the file. Fails
// (`changed`, with `why`) when either file has no executable mapping behind
// the running code, the module's code differs from its file, or the memory
// cannot be read.
CodeLook watch_client_code(const ProcessHandle& process, ProcessId pid,
                           const ExaminedFile& image,
                           const ExaminedFile& module, ClientCode& code,
                           std::uint64_t& image_pages_differing, Error& why);

// How far a look goes: the mappings only (the same mappings of the same
// files: cheap, for every re-check), or every page too (still the file's or
// what it held at the OK: for the random moments).
enum class CodeLookDepth { mappings, pages };

CodeLook look_at_client_code(ClientCode& code, CodeLookDepth depth, Error& why);

// The cheapest look, for every heartbeat: `gone` once the process no longer
// runs the watched program (Linux: an exec leaves the held views empty).
CodeLook client_code_still_runs(ClientCode& code);

// A file other than the image and the guard module that the client has an
// executable mapping of, for the strict code policy.
struct CodeFile {
  std::string path;       // as the OS names it, for the operator
  FileIdentity identity;  // the version examined
  // Owned by root / SYSTEM and writable by nobody else: a system library,
  // not hashed.
  bool system_file = false;
  std::uint8_t digest[32] = {};  // when not a system file
};

// At most this many files are examined for one client; more counts as a
// change (no game maps thousands of code files).
constexpr std::size_t kMaxCodeFiles = 1024;

// Every other file the client has executable mappings of, through the
// watch's views. A file whose identity is that of an entry of `known` (the
// last answer) keeps that entry's digest and is not read again where its
// identity proves its bytes; others are opened and hashed (at most
// kMaxImageBytes each). `changed` with `why` when a file cannot be examined
// or there are too many; `gone` when the process's memory has gone.
CodeLook list_code_files(ClientCode& code, const std::vector<CodeFile>& known,
                         std::vector<CodeFile>& files, Error& why);

}  // namespace vorn::os
