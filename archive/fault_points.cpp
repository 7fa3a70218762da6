// The counter behind GU_FAULT_POINT; linked only into test programs.
#include "archive/fault_points.h"

#include "codec/threads.h"

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
  return fail;
}

}  // namespace fault_points
