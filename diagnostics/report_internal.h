// State and helpers shared by the report units.
#pragma once

#include <string>

#include "diagnostics/diagnostics.h"

// The report traces the stack from its own frames, which must therefore stay
// real frames.
#if defined(_MSC_VER)
#include <intrin.h>
#define REPORT_NOINLINE __declspec(noinline)
#define REPORT_RETURN_ADDRESS() _ReturnAddress()
#define REPORT_FRAME_ADDRESS() _AddressOfReturnAddress()
#else
#define REPORT_NOINLINE __attribute__((noinline))
#define REPORT_RETURN_ADDRESS() __builtin_return_address(0)
#define REPORT_FRAME_ADDRESS() __builtin_frame_address(0)
#endif

namespace report {

// The hooks in force (all defaults unless a test set them).
const ReportHooks& Hooks();

// The executable's full path.
std::string ProgramPath();

// The local time now, or the fixed time of the hooks.
void CurrentLocalTime(platform::LocalTime* time);

// The folder part of a path, up to and including its last separator; empty
// when it has none.
std::string FolderOf(const std::string& path);

}  // namespace report
