// The write-step counter behind SetWriteFault, for the two implementations
// of the file calls. Not used above the platform layer.
#pragma once

#include <cstdint>

namespace platform::internal {

// Counts one write step. False (with the fault's error as the last error)
// when the step must fail. dataWrite: the step writes file data (a full
// disk fails only those).
bool TakeWriteStep(bool dataWrite = false);
// The free space GetFreeDiskSpace may report at most.
uint64_t FreeSpaceLimit();

}  // namespace platform::internal
