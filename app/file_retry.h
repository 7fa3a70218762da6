// File operations of the update that another program can block for a while (the game
// or a virus scanner holding a file open): an operation that fails because the file is
// in use is tried again with growing waits, for a bounded time, before the update gives
// up on it. Any other failure is final at once. The last failure is kept for the run's
// message.
#pragma once
#include <cstdint>
#include <string>

// The longest time, in milliseconds, spent waiting for one file (about 10 s).
extern uint32_t InUseRetryMilliseconds;

// MovePath and RemoveFile of the platform layer, retried while the file is in use.
// On failure the system's error code is left for GetLastError and noted as the run's
// failure (operation, path, error) when none is noted yet.
bool MoveRetrying(const std::string& destination, const std::string& source);
bool RemoveRetrying(const std::string& path);

// Retries an operation that returns true on success, while it fails with an in-use
// error and the time allows; leaves the last error for GetLastError.
template <typename Operation>
bool RetryWhileInUse(Operation operation);

// The error and path of the last failed retrying operation (0 and empty after a success
// of ResetLastFileFailure).
uint32_t LastFileError();
const std::string& LastFilePath();
void ResetLastFileFailure();

bool RetryLoop(bool (*attempt)(void*), void* context);

template <typename Operation>
bool RetryWhileInUse(Operation operation) {
  return RetryLoop([](void* c) { return (*static_cast<Operation*>(c))(); }, &operation);
}
