#include "tools/patch_signer.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

extern char** environ;
#endif

namespace fs = std::filesystem;

namespace {

const char kDefaultTool[] = "osslsigncode";

uint32_t U16(const uint8_t* p) { return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8); }
uint32_t U32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

bool Readable(const std::string& path) {
  std::ifstream in(fs::u8path(path), std::ios::binary);
  return static_cast<bool>(in);
}

// Options begin with '-': an absolute path never does, so no file name can be taken for one.
std::string AbsolutePath(const std::string& path) {
  std::error_code ec;
  const fs::path absolute = fs::absolute(fs::u8path(path), ec);
  return ec ? path : absolute.u8string();
}

std::string ReadLog(const std::string& log) {
  std::ifstream in(fs::u8path(log), std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  const size_t kMaxShown = 4000;
  if (text.size() > kMaxShown) text = "...\n" + text.substr(text.size() - kMaxShown);
  return text;
}

// The full path of the signing program, or empty when it cannot be found.
std::string FindTool(const SignOptions& options) {
  const std::string tool = options.Tool.empty() ? kDefaultTool : options.Tool;
#ifdef _WIN32
  const std::wstring wide = fs::u8path(tool).wstring();
  std::vector<wchar_t> found(32768);
  const DWORD n = SearchPathW(nullptr, wide.c_str(), L".exe", static_cast<DWORD>(found.size()), found.data(), nullptr);
  if (n == 0 || n >= found.size()) return std::string();
  return fs::path(std::wstring(found.data(), n)).u8string();
#else
  if (tool.find('/') != std::string::npos) return access(tool.c_str(), X_OK) == 0 ? tool : std::string();
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t begin = 0;
  while (begin <= dirs.size()) {
    size_t end = dirs.find(':', begin);
    if (end == std::string::npos) end = dirs.size();
    const std::string dir = end > begin ? dirs.substr(begin, end - begin) : std::string(".");
    const std::string candidate = dir + "/" + tool;
    struct stat info;
    if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    begin = end + 1;
  }
  return std::string();
#endif
}

#ifdef _WIN32
// Runs the command with its output going to log; the exit code, or -1 when it cannot run.
int RunTool(const std::string& program, const std::vector<std::string>& arguments, const std::string& log,
            std::string& error) {
  SECURITY_ATTRIBUTES inherit = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE out = CreateFileW(fs::u8path(log).wstring().c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
  if (out == INVALID_HANDLE_VALUE || in == INVALID_HANDLE_VALUE) {
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
    error = "cannot create the signing log \"" + log + "\"";
    return -1;
  }
  STARTUPINFOW startup;
  std::memset(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = out;
  PROCESS_INFORMATION process;
  std::memset(&process, 0, sizeof(process));
  std::wstring command = fs::u8path(WindowsCommandLine(arguments)).wstring();
  const std::wstring application = fs::u8path(program).wstring();
  const BOOL started = CreateProcessW(application.c_str(), &command[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                      nullptr, nullptr, &startup, &process);
  CloseHandle(out);
  CloseHandle(in);
  if (!started) {
    error = "cannot run \"" + program + "\" (error " + std::to_string(GetLastError()) + ")";
    return -1;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 1;
  if (!GetExitCodeProcess(process.hProcess, &code)) code = 1;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(code & 0x7fffffff);
}
#else
int RunTool(const std::string& program, const std::vector<std::string>& arguments, const std::string& log,
            std::string& error) {
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) {
    error = "cannot prepare the signing program";
    return -1;
  }
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<char*> argv;
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    error = "cannot run \"" + program + "\": " + std::strerror(spawned);
    return -1;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      error = "lost the signing program: " + std::string(std::strerror(errno));
      return -1;
    }
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  error = "the signing program \"" + program + "\" ended by signal " +
          std::to_string(WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  return -1;
}
#endif

}  // namespace

bool CheckSignOptions(const SignOptions& options, std::string& error) {
  const bool pair = !options.Certificate.empty() || !options.Key.empty();
  if (pair && !options.Pkcs12.empty()) {
    error = "sign with either --sign-pkcs12 or --sign-cert and --sign-key, not both";
    return false;
  }
  if (pair && (options.Certificate.empty() || options.Key.empty())) {
    error = options.Certificate.empty() ? "--sign-key needs --sign-cert" : "--sign-cert needs --sign-key";
    return false;
  }
  if (!options.Enabled()) {
    if (!options.PasswordFile.empty() || !options.TimestampUrl.empty() || !options.Description.empty()) {
      error = "the signing options need --sign-cert and --sign-key, or --sign-pkcs12";
      return false;
    }
    return true;
  }
  for (const std::string* file : {&options.Certificate, &options.Key, &options.Pkcs12, &options.PasswordFile}) {
    if (!file->empty() && !Readable(*file)) {
      error = "cannot read the signing file \"" + *file + "\"";
      return false;
    }
  }
  if (!options.TimestampUrl.empty() && options.TimestampUrl.compare(0, 7, "http://") != 0 &&
      options.TimestampUrl.compare(0, 8, "https://") != 0) {
    error = "the time-stamp server \"" + options.TimestampUrl + "\" is no http:// or https:// address";
    return false;
  }
  if (FindTool(options).empty()) {
    error = "signing needs \"" + (options.Tool.empty() ? std::string(kDefaultTool) : options.Tool) +
            "\", which was not found" + (options.Tool.empty() ? " on PATH" : "");
    return false;
  }
  return true;
}

std::vector<std::string> SignCommand(const SignOptions& options, const std::string& program,
                                     const std::string& input, const std::string& output) {
  std::vector<std::string> a = {program, "sign"};
  if (!options.Pkcs12.empty()) {
    a.insert(a.end(), {"-pkcs12", AbsolutePath(options.Pkcs12)});
  } else {
    a.insert(a.end(), {"-certs", AbsolutePath(options.Certificate), "-key", AbsolutePath(options.Key)});
  }
  // The password only ever travels in its file, never on a command line.
  if (!options.PasswordFile.empty()) a.insert(a.end(), {"-readpass", AbsolutePath(options.PasswordFile)});
  a.insert(a.end(), {"-h", "sha256"});
  if (!options.Description.empty()) a.insert(a.end(), {"-n", options.Description});
  if (!options.TimestampUrl.empty()) a.insert(a.end(), {"-ts", options.TimestampUrl});
  a.insert(a.end(), {"-in", AbsolutePath(input), "-out", AbsolutePath(output)});
  return a;
}

bool SignFile(const SignOptions& options, const std::string& input, const std::string& output,
              const std::string& log, std::string& error) {
  const std::string program = FindTool(options);
  if (program.empty()) {
    error = "signing needs \"" + (options.Tool.empty() ? std::string(kDefaultTool) : options.Tool) +
            "\", which was not found";
    return false;
  }
  std::error_code ec;
  fs::remove(fs::u8path(output), ec);
  const int code = RunTool(program, SignCommand(options, program, input, output), log, error);
  if (code < 0) return false;
  const std::string messages = ReadLog(log);
  const bool written = fs::file_size(fs::u8path(output), ec) > 0 && !ec;
  if (code != 0 || !written) {
    error = "signing failed (" + fs::u8path(program).filename().u8string() +
            (code != 0 ? " exit code " + std::to_string(code) : std::string(" wrote no file")) + ")" +
            (messages.empty() ? std::string() : ":\n" + messages);
    return false;
  }
  return true;
}

bool PeCertificateTable(const uint8_t* bytes, size_t size, uint64_t& offset, uint64_t& length,
                        size_t* entry_position) {
  offset = length = 0;
  if (size < 0x40 || bytes[0] != 'M' || bytes[1] != 'Z') return false;
  const uint64_t pe = U32(bytes + 0x3c);
  if (pe > size || size - pe < 24 || std::memcmp(bytes + pe, "PE\0\0", 4) != 0) return false;
  const uint64_t optional = pe + 24;
  const uint64_t optional_size = U16(bytes + pe + 20);
  if (optional_size < 2 || optional + optional_size > size) return false;
  const uint32_t magic = U16(bytes + optional);
  // The data directories follow the fixed fields: 96 bytes in PE32, 112 in PE32+.
  const uint64_t fixed = magic == 0x10b ? 96 : magic == 0x20b ? 112 : 0;
  if (fixed == 0 || optional_size < fixed) return false;
  const uint32_t directories = U32(bytes + optional + fixed - 4);
  const uint64_t entry = optional + fixed + 4 * 8;  // the fifth entry
  if (directories < 5 || entry + 8 > optional + optional_size) return false;
  offset = U32(bytes + entry);
  length = U32(bytes + entry + 4);
  if (entry_position != nullptr) *entry_position = static_cast<size_t>(entry);
  return true;
}

std::string WindowsCommandLine(const std::vector<std::string>& arguments) {
  std::string line;
  for (const std::string& argument : arguments) {
    if (!line.empty()) line += ' ';
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) {
      line += argument;
      continue;
    }
    // Backslashes are literal except in front of a quote: there they are doubled, and the
    // quote itself is escaped; a closing quote follows doubled trailing backslashes.
    line += '"';
    size_t backslashes = 0;
    for (char c : argument) {
      if (c == '\\') {
        ++backslashes;
        continue;
      }
      if (c == '"') {
        line.append(backslashes * 2 + 1, '\\');
      } else {
        line.append(backslashes, '\\');
      }
      backslashes = 0;
      line += c;
    }
    line.append(backslashes * 2, '\\');
    line += '"';
  }
  return line;
}
