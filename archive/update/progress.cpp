// The caller's progress callback for long updates. One thread uses the
// library at a time, so a process-wide setting serves.
#include "archive/update/update_internal.h"
#include "sorvane/sorvane.h"

namespace {

UpdateProgressCallback g_callback = nullptr;
void* g_context = nullptr;

}  // namespace

void SetUpdateProgressCallback(UpdateProgressCallback callback, void* context) {
  g_callback = callback;
  g_context = context;
}

void ReportUpdateProgress(uint64_t bytes) {
  if (g_callback != nullptr && bytes != 0) g_callback(g_context, bytes);
}
