// The counter behind GU_FAULT_POINT; linked only into test programs.
#include "archive/fault_points.h"

#include <atomic>

#include "codec/threads.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace fault_points {
namespace {

gca::Mutex g_lock;
Mode g_mode = Mode::kOff;
uint64_t g_target = 0;
uint64_t g_count = 0;
bool g_tripped = false;
std::vector<std::string> g_log;
std::string g_kind;

}  // namespace

void Arm(Mode mode, uint64_t n) {
  gca::MutexLock hold(g_lock);
  g_mode = mode;
  g_target = n;
  g_count = 0;
  g_tripped = false;
  g_log.clear();
}

void ArmKind(const std::string& operation) {
  gca::MutexLock hold(g_lock);
  g_mode = Mode::kFailKind;
  g_kind = operation;
  g_count = 0;
  g_tripped = false;
  g_log.clear();
}

void Disarm() {
  gca::MutexLock hold(g_lock);
  g_mode = Mode::kOff;
}

uint64_t Count() {
  gca::MutexLock hold(g_lock);
  return g_count;
}

std::vector<std::string> Log() {
  gca::MutexLock hold(g_lock);
  return g_log;
}

bool Tripped() {
  gca::MutexLock hold(g_lock);
  return g_tripped;
}

bool Fails(const char* operation) {
  gca::MutexLock hold(g_lock);
  if (g_mode == Mode::kOff) return false;
  const uint64_t n = ++g_count;
  g_log.emplace_back(operation);
  bool fail = false;
  if (g_mode == Mode::kCrashAt) fail = n >= g_target;
  if (g_mode == Mode::kFailOne) fail = n == g_target;
  if (g_mode == Mode::kFailKind) fail = g_kind == operation;
  if (fail) g_tripped = true;
#ifdef _WIN32
  // A failed operation leaves an error code as the system's would: a device error,
  // which no caller takes for a file in use.
  if (fail) SetLastError(ERROR_GEN_FAILURE);
#endif
  return fail;
}

namespace {
std::atomic<uint64_t> g_time_rounding{0};
}  // namespace

void SetTimeRounding(uint64_t ticks) { g_time_rounding = ticks; }

uint64_t TimeRounding() { return g_time_rounding; }

uint64_t StoredTime(uint64_t time) {
  const uint64_t ticks = g_time_rounding;
  if (ticks == 0 || time % ticks == 0) return time;
  return time - time % ticks + ticks;
}

}  // namespace fault_points
