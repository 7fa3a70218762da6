#include "app/file_retry.h"

#include <windows.h>

#include "app/update_log.h"
#include "app/update_messages.h"
#include "platform/text.h"
#include "platform/file_system.h"

uint32_t InUseRetryMilliseconds = 10000;

namespace {

constexpr uint32_t kFirstWait = 50;
constexpr uint32_t kLongestWait = 2000;

uint32_t g_last_error = 0;
std::string g_last_path;

void Remember(const char* operation, const std::string& path) {
  const DWORD error = GetLastError();
  g_last_error = error;
  g_last_path = path;
  NoteOperationFailure(operation, path, error);
  SetLastError(error);
}

}  // namespace

bool RetryLoop(bool (*attempt)(void*), void* context) {
  uint32_t waited = 0;
  uint32_t wait = kFirstWait;
  for (;;) {
    if (attempt(context)) {
      if (waited != 0) LogLine(FormatText("in use by another program for %u ms, then done", waited));
      return true;
    }
    const DWORD error = GetLastError();
    if (!IsInUseError(error) || waited >= InUseRetryMilliseconds) {
      if (waited != 0) LogLine(FormatText("still in use after %u ms: given up", waited));
      SetLastError(error);
      return false;
    }
    if (wait > InUseRetryMilliseconds - waited) wait = InUseRetryMilliseconds - waited;
    Sleep(wait);
    waited += wait;
    wait = wait * 2 < kLongestWait ? wait * 2 : kLongestWait;
  }
}

bool MoveRetrying(const std::string& destination, const std::string& source) {
  if (RetryWhileInUse([&] { return MovePath(destination, source); })) return true;
  Remember("move", source);
  return false;
}

bool RemoveRetrying(const std::string& path) {
  if (RetryWhileInUse([&] { return RemoveFile(path); })) return true;
  Remember("delete", path);
  return false;
}

uint32_t LastFileError() { return g_last_error; }
const std::string& LastFilePath() { return g_last_path; }
void ResetLastFileFailure() {
  g_last_error = 0;
  g_last_path.clear();
}
