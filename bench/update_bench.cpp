// Whole-update benchmark: runs the update procedure once against an installation and a
// patch prepared by bench/update_bench.sh, and reports its time and where it went. The
// step counters the progress window shows mark the phases: unpacking each data archive,
// extracting the patch, rebuilding each data archive (with the swap after the last one),
// placing the loose files, and removing the staged members (with the time stamps last).
//   update_bench PATCH.exe INSTALL_DIR
//   update_bench --copy FROM TO     (one file copied by the system and flushed, timed)
#include <windows.h>
#include <psapi.h>
#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/app_globals.h"
#include "app/payload.h"
#include "app/update_log.h"
#include "app/update_ui.h"
#include "app/update_worker.h"
#include "platform/text.h"

namespace {

double Now() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return static_cast<double>(t.QuadPart) / static_cast<double>(frequency.QuadPart);
}

struct Phase {
  int64_t Step = 0;
  double Start = 0;
  double LastRepaint = 0;
  int64_t Items = 0;
  int64_t Repaints = 0;
};

// Notes when the step counter moves; paints nothing.
class TimingUi : public UpdateUi {
 public:
  void Repaint() override {
    const double now = Now();
    const int64_t step = StepDone;
    if (phases.empty() || phases.back().Step != step) phases.push_back({step, now, now, 0, 0});
    Phase& p = phases.back();
    p.LastRepaint = now;
    p.Items = ItemTotal;
    ++p.Repaints;
  }
  void SetProgressText(const std::string&) override {}
  void ShowMessage(const std::string&, const std::string&, unsigned) override {}
  void OpenDocument(const std::string&) override {}
  void AnnounceEnd() override {}

  std::vector<Phase> phases;
};

std::string Utf8Arg(const wchar_t* arg) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, arg, -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? static_cast<size_t>(n) : 0u, '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, arg, -1, &out[0], n, nullptr, nullptr);
  if (!out.empty()) out.pop_back();
  return out;
}

// The phase a step number stands for, with n data archives.
std::string PhaseName(int64_t step, int64_t n) {
  if (step < n) return "unpack data archive " + std::to_string(step + 1);
  if (step == n) return "extract patch";
  if (step <= 2 * n) return "rebuild data archive " + std::to_string(step - n) + (step == 2 * n ? " + swap" : "");
  if (step == 2 * n + 1) return "place loose files";
  if (step <= 3 * n + 1) return "remove staged members " + std::to_string(step - 2 * n - 1) +
                                (step == 3 * n + 1 ? " + times" : "");
  return "end";
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv != nullptr && argc == 4 && std::wstring(argv[1]) == L"--copy") {
    // The system's own copy of one file, flushed to the disk as the update flushes what
    // it writes: the peer of the update's own time, both timed inside the process.
    const double start = Now();
    bool ok = CopyFileW(argv[2], argv[3], FALSE) != 0;
    HANDLE out = CreateFileW(argv[3], GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ok = ok && out != INVALID_HANDLE_VALUE && FlushFileBuffers(out);
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    std::printf("copy %s %.3f\n", ok ? "ok" : "FAILED", Now() - start);
    LocalFree(argv);
    return ok ? 0 : 1;
  }
  if (argv == nullptr || argc != 3) {
    std::fprintf(stderr, "usage: update_bench PATCH.exe INSTALL_DIR\n       update_bench --copy FROM TO\n");
    return 2;
  }
  SetProgramFilePathOverride(Utf8Arg(argv[1]));
  InstallPath = Utf8Arg(argv[2]);
  LocalFree(argv);

  TimingUi ui;
  SetUpdateUi(&ui);
  const double start = Now();
  const bool ok = RunUpdate();
  const double end = Now();
  SetUpdateUi(nullptr);

  const int64_t steps = StepTotal;
  const int64_t archives = (steps - 2) / 3;
  std::printf("result %s\n", ok ? "ok" : "FAILED");
  std::printf("total %.3f\n", end - start);
  PROCESS_MEMORY_COUNTERS memory = {};
  memory.cb = sizeof(memory);
  if (GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory))) {
    std::printf("peak memory %llu KiB working set, %llu KiB private\n",
                static_cast<unsigned long long>(memory.PeakWorkingSetSize / 1024),
                static_cast<unsigned long long>(memory.PeakPagefileUsage / 1024));
  }
  if (!ui.phases.empty()) std::printf("phase %-36s %8.3f s\n", "open patch, recover backups", ui.phases[0].Start - start);
  for (size_t i = 0; i < ui.phases.size(); ++i) {
    const Phase& p = ui.phases[i];
    if (p.Step >= steps) break;  // the final repaint
    const double until = i + 1 < ui.phases.size() ? ui.phases[i + 1].Start : end;
    std::printf("phase %-36s %8.3f s  (%lld items, %lld repaints)\n", PhaseName(p.Step, archives).c_str(),
                until - p.Start, static_cast<long long>(p.Items), static_cast<long long>(p.Repaints));
  }
  // The run's log, whose lines carry their times: where the long phases went.
  if (FILE* log = _wfopen(Utf8ToWide(UpdateLogPath()).c_str(), L"rb")) {
    char line[512];
    while (std::fgets(line, sizeof(line), log)) std::printf("log %s", line);
    std::fclose(log);
  }
  return ok ? 0 : 1;
}
