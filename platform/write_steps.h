// The write-step counter behind SetWriteFault, for the two implementations
// of the file calls. Not used above the platform layer.
#pragma once

namespace platform::internal {

// Counts one write step. False (with the fault's error as the last error)
// when the step must fail.
bool TakeWriteStep();

}  // namespace platform::internal
