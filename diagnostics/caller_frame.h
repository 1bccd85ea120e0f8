// The caller's frame as CaptureCallerContext reads it, shared by both
// systems' implementations so that they read it alike.
#pragma once

#include <cstdint>

#include "diagnostics/system.h"

namespace platform {

// Fills ip, sp and bp of the caller of the function whose own frame address
// and return address are given (__builtin_frame_address(0) and
// __builtin_return_address(0), asked for in that function). Asking for the
// frame address gives the function a frame: the caller's frame pointer and
// the return address sit just above it, and the caller's stack pointer after
// the return lies right past those two words.
inline void SetCallerFrame(CpuContext* context, uintptr_t frame, uintptr_t returnAddress) {
  context->ip = returnAddress;
  uintptr_t saved[2] = {0, 0};
  if (ReadMemory(reinterpret_cast<const void*>(frame), saved, sizeof saved) && saved[1] == returnAddress) {
    context->bp = saved[0];
    context->sp = frame + sizeof saved;
  } else {
    context->sp = frame;
  }
}

}  // namespace platform
