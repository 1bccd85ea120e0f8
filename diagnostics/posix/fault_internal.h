// What the POSIX crash capture gathers at install time, for the queries
// that must work inside a fault handler without the heap, locks or the
// dynamic linker.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "diagnostics/system.h"

namespace platform::posix {

struct PreparedModule {
  std::string path;
  uintptr_t bias;  // load address less the addresses in the file
  struct Segment {
    uintptr_t start;
    uintptr_t end;
  };
  std::vector<Segment> segments;  // the loadable segments, in program-header order
};

struct PreparedSymbol {
  uintptr_t start;  // run-time address
  uintptr_t end;    // past the code; where the table gives no size, the next symbol or the segment's end
  uint32_t name;    // offset into the name pool
};

struct PreparedTables {
  std::vector<PreparedModule> modules;
  std::vector<PreparedSymbol> symbols;  // by start address
  std::vector<char> names;              // demangled, each ending in '\0'
  bool haveUser = false;
  char userName[257] = "";
  bool haveComputer = false;
  char computerName[256] = "";
  long utcOffset = 0;  // seconds east of UTC at install time
  // The C library's abort, so that a trace of an abort can start at its caller.
  uintptr_t abortStart = 0;
  uintptr_t abortEnd = 0;
};

// The tables while crash capture is installed, null otherwise.
const PreparedTables* Prepared();

// Whether the calling thread is inside the fault handler.
bool InFaultHandler();

// The symbol whose code holds the address, or null.
const PreparedSymbol* FindPreparedSymbol(const PreparedTables& tables, uintptr_t address);

// The calendar fields of a count of seconds since 1970 (dayOfWeek too),
// without the time-zone database; milliseconds are left alone.
void CivilTime(int64_t seconds, LocalTime* time);

// From inside a handler for SIGABRT: the instruction, frame and stack
// pointers of the frame that called abort, found by walking out of the
// frames inside [abortStart, abortEnd).
bool FindAbortCaller(uintptr_t abortStart, uintptr_t abortEnd, uintptr_t* pc, uintptr_t* frame, uintptr_t* stack);

// Copies text into a buffer of size bytes, cutting it, always terminating.
void CopyText(char* buffer, size_t size, const char* text);

}  // namespace platform::posix
