// Child processes for tests: CreateProcessA with the test's environment plus
// some entries, optionally with standard output in a file or with standard
// input and output as pipes.
#include "support/child_process.h"

#include <windows.h>

#include <vector>

#include "support/patience.h"

namespace vorn::test {

namespace {

// What kill_child's TerminateProcess leaves as exit code.
constexpr UINT kKilledExitCode = 1;

HANDLE process_of(const ChildProcess& child) {
  return reinterpret_cast<HANDLE>(child.handle);
}

char ascii_lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Environment names are case-insensitive on Windows.
bool entry_has_name(const std::string& entry, const std::string& name) {
  if (entry.size() <= name.size() || entry[name.size()] != '=') return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (ascii_lower(entry[i]) != ascii_lower(name[i])) return false;
  }
  return true;
}

// The test's own environment with the given entries added or replaced, as a
// block of NUL-terminated entries ending in an empty one.
std::vector<char> environment_block(
    const std::vector<std::pair<std::string, std::string>>& extra) {
  std::vector<std::string> entries;
  if (LPCH own = GetEnvironmentStringsA()) {
    for (const char* entry = own; *entry != '\0';) {
      const std::string text = entry;
      entry += text.size() + 1;
      bool replaced = false;
      // "=C:=C:\dir" and the like hold per-drive directories; keep them.
      for (const auto& [name, value] : extra) {
        if (entry_has_name(text, name)) replaced = true;
      }
      if (!replaced) entries.push_back(text);
    }
    FreeEnvironmentStringsA(own);
  }
  for (const auto& [name, value] : extra) entries.push_back(name + "=" + value);
  std::vector<char> block;
  for (const std::string& entry : entries) {
    block.insert(block.end(), entry.begin(), entry.end());
    block.push_back('\0');
  }
  block.push_back('\0');
  if (entries.empty()) block.push_back('\0');
  return block;
}

// Quotes one argument so that the C runtime's parser gives it back unchanged:
// backslashes count only before a quote, where they are doubled.
std::string quoted_argument(const std::string& argument) {
  if (!argument.empty() &&
      argument.find_first_of(" \t\n\v\"") == std::string::npos) {
    return argument;
  }
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      quoted.append(backslashes * 2 + 1, '\\');
    } else {
      quoted.append(backslashes, '\\');
    }
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  quoted += '"';
  return quoted;
}

}  // namespace

namespace {

// CreateProcessA with the test's environment plus `environment`; `input`
// and `output`, when given, become the child's standard handles and must be
// inheritable.
bool create_child(
    ChildProcess& child, const std::string& program,
    const std::vector<std::string>& arguments,
    const std::vector<std::pair<std::string, std::string>>& environment,
    HANDLE input, HANDLE output, HANDLE error = nullptr) {
  std::string command_line = quoted_argument(program);
  for (const std::string& argument : arguments) {
    command_line += ' ';
    command_line += quoted_argument(argument);
  }
  std::vector<char> writable_command(command_line.begin(), command_line.end());
  writable_command.push_back('\0');
  std::vector<char> block = environment_block(environment);

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  const bool redirected =
      input != nullptr || output != nullptr || error != nullptr;
  if (redirected) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input ? input : GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = output ? output : GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = error ? error : GetStdHandle(STD_ERROR_HANDLE);
  }
  PROCESS_INFORMATION started{};
  // Handles are inherited only when a redirection has to reach the child.
  if (!CreateProcessA(program.c_str(), writable_command.data(), nullptr,
                      nullptr, redirected ? TRUE : FALSE, 0, block.data(),
                      nullptr, &startup, &started)) {
    return false;
  }
  CloseHandle(started.hThread);
  child.handle = reinterpret_cast<std::intptr_t>(started.hProcess);
  child.pid = started.dwProcessId;
  child.running = true;
  return true;
}

HANDLE handle_of(std::intptr_t value) {
  return reinterpret_cast<HANDLE>(value);
}

void close_pipe_end(std::intptr_t& end) {
  if (end != -1) CloseHandle(handle_of(end));
  end = -1;
}

}  // namespace

bool start_child(
    ChildProcess& child, const std::string& program,
    const std::vector<std::string>& arguments,
    const std::vector<std::pair<std::string, std::string>>& environment,
    const std::string& stdout_file, bool /*own_session*/,
    const std::string& stderr_file) {
  const auto open_capture = [](const std::string& file) -> HANDLE {
    if (file.empty()) return nullptr;
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileA(file.c_str(), GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
  };
  const HANDLE output = open_capture(stdout_file);
  const HANDLE error = open_capture(stderr_file);
  const bool created = output != INVALID_HANDLE_VALUE &&
                       error != INVALID_HANDLE_VALUE &&
                       create_child(child, program, arguments, environment,
                                    nullptr, output, error);
  for (HANDLE handle : {output, error}) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
      CloseHandle(handle);
    }
  }
  return created;
}

bool start_piped_child(
    ChildProcess& child, const std::string& program,
    const std::vector<std::string>& arguments,
    const std::vector<std::pair<std::string, std::string>>& environment) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE child_input = nullptr, ours_in = nullptr;
  HANDLE child_output = nullptr, ours_out = nullptr;
  // Only the child's ends are inherited.
  const bool piped = CreatePipe(&child_input, &ours_in, &inheritable, 0) &&
                     CreatePipe(&ours_out, &child_output, &inheritable, 0) &&
                     SetHandleInformation(ours_in, HANDLE_FLAG_INHERIT, 0) &&
                     SetHandleInformation(ours_out, HANDLE_FLAG_INHERIT, 0);
  const bool created =
      piped && create_child(child, program, arguments, environment, child_input,
                            child_output);
  for (HANDLE end : {child_input, child_output}) {
    if (end != nullptr) CloseHandle(end);
  }
  child.input = ours_in ? reinterpret_cast<std::intptr_t>(ours_in) : -1;
  child.output = ours_out ? reinterpret_cast<std::intptr_t>(ours_out) : -1;
  child.pending.clear();
  if (!created) {
    close_pipe_end(child.input);
    close_pipe_end(child.output);
  }
  return created;
}

bool read_child_line(ChildProcess& child, std::string& line,
                     unsigned timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  for (;;) {
    const std::size_t end = child.pending.find('\n');
    if (end != std::string::npos) {
      line = child.pending.substr(0, end);
      child.pending.erase(0, end + 1);
      return true;
    }
    if (child.output == -1) return false;
    // An anonymous pipe has no timed read: peek, then read what is there.
    DWORD waiting = 0;
    if (!PeekNamedPipe(handle_of(child.output), nullptr, 0, nullptr, &waiting,
                       nullptr)) {
      close_pipe_end(child.output);  // the child's end is closed
      continue;
    }
    if (waiting == 0) {
      if (GetTickCount64() >= deadline) return false;
      Sleep(1);
      continue;
    }
    char chunk[4096];
    DWORD count = 0;
    if (!ReadFile(handle_of(child.output), chunk, sizeof chunk, &count,
                  nullptr)) {
      close_pipe_end(child.output);
      continue;
    }
    child.pending.append(chunk, count);
  }
}

bool write_child_line(ChildProcess& child, const std::string& line) {
  if (child.input == -1) return false;
  const std::string text = line + "\n";
  DWORD written = 0;
  return WriteFile(handle_of(child.input), text.data(),
                   static_cast<DWORD>(text.size()), &written, nullptr) &&
         written == text.size();
}

void close_child_input(ChildProcess& child) { close_pipe_end(child.input); }

bool wait_child(ChildProcess& child, unsigned idle_ms, int& exit_code) {
  const unsigned timeout_ms = patient_ms(idle_ms);
  if (child.handle == 0) return false;
  // The handle is kept until release_child, so a later wait still answers.
  if (WaitForSingleObject(process_of(child), timeout_ms) != WAIT_OBJECT_0) {
    return false;
  }
  DWORD code = 0;
  if (!GetExitCodeProcess(process_of(child), &code)) return false;
  exit_code = static_cast<int>(code);
  child.running = false;
  return true;
}

void kill_child(ChildProcess& child) {
  if (child.handle != 0) TerminateProcess(process_of(child), kKilledExitCode);
}

void release_child(ChildProcess& child) {
  if (child.handle != 0) {
    if (WaitForSingleObject(process_of(child), 0) == WAIT_TIMEOUT) {
      TerminateProcess(process_of(child), kKilledExitCode);
      WaitForSingleObject(process_of(child), INFINITE);
    }
    CloseHandle(process_of(child));
  }
  close_pipe_end(child.input);
  close_pipe_end(child.output);
  child.pending.clear();
  child.handle = 0;
  child.pid = 0;
  child.running = false;
}

std::string binary_directory() {
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    const DWORD size = static_cast<DWORD>(buffer.size());
    const DWORD length = GetModuleFileNameA(nullptr, buffer.data(), size);
    if (length == 0) return ".";
    if (length < size) {
      const std::string path(buffer.data(), length);
      const std::size_t cut = path.find_last_of("\\/");
      return cut == std::string::npos ? "." : path.substr(0, cut);
    }
    if (size >= 32768) return ".";
    buffer.resize(size * 2);
  }
}

std::string executable_name(const std::string& base) { return base + ".exe"; }

bool under_wine() {
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr &&
         GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace vorn::test
