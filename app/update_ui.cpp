// The progress counters and the registered interface, apart from the update procedure
// that writes them and the windows that read them.
#include "app/update_ui.h"

std::atomic<int64_t> ItemDone{0};
std::atomic<int64_t> ItemTotal{1};
std::atomic<int64_t> StepDone{0};
std::atomic<int64_t> StepTotal{1};

namespace {
std::atomic<UpdateUi*> g_ui{nullptr};
}  // namespace

void SetUpdateUi(UpdateUi* ui) { g_ui = ui; }
UpdateUi* GetUpdateUi() { return g_ui; }
