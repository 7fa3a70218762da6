// mkpatch: builds a patch executable from the updater's image and an old and a new game
// tree, optionally signs it, or shows the records of a built patch.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tools/patch_builder.h"

#ifdef _WIN32
#include <io.h>
#define MKPATCH_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define MKPATCH_ISATTY(fd) isatty(fd)
#endif

namespace {

void Usage(FILE* to) {
  std::fprintf(to,
               "usage: mkpatch --stub updater.exe --old OLD_DIR --new NEW_DIR --title TITLE\n"
               "               --old-version TEXT --new-version TEXT --check-file NAME\n"
               "               [--new-check-file NAME] [--codepage N] [--with-times] [--allow-long-names]\n"
               "               [--keep-deleted] [--no-delta] [--rebuild unpack|stream|keep]\n"
               "               [signing] -o PATCH.exe\n"
               "       mkpatch --show PATCH.exe\n"
               "       mkpatch --help\n"
               "\n"
               "--with-times also ships data-archive members that differ only in their write time,\n"
               "and time stamps for loose files whose bytes are unchanged.\n"
               "--allow-long-names ships names that leave the players' game folder path fewer than\n"
               "100 characters (the updater's work paths must fit the classic path limit).\n"
               "Files, data archives, members and directories that the new version no longer has are\n"
               "deleted by the update; --keep-deleted leaves them in the players' installations.\n"
               "A changed file or member goes as a binary delta from its old content where that is\n"
               "smaller once coded; --no-delta ships every changed file whole.\n"
               "--rebuild says how the updater rebuilds the data archives it merges into: unpack\n"
               "(the default) unpacks each into the work folder and packs it again, stored; stream\n"
               "takes the members the patch leaves alone straight from the old archive (the same\n"
               "stored archive, a fraction of the disk and time); keep streams too and keeps the\n"
               "old archive's compression and scrambling, copying unchanged members as they are;\n"
               "with keep, solid and scrambled-directory archives are merged into too, and an\n"
               "archive whose old and new versions differ in these options is refused.\n"
               "\n"
               "signing (Authenticode, SHA-256, by osslsigncode after the payload is appended,\n"
               "so that the signature covers it):\n"
               "  --sign-cert FILE        code-signing certificate (chain), PEM or DER\n"
               "  --sign-key FILE         its private key\n"
               "  --sign-pkcs12 FILE      PKCS#12 file with key and certificates, instead of the two\n"
               "  --sign-pass-file FILE   the key's or PKCS#12 file's password, read from FILE\n"
               "  --sign-timestamp URL    RFC 3161 time-stamp server (contacted over the network)\n"
               "  --sign-name TEXT        program description shown with the signature\n"
               "  --sign-tool PROGRAM     the signing program (default: osslsigncode from PATH)\n"
               "The patch is built, checked and signed in a fresh work directory next to PATCH.exe\n"
               "(PATCH.exe.work-...) and moved to PATCH.exe only when all of it succeeded; a failure\n"
               "leaves no new output.\n");
}

// Progress bar on stderr, drawn only when stderr is a terminal.
class ProgressBar {
 public:
  ProgressBar() : enabled_(MKPATCH_ISATTY(2) != 0) {}
  ~ProgressBar() { End(); }
  void Show(const char* stage, uint64_t done, uint64_t total) {
    if (!enabled_ || total == 0) return;
    const int percent = int(done >= total ? 100 : done * 100 / total);
    if (percent == last_ && stage_ == stage) return;
    last_ = percent;
    stage_ = stage;
    char bar[41];
    const int filled = percent * 40 / 100;
    for (int i = 0; i < 40; ++i) bar[i] = i < filled ? '#' : '.';
    bar[40] = 0;
    std::fprintf(stderr, "\r%-10s [%s] %3d%%", stage, bar, percent);
    std::fflush(stderr);
    drawn_ = true;
  }
  void End() {
    if (drawn_) std::fprintf(stderr, "\r%60s\r", "");
    std::fflush(stderr);
    drawn_ = false;
    last_ = -1;
  }

 private:
  bool enabled_;
  bool drawn_ = false;
  int last_ = -1;
  std::string stage_;
};

// A code-page number: decimal digits only, 1 to 65535.
bool ParseCodePage(const std::string& text, int& value) {
  if (text.empty() || text.size() > 5) return false;
  long n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  if (n < 1 || n > 65535) return false;
  value = static_cast<int>(n);
  return true;
}

int Fail(const std::string& message, int code) {
  std::fprintf(stderr, "mkpatch: %s\n", message.c_str());
  return code;
}

// Options with a value, the field they fill, and whether a build needs them.
struct ValueOption {
  std::string* Target;
  bool Required;
};

// The command line read into the options: -1 to go on, else the exit code.
struct CommandLine {
  PatchOptions options;
  std::string show, codepage, rebuild;
  std::map<std::string, int> given;
  std::map<std::string, ValueOption> value_options = {
      {"--stub", {&options.Stub, true}},
      {"--old", {&options.OldDir, true}},
      {"--new", {&options.NewDir, true}},
      {"--title", {&options.Title, true}},
      {"--old-version", {&options.OldVersion, true}},
      {"--new-version", {&options.NewVersion, true}},
      {"--check-file", {&options.CheckFile, true}},
      {"-o", {&options.Output, true}},
      {"--new-check-file", {&options.NewCheckFile, false}},
      {"--codepage", {&codepage, false}},
      {"--show", {&show, false}},
      {"--rebuild", {&rebuild, false}},
      {"--sign-cert", {&options.Sign.Certificate, false}},
      {"--sign-key", {&options.Sign.Key, false}},
      {"--sign-pkcs12", {&options.Sign.Pkcs12, false}},
      {"--sign-pass-file", {&options.Sign.PasswordFile, false}},
      {"--sign-timestamp", {&options.Sign.TimestampUrl, false}},
      {"--sign-name", {&options.Sign.Description, false}},
      {"--sign-tool", {&options.Sign.Tool, false}},
  };
  CommandLine() = default;
  CommandLine(const CommandLine&) = delete;
  CommandLine& operator=(const CommandLine&) = delete;

  int Read(int argc, char** argv) {
    const std::map<std::string, bool*> flags = {{"--with-times", &options.WithTimes},
                                                {"--allow-long-names", &options.AllowLongNames},
                                                {"--keep-deleted", &options.KeepDeleted},
                                                {"--no-delta", &options.NoDelta}};
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      if (arg == "--help" || arg == "-h") {
        Usage(stdout);
        return 0;
      }
      if (++given[arg] > 1) {
        Usage(stderr);
        return Fail(arg + " is given twice", 2);
      }
      const auto flag = flags.find(arg);
      if (flag != flags.end()) {
        *flag->second = true;
        continue;
      }
      auto option = value_options.find(arg);
      if (option == value_options.end()) {
        Usage(stderr);
        return Fail("unknown option " + arg, 2);
      }
      if (i + 1 >= argc) {
        Usage(stderr);
        return Fail(arg + " needs a value", 2);
      }
      *option->second.Target = argv[++i];
    }
    return -1;
  }

  // The options a build needs and the code page: -1 when they are all there and good.
  int Check() {
    std::string missing;
    for (const auto& [name, option] : value_options) {
      if (option.Required && given.count(name) == 0) missing += (missing.empty() ? "" : ", ") + name;
    }
    if (!missing.empty()) {
      Usage(stderr);
      return Fail("missing " + missing, 2);
    }
    if (given.count("--rebuild") != 0 && !ParseRebuildWay(rebuild, options.Rebuild)) {
      return Fail("--rebuild: \"" + rebuild + "\" is not unpack, stream or keep", 2);
    }
    if (given.count("--codepage") != 0) {
      std::string error;
      if (!ParseCodePage(codepage, options.CodePage)) {
        return Fail("--codepage: \"" + codepage + "\" is not a code-page number", 2);
      }
      if (!CheckPatchCodePage(options.CodePage, error)) return Fail("--codepage: " + error, 2);
    }
    return -1;
  }
};

int Show(const CommandLine& line) {
  if (line.given.size() != 1) return Fail("--show takes no other options", 2);
  std::string text, error;
  const bool ok = DescribePatch(line.show, text, error);
  std::fputs(text.c_str(), stdout);
  if (!ok) return Fail(error, 1);
  return 0;
}

int Build(PatchOptions& options) {
  ProgressBar bar;
  options.Progress = [&bar](const char* stage, uint64_t done, uint64_t total) { bar.Show(stage, done, total); };
  PatchSummary summary;
  std::string error;
  const bool built = BuildPatch(options, summary, error);
  bar.End();
  if (!built) return Fail(error, 1);
  std::printf("%s\n", options.Output.c_str());
  std::fputs(SummaryText(summary).c_str(), stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CommandLine line;
  int code = line.Read(argc, argv);
  if (code >= 0) return code;
  if (line.given.count("--show") != 0) return Show(line);
  code = line.Check();
  if (code >= 0) return code;
  return Build(line.options);
}
