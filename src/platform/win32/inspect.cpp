// What the integrity check learns about a client process, and file hashes.
//
// Every file is found through the kernel's own record of what the process
// has mapped, never through the loader list in the client's memory: a client
// can rewrite its loader entries (shown under Wine 8, where rewriting a
// module's FullDllName changes what GetModuleFileNameEx reports), and the
// service, running as LocalSystem, would then open whatever they name: a
// share on another machine (handing it the machine's credentials), the
// client's own pipe, a device, a file that never ends. Names are kept wide
// throughout, so paths outside the ANSI code page work.
#include <windows.h>
// These need the definitions of windows.h.
#include <bcrypt.h>
#include <psapi.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/runtime.h"
#include "platform/system.h"
#include "platform/win32/authenticode.h"
#include "platform/win32/file_hash.h"
#include "platform/win32/mapped_files.h"
#include "platform/win32/pe_names.h"
#include "platform/win32/service_names.h"
#include "platform/win32/win32_handle.h"

namespace vorn::os {

namespace {

constexpr DWORD kLongestPath = 32768;
// The loader list is the client's to fill; this bounds the work it can cause.
constexpr std::size_t kMaxModuleCandidates = 4096;

wchar_t ascii_lower(wchar_t c) {
  return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

// Fixed ASCII folding, independent of any locale or code page.
bool starts_with_ascii_case_insensitive(const std::wstring& text,
                                        const wchar_t* prefix) {
  std::size_t i = 0;
  for (; prefix[i] != L'\0'; ++i) {
    if (i >= text.size() || ascii_lower(text[i]) != ascii_lower(prefix[i])) {
      return false;
    }
  }
  return true;
}

bool is_ascii_letter(wchar_t c) {
  return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

bool is_digit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// True when `path` starts with a drive letter ("C:\") of a local drive. The
// letter is resolved in the service's own (system-wide) device namespace. A
// letter mapped to a share or missing is refused before anything is opened,
// since opening a remote file already hands over the machine's credentials.
bool on_local_drive(const std::wstring& path) {
  if (path.size() < 3 || !is_ascii_letter(path[0]) || path[1] != L':' ||
      path[2] != L'\\') {
    return false;
  }
  const wchar_t root[] = {path[0], L':', L'\\', L'\0'};
  switch (GetDriveTypeW(root)) {
    case DRIVE_FIXED:
    case DRIVE_REMOVABLE:
    case DRIVE_CDROM:
    case DRIVE_RAMDISK:
      return true;
    default:  // DRIVE_REMOTE, DRIVE_NO_ROOT_DIR, DRIVE_UNKNOWN
      return false;
  }
}

}  // namespace

namespace win32 {

bool equals_ascii_case_insensitive(const std::wstring& text,
                                   const wchar_t* other) {
  return starts_with_ascii_case_insensitive(text, other) &&
         text.size() == std::wstring(other).size();
}

std::wstring file_name_of(const std::wstring& path) {
  const std::size_t cut = path.find_last_of(L'\\');
  return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

// Turns a name the kernel gave for a file into a path CreateFileW opens
// without reinterpreting it ("\\?\"). Only local disks are accepted:
//   \Device\HarddiskVolumeN\...  (Windows)  -> \\?\GLOBALROOT\Device\...
//   \??\C:\...                   (Wine)     -> \\?\C:\...
//   C:\...                       (a Win32 name of the kernel's)
// Everything else is refused: \Device\Mup\ and the redirectors
// (LanmanRedirector, WebDavRedirector) are files on other machines,
// \Device\NamedPipe\ and \Device\Mailslot\ are endpoints that the client
// itself could serve (and feed without end), \??\UNC\ is a share, and any
// other device is not a file at all.
bool openable_path(const std::wstring& kernel_name, std::wstring& path) {
  static constexpr wchar_t kVolumePrefix[] = L"\\Device\\HarddiskVolume";
  if (starts_with_ascii_case_insensitive(kernel_name, kVolumePrefix)) {
    std::size_t i = std::wstring(kVolumePrefix).size();
    const std::size_t digits_start = i;
    while (i < kernel_name.size() && is_digit(kernel_name[i])) ++i;
    if (i == digits_start || i >= kernel_name.size() ||
        kernel_name[i] != L'\\') {
      return false;
    }
    path = L"\\\\?\\GLOBALROOT" + kernel_name;
    return true;
  }
  const std::wstring dos_name = kernel_name.compare(0, 4, L"\\??\\") == 0
                                    ? kernel_name.substr(4)
                                    : kernel_name;
  if (!on_local_drive(dos_name)) return false;
  path = L"\\\\?\\" + dos_name;
  return true;
}

// The path as the log shows it: the narrow text the ANSI calls would have
// given (letters outside the code page become '?').
std::string narrow_path(const std::wstring& path) {
  if (path.empty()) return std::string();
  const int length =
      WideCharToMultiByte(CP_ACP, 0, path.data(), static_cast<int>(path.size()),
                          nullptr, 0, nullptr, nullptr);
  if (length <= 0) return std::string();
  std::string narrow(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_ACP, 0, path.data(), static_cast<int>(path.size()),
                      &narrow[0], length, nullptr, nullptr);
  return narrow;
}

// The Win32 name of an open file ("C:\Games\vorn_guard.dll"), or `fallback`
// when the volume has no drive letter.
std::wstring dos_path_of(HANDLE file, const std::wstring& fallback) {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD size = static_cast<DWORD>(buffer.size());
    const DWORD length = GetFinalPathNameByHandleW(
        file, buffer.data(), size, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return fallback;
    // Too small: the length asked for includes the terminating NUL.
    if (length >= size) {
      if (length > kLongestPath) return fallback;
      buffer.resize(length);
      continue;
    }
    const std::wstring path(buffer.data(), length);
    if (path.compare(0, 4, L"\\\\?\\") != 0) return path;
    const std::wstring rest = path.substr(4);
    // "\\?\UNC\..." would be a share, which was refused before opening.
    return on_local_drive(rest) ? rest : fallback;
  }
}

// The kernel's name of the file mapped as the image whose allocation starts
// at `base`, or false when no image starts there. VirtualQueryEx and
// GetMappedFileNameW read the kernel's view of the address space, which the
// client cannot rewrite.
bool mapped_image_name(HANDLE process, void* base, std::wstring& name) {
  MEMORY_BASIC_INFORMATION region{};
  if (VirtualQueryEx(process, base, &region, sizeof region) != sizeof region ||
      region.Type != MEM_IMAGE || region.AllocationBase != base) {
    return false;
  }
  for (DWORD size = MAX_PATH; size <= kLongestPath; size *= 2) {
    std::vector<wchar_t> buffer(size);
    const DWORD length = GetMappedFileNameW(process, base, buffer.data(), size);
    if (length == 0) return false;
    // A name that filled the buffer may have been cut short.
    if (length < size - 1) {
      name.assign(buffer.data(), length);
      return true;
    }
  }
  return false;
}

// Opens a file a kernel name led to: reading, sharing everything like the
// loader shares a mapped module, and anonymously, so that a pipe found
// after all could not act as the service.
HANDLE open_for_hashing(const std::wstring& path, DWORD extra_flags) {
  return CreateFileW(path.c_str(), GENERIC_READ,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING,
                     extra_flags | FILE_FLAG_SEQUENTIAL_SCAN |
                         SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS,
                     nullptr);
}

}  // namespace win32

namespace {

using win32::dos_path_of;
using win32::equals_ascii_case_insensitive;
using win32::file_name_of;
using win32::kInspectionRights;
using win32::mapped_image_name;
using win32::narrow_path;
using win32::open_for_hashing;
using win32::openable_path;

// Where modules start, 32- and 64-bit alike, at most kMaxModuleCandidates.
// Only the addresses are used: the names in the same list are the client's.
// The list may change between calls, so it is asked for again until the
// array was big enough.
bool module_bases(HANDLE process, std::vector<HMODULE>& modules) {
  modules.assign(256, nullptr);
  for (;;) {
    const DWORD offered = static_cast<DWORD>(modules.size() * sizeof(HMODULE));
    DWORD needed = 0;
    if (!EnumProcessModulesEx(process, modules.data(), offered, &needed,
                              LIST_MODULES_ALL)) {
      return false;
    }
    if (needed <= offered || modules.size() >= kMaxModuleCandidates) {
      const std::size_t listed =
          (needed <= offered ? needed : offered) / sizeof(HMODULE);
      modules.resize(listed);
      return true;
    }
    const std::size_t wanted = needed / sizeof(HMODULE) + 16;
    modules.assign(
        wanted < kMaxModuleCandidates ? wanted : kMaxModuleCandidates, nullptr);
  }
}

// Shared like the loader shares a module it has mapped, so a loaded DLL can
// be read. Should the name lead to a pipe after all, the anonymous
// impersonation level keeps its server from acting as the service.
// Reading only, and nobody else may write, rename or delete while it is
// open; a reparse point is opened as itself.
HANDLE open_pinned(const std::wstring& path) {
  return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                     OPEN_EXISTING,
                     FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN |
                         SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS,
                     nullptr);
}

// A link or mount point (a name surrogate) is never followed. Other reparse
// points keep the file's own data behind a file system filter (a game
// compressed with "compact /exe", a deduplicated volume, a cloud
// placeholder), which only an open that does not stop at the reparse point
// reads: the file is opened so, and accepted when it is still the same file.
// Wine has no such files; this path is not exercised there.
bool open_data_behind_reparse_point(const std::wstring& path,
                                    const BY_HANDLE_FILE_INFORMATION& seen,
                                    HANDLE opened, win32::UniqueHandle& data) {
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!GetFileInformationByHandleEx(opened, FileAttributeTagInfo, &tag,
                                    sizeof tag) ||
      IsReparseTagNameSurrogate(tag.ReparseTag)) {
    return false;
  }
  win32::UniqueHandle behind(open_for_hashing(path, 0));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!behind.valid() || GetFileType(behind.get()) != FILE_TYPE_DISK ||
      !GetFileInformationByHandle(behind.get(), &info) ||
      info.dwVolumeSerialNumber != seen.dwVolumeSerialNumber ||
      info.nFileIndexHigh != seen.nFileIndexHigh ||
      info.nFileIndexLow != seen.nFileIndexLow) {
    return false;
  }
  data = std::move(behind);
  return true;
}

}  // namespace

namespace win32 {

// Held first when asked: sharing reads only, so from then on nobody can
// open the file to write, rename or delete it. Another process that has it
// open to write or delete makes that fail; it is then opened as below, not
// held. Shared like the loader shares a module it has mapped, so a loaded
// DLL can be read. A reparse point is opened as itself, not followed (and
// held so); should the name lead to a pipe after all, the anonymous
// impersonation level keeps its server from acting as the service.
bool open_local_file(const std::wstring& path, bool hold, LocalFile& file,
                     BY_HANDLE_FILE_INFORMATION& info) {
  file = LocalFile();
  if (hold) {
    file.hold = UniqueHandle(open_pinned(path));
    if (!file.hold.valid()) file.hold_error = GetLastError();
  }
  if (!file.hold.valid()) {
    file.data =
        UniqueHandle(open_for_hashing(path, FILE_FLAG_OPEN_REPARSE_POINT));
  }
  const HANDLE opened = file.reader();
  if (!is_valid(opened)) return false;
  // A pipe, console or character device is no file to hash.
  if (GetFileType(opened) != FILE_TYPE_DISK) return false;
  // Only files on other machines answer this query (it fails locally, and
  // Wine does not implement it).
  FILE_REMOTE_PROTOCOL_INFO remote{};
  if (GetFileInformationByHandleEx(opened, FileRemoteProtocolInfo, &remote,
                                   sizeof remote)) {
    return false;
  }
  if (!GetFileInformationByHandle(opened, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return false;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    // The data is read through a second handle; the hold stays on the file.
    UniqueHandle behind;
    if (!open_data_behind_reparse_point(path, info, opened, behind)) {
      return false;
    }
    file.data = std::move(behind);
  }
  return true;
}

}  // namespace win32

namespace {

// Whether an open file is the guard module: its export directory names it
// so, whatever the file is called.
bool is_guard_module_file(HANDLE file) {
  const std::string name = win32::pe_export_name_of(file);
  return equals_ascii_case_insensitive(std::wstring(name.begin(), name.end()),
                                       kGuardModuleName);
}

// Opens the file behind a kernel name as the hash would (a plain file on a
// local disk, never held) and reads whether it is the guard module.
bool names_guard_module(const std::wstring& kernel_name) {
  std::wstring path;
  win32::LocalFile file;
  BY_HANDLE_FILE_INFORMATION info{};
  return openable_path(kernel_name, path) &&
         win32::open_local_file(path, false, file, info) &&
         is_guard_module_file(file.reader());
}

// A file about to be verified is held for the session, so that no re-check
// need hash it again. A brief open of another program (an antivirus scan)
// can keep it from being held for a moment: tried this often, this far
// apart, before the client is refused.
constexpr int kHoldTries = 6;
constexpr DWORD kHoldRetryMs = 100;

bool opens_sharing(const std::wstring& path, DWORD share) {
  const win32::UniqueHandle file(CreateFileW(
      path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
      FILE_FLAG_OPEN_REPARSE_POINT | SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS,
      nullptr));
  return file.valid();
}

// What the other opens of a file that could not be held are, as far as two
// more opens can tell.
std::string other_opens(const std::wstring& path) {
  if (opens_sharing(path, FILE_SHARE_READ | FILE_SHARE_DELETE)) {
    return "; it is open elsewhere with delete access";
  }
  if (opens_sharing(path, FILE_SHARE_READ | FILE_SHARE_WRITE)) {
    return "; it is open elsewhere to write";
  }
  return "; it is open elsewhere to write and delete, or without sharing "
         "reads";
}

// Why `file` could not be held, in the OS's words, and for a sharing
// violation what the other opens are.
Error why_not_held(const std::wstring& path, const win32::LocalFile& file,
                   const std::wstring& kernel_name) {
  const std::string name = narrow_path(win32::is_valid(file.reader())
                                           ? dos_path_of(file.reader(), path)
                                           : kernel_name);
  const Error failure = system_error(file.hold_error)
                            .context(name + " cannot be held for the session");
  if (file.hold_error != ERROR_SHARING_VIOLATION) return failure;
  return Error(failure.code(), failure.words() + other_opens(path),
               failure.native());
}

// Opens the file, held when `hold` asks; a file that cannot be held is tried
// again (kHoldTries) unless keep_going says stop.
bool open_client_file(const std::wstring& path, bool hold, KeepGoing keep_going,
                      void* context, win32::LocalFile& file,
                      BY_HANDLE_FILE_INFORMATION& info) {
  for (int attempt = 1;; ++attempt) {
    const bool opened = win32::open_local_file(path, hold, file, info);
    if (!hold || file.hold.valid() || attempt == kHoldTries ||
        (keep_going != nullptr && !keep_going(context))) {
      return opened;
    }
    Sleep(kHoldRetryMs);
  }
}

// Opens a file the kernel named and hashes it, refusing anything but a plain
// file on a local disk no larger than `limit`. On success `result` holds the
// identity and digest, and `dos_path` the file's Win32 name when it has one.
// With `pin`, the file is held first and goes to `pin` once hashed; one that
// cannot be held is refused unhashed, with `result.problem` saying why.
ExamineOutcome hash_client_file(const std::wstring& path,
                                const std::wstring& kernel_name,
                                ClientFile which, std::uint64_t limit,
                                KeepGoing keep_going, void* context,
                                ExaminedFile& result, std::wstring& dos_path,
                                PinnedFile* pin) {
  win32::LocalFile file;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!open_client_file(path, pin != nullptr, keep_going, context, file,
                        info)) {
    return ExamineOutcome::unreadable;
  }
  if (pin != nullptr && !file.hold.valid()) {
    result.problem = why_not_held(path, file, kernel_name);
    return ExamineOutcome::unreadable;
  }
  // Read again from the file that is hashed (and held): another file may
  // have been put at the name since the module was found.
  if (which == ClientFile::guard_module &&
      !is_guard_module_file(file.reader())) {
    return ExamineOutcome::not_found;
  }
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.reader(), &size) || size.QuadPart < 0) {
    return ExamineOutcome::unreadable;
  }
  if (static_cast<std::uint64_t>(size.QuadPart) > limit) {
    return ExamineOutcome::too_large;
  }
  // Tells one file from another, but is no version: the last-write and even
  // the change time can be set back (SetFileInformationByHandle), and an
  // in-place rewrite keeps the index. `known` stays false; the held file
  // stands for the version instead.
  result.identity.known = false;
  result.identity.device = info.dwVolumeSerialNumber;
  result.identity.inode =
      (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) |
      info.nFileIndexLow;
  result.identity.size = static_cast<std::uint64_t>(size.QuadPart);
  const ExamineOutcome hashed =
      win32::hash_open_file(file.reader(), keep_going, context, result.digest);
  if (hashed == ExamineOutcome::examined) {
    dos_path = dos_path_of(file.reader(), path);
    // Read again, by WinVerifyTrust, from the file held: nobody can have
    // written it since the hash. A file not held could have changed in
    // between, so its signature is not taken.
    if (file.hold.valid()) {
      bool read_again = false;
      result.signers =
          win32::authenticode_signers(file.reader(), path, result.digest,
                                      result.signature_problem, read_again);
      if (read_again) result.signature_bytes_read = result.identity.size;
    } else if (win32::has_certificate_table(win32::read_at_of(file.reader()))) {
      result.signature_problem = Error(
          Errc::busy, "its signature is not verified: the file cannot be held");
    }
    if (pin != nullptr) {
      *pin = PinnedFile(win32::to_raw(file.hold.release()));
    }
  }
  return hashed;
}

// True when `path` now opens the very file `pin` holds: the same volume and
// file index, or, where the file system gives no index (Wine reads 0), the
// same final name, which the held file cannot lose (it cannot be renamed
// while held). `result` gets the identity and name of what was found.
bool is_pinned_file(const std::wstring& path, const PinnedFile& pin,
                    ExaminedFile& result, std::wstring& dos_path) {
  const win32::UniqueHandle now(
      open_for_hashing(path, FILE_FLAG_OPEN_REPARSE_POINT));
  BY_HANDLE_FILE_INFORMATION found{};
  BY_HANDLE_FILE_INFORMATION held{};
  if (!now.valid() || GetFileType(now.get()) != FILE_TYPE_DISK ||
      !GetFileInformationByHandle(now.get(), &found) ||
      !GetFileInformationByHandle(win32::to_handle(pin.raw()), &held)) {
    return false;
  }
  const std::uint64_t found_index =
      (static_cast<std::uint64_t>(found.nFileIndexHigh) << 32) |
      found.nFileIndexLow;
  const std::uint64_t held_index =
      (static_cast<std::uint64_t>(held.nFileIndexHigh) << 32) |
      held.nFileIndexLow;
  dos_path = dos_path_of(now.get(), path);
  if (found_index != 0 || held_index != 0) {
    if (found.dwVolumeSerialNumber != held.dwVolumeSerialNumber ||
        found_index != held_index) {
      return false;
    }
  } else if (dos_path != dos_path_of(win32::to_handle(pin.raw()), L"")) {
    return false;
  }
  result.identity.device = found.dwVolumeSerialNumber;
  result.identity.inode = found_index;
  result.identity.size =
      (static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) |
      found.nFileSizeLow;
  return true;
}

// The file the process runs as its image, from the kernel's record of the
// process (not the loader list, nor the PEB). The Win32 form is used: under
// Wine the native form (PROCESS_NAME_NATIVE, as GetProcessImageFileNameW
// gives) is a made-up "\Device\HarddiskVolume2\..." that Wine cannot open
// through \\?\GLOBALROOT, while the Win32 form comes from the same record,
// with drive letters from the system-wide mount points.
//
// The file opened is the one found under that name now. An image renamed
// away while it runs, with a genuine file put at its old name, is therefore
// caught only where the record follows the rename; where it keeps the name
// the process started from, the genuine file is hashed. Wine keeps the old
// name (in every kernel name it gives), so the tests here cannot show what
// Windows does.
bool process_image_name(HANDLE process, std::wstring& name) {
  for (DWORD size = MAX_PATH; size <= kLongestPath; size *= 2) {
    std::vector<wchar_t> buffer(size);
    DWORD length = size;
    if (QueryFullProcessImageNameW(process, 0, buffer.data(), &length)) {
      name.assign(buffer.data(), length);
      return true;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
  }
  return false;
}

// The first image mapping whose file `is_module` accepts: those whose file
// is called `likely_name` first, the others only when none of those is it,
// at most kMaxCodeFiles files in all. Each start address from the loader
// list must be the start of an image mapping, and the names are the
// kernel's, so a rewritten loader entry changes nothing here.
template <typename IsModule>
ExamineOutcome find_guard_module(HANDLE process,
                                 const std::wstring& likely_name,
                                 IsModule is_module,
                                 std::wstring& kernel_name) {
  std::vector<HMODULE> modules;
  if (!module_bases(process, modules)) return ExamineOutcome::not_found;
  std::vector<std::wstring> names(modules.size());
  for (std::size_t i = 0; i < modules.size(); ++i) {
    // A module unloaded since the listing is no image any more: left empty.
    if (!mapped_image_name(process, modules[i], names[i])) names[i].clear();
  }
  std::size_t looked_at = 0;
  for (const bool likely : {true, false}) {
    for (const std::wstring& name : names) {
      if (name.empty() ||
          equals_ascii_case_insensitive(file_name_of(name),
                                        likely_name.c_str()) != likely) {
        continue;
      }
      if (++looked_at > kMaxCodeFiles) return ExamineOutcome::not_found;
      if (is_module(name)) {
        kernel_name = name;
        return ExamineOutcome::examined;
      }
    }
  }
  return ExamineOutcome::not_found;
}

// Asked here rather than through process_is_running: unit tests link this
// file with a fake of the runtime.
bool still_running(const ProcessHandle& process) {
  return process.open() && WaitForSingleObject(win32::to_handle(process.raw()),
                                               0) == WAIT_TIMEOUT;
}

}  // namespace

void PinnedFileKind::close(std::intptr_t raw) {
  CloseHandle(win32::to_handle(raw));
}

// `unchanged` is never matched: no identity here is `known` (see
// hash_client_file); a held file stands in for it. With a `pin` not held,
// the file is held for the session or refused (`result.problem` says why).
ExamineOutcome examine_client_file(const ProcessHandle& process, ProcessId pid,
                                   ClientFile which,
                                   const FileIdentity& /*unchanged*/,
                                   PinnedFile* pin, KeepGoing keep_going,
                                   void* context, ExaminedFile& result,
                                   DigestRecall /*recall*/) {
  result = ExaminedFile{};
  if (!still_running(process)) return ExamineOutcome::not_found;
  std::wstring kernel_name;
  std::uint64_t limit = kMaxImageBytes;
  if (which == ClientFile::image) {
    if (!process_image_name(win32::to_handle(process.raw()), kernel_name)) {
      return still_running(process) ? ExamineOutcome::unreadable
                                    : ExamineOutcome::not_found;
    }
  } else {
    // Opened by pid: the held `process` keeps the pid from being reused, so
    // this reaches the same process with the rights to read its mappings.
    win32::UniqueHandle inspection(OpenProcess(kInspectionRights, FALSE, pid));
    if (!inspection.valid()) return ExamineOutcome::unreadable;
    limit = kMaxGuardModuleBytes;
    if (pin != nullptr && pin->open()) {
      // A re-check never hashes: the module is still mapped from the very
      // file verified, which nobody could change while it was held, looked
      // for under that file's name first.
      const HANDLE held = win32::to_handle(pin->raw());
      std::wstring dos_path;
      const ExamineOutcome found = find_guard_module(
          inspection.get(), file_name_of(dos_path_of(held, kGuardModuleName)),
          [&](const std::wstring& name) {
            std::wstring path;
            return openable_path(name, path) &&
                   is_pinned_file(path, *pin, result, dos_path);
          },
          kernel_name);
      if (found != ExamineOutcome::examined) {
        result = ExaminedFile{};
        result.problem = Error(Errc::not_found,
                               "the guard module file verified for the "
                               "session is no longer mapped");
        return ExamineOutcome::not_found;
      }
      result.path = narrow_path(dos_path);
      return ExamineOutcome::unchanged;
    }
    const ExamineOutcome found = find_guard_module(
        inspection.get(), kGuardModuleName, names_guard_module, kernel_name);
    if (found != ExamineOutcome::examined) return found;
  }
  std::wstring path;
  if (!openable_path(kernel_name, path)) return ExamineOutcome::unreadable;
  std::wstring dos_path;
  if (pin != nullptr && pin->open()) {
    // A re-check never hashes: the very file verified, which nobody could
    // change while it was held, or another file, which is not the verified
    // one whatever it holds.
    if (!is_pinned_file(path, *pin, result, dos_path)) {
      result = ExaminedFile{};
      result.problem =
          Error(Errc::untrusted,
                narrow_path(kernel_name) +
                    " is no longer the file verified for the session");
      return still_running(process) ? ExamineOutcome::unreadable
                                    : ExamineOutcome::not_found;
    }
    result.path =
        narrow_path(which == ClientFile::image ? kernel_name : dos_path);
    return ExamineOutcome::unchanged;
  }
  const ExamineOutcome outcome =
      hash_client_file(path, kernel_name, which, limit, keep_going, context,
                       result, dos_path, pin);
  if (outcome != ExamineOutcome::examined) {
    Error problem = std::move(result.problem);
    result = ExaminedFile{};
    // A client that ended during the look has no files left to compare.
    if (!still_running(process)) return ExamineOutcome::not_found;
    result.problem = std::move(problem);
    return outcome;
  }
  // The image's Win32 name is the one the process record gave.
  result.path =
      narrow_path(which == ClientFile::image ? kernel_name : dos_path);
  return outcome;
}

// No version is named here (see hash_client_file), so none is marked: the
// service's digest memory keeps nothing on Windows.
std::uint64_t mark_file_version(const PinnedFile& /*file*/) { return 0; }
bool file_version_mark_intact(std::uint64_t /*mark*/) { return false; }
void drop_file_version_mark(std::uint64_t /*mark*/) {}

}  // namespace vorn::os
