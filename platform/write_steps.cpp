// The write-fault switch: shared by the POSIX and Win32 file calls, so both
// count the same steps.
#include "platform/write_steps.h"

#include <atomic>

#include "platform/platform.h"

namespace platform {

namespace {

constexpr uint64_t kNoLimit = ~static_cast<uint64_t>(0);
std::atomic<uint64_t> stepsTaken{0};
std::atomic<uint64_t> stepLimit{kNoLimit};
std::atomic<uint32_t> faultError{kErrorIoDevice};
std::atomic<bool> onlyDataWrites{false};
std::atomic<uint64_t> freeSpaceLimit{kNoLimit};

}  // namespace

void SetWriteFault(uint64_t allowedSteps, uint32_t error) {
  faultError = error;
  onlyDataWrites = false;
  stepsTaken = 0;
  stepLimit = allowedSteps;
}

void SetDiskFull(uint64_t allowedWrites) {
  SetWriteFault(allowedWrites, kErrorDiskFull);
  onlyDataWrites = true;
}

void SetFreeSpaceLimit(uint64_t bytes) { freeSpaceLimit = bytes; }

void ClearWriteFault() {
  stepLimit = kNoLimit;
  stepsTaken = 0;
  onlyDataWrites = false;
  freeSpaceLimit = kNoLimit;
}

uint64_t WriteStepsTaken() { return stepsTaken; }

namespace internal {

bool TakeWriteStep(bool dataWrite) {
  if (onlyDataWrites && !dataWrite) return true;
  const uint64_t step = ++stepsTaken;
  if (step <= stepLimit) return true;
  SetLastError(faultError);
  return false;
}

uint64_t FreeSpaceLimit() { return freeSpaceLimit; }

}  // namespace internal

}  // namespace platform
