// Crash capture on Windows. The faulting thread only records the exception
// and hands it to a thread made at install time, which writes the report on
// a stack of its own: after a stack overflow the faulting thread has too
// little stack left for more than that (the system keeps only what the
// thread's stack guarantee asks for, and wine keeps less). The faulting
// thread then ends the process with the exception code.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <string>
#include <vector>

#include "diagnostics/win32/win32_internal.h"

#include "diagnostics/system.h"

namespace platform {

namespace {

struct ExceptionName {
  DWORD code;
  const char* name;
  const char* description;
};

constexpr ExceptionName kExceptions[] = {
    {EXCEPTION_ACCESS_VIOLATION, "EXCEPTION_ACCESS_VIOLATION", "access violation"},
    {EXCEPTION_STACK_OVERFLOW, "EXCEPTION_STACK_OVERFLOW", "stack overflow"},
    {EXCEPTION_INT_DIVIDE_BY_ZERO, "EXCEPTION_INT_DIVIDE_BY_ZERO", "integer divide by zero"},
    {EXCEPTION_INT_OVERFLOW, "EXCEPTION_INT_OVERFLOW", "integer overflow"},
    {EXCEPTION_ILLEGAL_INSTRUCTION, "EXCEPTION_ILLEGAL_INSTRUCTION", "illegal instruction"},
    {EXCEPTION_PRIV_INSTRUCTION, "EXCEPTION_PRIV_INSTRUCTION", "privileged instruction"},
    {EXCEPTION_IN_PAGE_ERROR, "EXCEPTION_IN_PAGE_ERROR", "page could not be read in"},
    {EXCEPTION_DATATYPE_MISALIGNMENT, "EXCEPTION_DATATYPE_MISALIGNMENT", "misaligned data"},
    {EXCEPTION_ARRAY_BOUNDS_EXCEEDED, "EXCEPTION_ARRAY_BOUNDS_EXCEEDED", "array bounds exceeded"},
    {EXCEPTION_FLT_DENORMAL_OPERAND, "EXCEPTION_FLT_DENORMAL_OPERAND", "floating-point denormal operand"},
    {EXCEPTION_FLT_DIVIDE_BY_ZERO, "EXCEPTION_FLT_DIVIDE_BY_ZERO", "floating-point divide by zero"},
    {EXCEPTION_FLT_INEXACT_RESULT, "EXCEPTION_FLT_INEXACT_RESULT", "floating-point inexact result"},
    {EXCEPTION_FLT_INVALID_OPERATION, "EXCEPTION_FLT_INVALID_OPERATION", "floating-point invalid operation"},
    {EXCEPTION_FLT_OVERFLOW, "EXCEPTION_FLT_OVERFLOW", "floating-point overflow"},
    {EXCEPTION_FLT_STACK_CHECK, "EXCEPTION_FLT_STACK_CHECK", "floating-point stack check"},
    {EXCEPTION_FLT_UNDERFLOW, "EXCEPTION_FLT_UNDERFLOW", "floating-point underflow"},
    {EXCEPTION_BREAKPOINT, "EXCEPTION_BREAKPOINT", "breakpoint"},
    {EXCEPTION_SINGLE_STEP, "EXCEPTION_SINGLE_STEP", "single step"},
    {EXCEPTION_NONCONTINUABLE_EXCEPTION, "EXCEPTION_NONCONTINUABLE_EXCEPTION", "continued after a fatal exception"},
    {EXCEPTION_INVALID_DISPOSITION, "EXCEPTION_INVALID_DISPOSITION", "invalid disposition"},
    {EXCEPTION_GUARD_PAGE, "EXCEPTION_GUARD_PAGE", "guard page"},
    {EXCEPTION_INVALID_HANDLE, "EXCEPTION_INVALID_HANDLE", "invalid handle"},
    {0xC0000374, "STATUS_HEAP_CORRUPTION", "heap corruption"},
    {0xC0000409, "STATUS_STACK_BUFFER_OVERRUN", "stack buffer overrun"},
    {0xE06D7363, "C++ exception", "uncaught exception"},
    {0x20474343, "C++ exception", "uncaught exception"},
};

// The reporting thread and its two signals.
HANDLE reportThread = nullptr;
DWORD reportThreadId = 0;
HANDLE requestEvent = nullptr;
HANDLE doneEvent = nullptr;
std::atomic<bool> stopping{false};
std::atomic<FaultHandler> faultHandler{nullptr};
PVOID vectoredHandler = nullptr;
LPTOP_LEVEL_EXCEPTION_FILTER previousFilter = nullptr;
bool installed = false;

// The fault being reported; one at a time.
std::atomic<LONG> reporting{0};
FaultRecord pendingFault;
ULONG_PTR faultStackLow = 0;
ULONG_PTR faultStackHigh = 0;
char unknownName[32];

// How long the faulting thread waits for the report before ending the
// process regardless; a report that hangs must not keep a crashed program
// alive.
constexpr DWORD kReportTimeout = 60000;

// The program's own function symbols from the symbol table its image keeps
// (the one the GNU tools leave in, with functions of internal linkage too),
// read at install: the debug-help library names only what debug
// information it understands describes.
struct ProgramSymbol {
  uintptr_t start;
  uintptr_t end;
  uint32_t name;
};
struct ProgramSymbols {
  std::vector<ProgramSymbol> symbols;  // by start
  std::vector<char> names;             // demangled, each ending in '\0'
};
std::atomic<const ProgramSymbols*> programSymbols{nullptr};

bool ReadExactly(HANDLE file, DWORD offset, void* out, DWORD size) {
  DWORD got = 0;
  return ::SetFilePointer(file, static_cast<LONG>(offset), nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
         ::ReadFile(file, out, size, &got, nullptr) && got == size;
}

// The parts of the program's image file its symbols are read from.
struct ImageSymbolTable {
  IMAGE_FILE_HEADER header;
  std::vector<IMAGE_SECTION_HEADER> sections;
  std::vector<unsigned char> table;
  std::vector<char> strings;  // with a terminator past the file's own bytes
};

// Reads the section headers, the symbol table and its string table, each
// checked to lie within the file.
bool ReadImageSymbolTable(HANDLE file, ImageSymbolTable* image) {
  const DWORD fileSize = ::GetFileSize(file, nullptr);
  IMAGE_DOS_HEADER dos;
  IMAGE_FILE_HEADER& header = image->header;
  DWORD signature = 0;
  bool ok = fileSize != INVALID_FILE_SIZE && ReadExactly(file, 0, &dos, sizeof dos) &&
            dos.e_magic == IMAGE_DOS_SIGNATURE && dos.e_lfanew > 0 &&
            ReadExactly(file, static_cast<DWORD>(dos.e_lfanew), &signature, sizeof signature) &&
            signature == IMAGE_NT_SIGNATURE &&
            ReadExactly(file, static_cast<DWORD>(dos.e_lfanew) + 4, &header, sizeof header) &&
            header.PointerToSymbolTable != 0 && header.NumberOfSymbols != 0 &&
            header.PointerToSymbolTable < fileSize &&
            static_cast<uint64_t>(header.NumberOfSymbols) * IMAGE_SIZEOF_SYMBOL <= fileSize - header.PointerToSymbolTable;
  if (!ok) return false;
  image->sections.resize(header.NumberOfSections);
  const DWORD sectionsAt = static_cast<DWORD>(dos.e_lfanew) + 4 + sizeof header + header.SizeOfOptionalHeader;
  const DWORD tableSize = header.NumberOfSymbols * IMAGE_SIZEOF_SYMBOL;
  const DWORD stringsAt = header.PointerToSymbolTable + tableSize;
  DWORD stringsSize = 0;
  image->table.resize(tableSize);
  ok = ReadExactly(file, sectionsAt, image->sections.data(),
                   static_cast<DWORD>(image->sections.size() * sizeof(IMAGE_SECTION_HEADER))) &&
       ReadExactly(file, header.PointerToSymbolTable, image->table.data(), tableSize) &&
       ReadExactly(file, stringsAt, &stringsSize, sizeof stringsSize) && stringsSize >= 4 &&
       stringsAt <= fileSize && stringsSize <= fileSize - stringsAt;
  if (!ok) return false;
  image->strings.assign(stringsSize + 1, '\0');
  return ReadExactly(file, stringsAt, image->strings.data(), stringsSize);
}

// Takes the table's function symbols, demangled, at their run-time
// addresses; each reaches to the end of its section for now.
void TakeFunctionSymbols(const ImageSymbolTable& image, uintptr_t base, ProgramSymbols* result) {
  const std::vector<char>& strings = image.strings;
  for (DWORD i = 0; i < image.header.NumberOfSymbols; ++i) {
    IMAGE_SYMBOL symbol;
    memcpy(&symbol, image.table.data() + static_cast<size_t>(i) * IMAGE_SIZEOF_SYMBOL, IMAGE_SIZEOF_SYMBOL);
    const DWORD aux = symbol.NumberOfAuxSymbols;
    const bool function = (symbol.Type & 0x30) == 0x20;  // a function type, as the assembler marks them
    const bool placed = symbol.SectionNumber > 0 && static_cast<size_t>(symbol.SectionNumber) <= image.sections.size();
    const bool kept = symbol.StorageClass == IMAGE_SYM_CLASS_EXTERNAL || symbol.StorageClass == IMAGE_SYM_CLASS_STATIC;
    if (function && placed && kept) {
      char shortName[9] = {};
      const char* name = shortName;
      if (symbol.N.Name.Short == 0) {
        if (symbol.N.Name.Long >= strings.size() - 1) {
          i += aux;
          continue;
        }
        name = strings.data() + symbol.N.Name.Long;
      } else {
        memcpy(shortName, symbol.N.ShortName, 8);
      }
      // 32-bit names carry one more leading underscore.
      if (sizeof(void*) == 4 && name[0] == '_') ++name;
      const IMAGE_SECTION_HEADER& section = image.sections[static_cast<size_t>(symbol.SectionNumber) - 1];
      const uintptr_t start = base + section.VirtualAddress + symbol.Value;
      const uintptr_t sectionEnd = base + section.VirtualAddress + section.Misc.VirtualSize;
      int status = -1;
      char* demangled = name[0] == '_' && name[1] == 'Z' ? abi::__cxa_demangle(name, nullptr, nullptr, &status) : nullptr;
      const char* shown = status == 0 && demangled != nullptr ? demangled : name;
      result->symbols.push_back(ProgramSymbol{start, sectionEnd, static_cast<uint32_t>(result->names.size())});
      result->names.insert(result->names.end(), shown, shown + strlen(shown) + 1);
      free(demangled);
    }
    i += aux;
  }
}

ProgramSymbols* ReadProgramSymbols() {
  char path[MAX_PATH];
  const DWORD length = ::GetModuleFileNameA(nullptr, path, sizeof path);
  const auto base = reinterpret_cast<uintptr_t>(::GetModuleHandleA(nullptr));
  if (length == 0 || length >= sizeof path || base == 0) return nullptr;
  HANDLE file = ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  auto* result = new ProgramSymbols();
  ImageSymbolTable image;
  const bool ok = ReadImageSymbolTable(file, &image);
  ::CloseHandle(file);
  if (!ok) return result;
  TakeFunctionSymbols(image, base, result);
  // Each reaches to the next one, or to the end of its section.
  std::stable_sort(result->symbols.begin(), result->symbols.end(),
                   [](const ProgramSymbol& a, const ProgramSymbol& b) { return a.start < b.start; });
  for (size_t i = 0; i + 1 < result->symbols.size(); ++i) {
    for (size_t j = i + 1; j < result->symbols.size(); ++j) {
      if (result->symbols[j].start > result->symbols[i].start) {
        result->symbols[i].end = std::min(result->symbols[i].end, result->symbols[j].start);
        break;
      }
    }
  }
  return result;
}

void FillRecord(const EXCEPTION_POINTERS* info, FaultRecord* record) {
  *record = FaultRecord{};
  const EXCEPTION_RECORD* exception = info->ExceptionRecord;
  const DWORD code = exception->ExceptionCode;
  record->code = code;
  record->name = nullptr;
  record->description = "";
  for (const ExceptionName& entry : kExceptions) {
    if (entry.code == code) {
      record->name = entry.name;
      record->description = entry.description;
    }
  }
  if (record->name == nullptr) {
    static const char kDigits[] = "0123456789ABCDEF";
    memcpy(unknownName, "exception 0x", 12);
    for (int i = 0; i < 8; ++i) unknownName[12 + i] = kDigits[(code >> (28 - 4 * i)) & 0xF];
    unknownName[20] = '\0';
    record->name = unknownName;
  }
  ContextFromNative(info->ContextRecord, &record->context);
  record->access = FaultAccess::None;
  record->hasAddress = true;
  record->address = reinterpret_cast<uintptr_t>(exception->ExceptionAddress);
  if ((code == EXCEPTION_ACCESS_VIOLATION || code == EXCEPTION_IN_PAGE_ERROR) && exception->NumberParameters >= 2) {
    const ULONG_PTR kind = exception->ExceptionInformation[0];
    record->access = kind == 0 ? FaultAccess::Read
                     : kind == 1 ? FaultAccess::Write
                     : kind == 8 ? FaultAccess::Execute
                                 : FaultAccess::Unknown;
    record->address = static_cast<uintptr_t>(exception->ExceptionInformation[1]);
  }
  record->tracePc = record->context.ip;
  record->traceFrame = record->context.bp;
  record->traceStack = record->context.sp;
  record->traceExact = true;
}

DWORD WINAPI ReportThread(LPVOID) {
  for (;;) {
    ::WaitForSingleObject(requestEvent, INFINITE);
    if (stopping.load()) return 0;
    const FaultHandler handler = faultHandler.load();
    if (handler != nullptr) handler(pendingFault);
    ::SetEvent(doneEvent);
  }
}

// Runs on the faulting thread, with as little stack as possible in use.
[[noreturn]] void ReportAndEnd(EXCEPTION_POINTERS* info) {
  const DWORD code = info->ExceptionRecord->ExceptionCode;
  // A fault while writing the report, or in a thread while another one's is
  // being written, ends the process (the first one's writer ends it after).
  LONG idle = 0;
  if (::GetCurrentThreadId() != reportThreadId && reporting.compare_exchange_strong(idle, 1)) {
    FillRecord(info, &pendingFault);
    ::GetCurrentThreadStackLimits(&faultStackLow, &faultStackHigh);
    ::SetEvent(requestEvent);
    ::WaitForSingleObject(doneEvent, kReportTimeout);
  } else if (::GetCurrentThreadId() != reportThreadId) {
    ::Sleep(INFINITE);
  }
  ::TerminateProcess(::GetCurrentProcess(), code);
  ::ExitProcess(code);
}

LONG WINAPI UnhandledFilter(EXCEPTION_POINTERS* info) { ReportAndEnd(info); }

// A stack overflow is taken before any handler of the program's: what is
// left of the stack would not carry the search for one.
LONG CALLBACK FirstChanceHandler(EXCEPTION_POINTERS* info) {
  if (info->ExceptionRecord->ExceptionCode == EXCEPTION_STACK_OVERFLOW) ReportAndEnd(info);
  return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

bool win32::FindProgramSymbol(uintptr_t address, char* name, size_t size, uintptr_t* displacement) {
  const ProgramSymbols* table = programSymbols.load();
  if (table == nullptr) return false;
  const auto& symbols = table->symbols;
  auto after = std::upper_bound(symbols.begin(), symbols.end(), address,
                                [](uintptr_t a, const ProgramSymbol& s) { return a < s.start; });
  if (after == symbols.begin()) return false;
  const ProgramSymbol& found = *(after - 1);
  if (address >= found.end) return false;
  if (name != nullptr && size > 0) {
    const char* text = table->names.data() + found.name;
    size_t i = 0;
    for (; text[i] != '\0' && i + 1 < size; ++i) name[i] = text[i];
    name[i] = '\0';
  }
  if (displacement != nullptr) *displacement = address - found.start;
  return true;
}

bool win32::FaultingThreadStack(uintptr_t stack, ULONG_PTR* low, ULONG_PTR* high) {
  if (reporting.load() == 0 || stack < faultStackLow || stack >= faultStackHigh) return false;
  *low = faultStackLow;
  *high = faultStackHigh;
  return true;
}

bool InstallFaultHandler(FaultHandler handler, size_t stackSize) {
  if (installed) return true;
  if (handler == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  // The debug-help library is loaded now: loading it after a crash would
  // need the loader's lock, which the crashed thread may hold.
  DebugHelpLoad();
  if (programSymbols.load() == nullptr) programSymbols.store(ReadProgramSymbols());
  requestEvent = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
  doneEvent = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
  // The report walks stacks and names symbols; give it room beyond what the
  // report's own frames take.
  const size_t reserve = stackSize < 1024 * 1024 ? 1024 * 1024 : stackSize;
  stopping.store(false);
  faultHandler.store(handler);
  reportThread = requestEvent != nullptr && doneEvent != nullptr
                     ? ::CreateThread(nullptr, reserve, ReportThread, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION,
                                      &reportThreadId)
                     : nullptr;
  if (reportThread == nullptr) {
    const DWORD error = ::GetLastError();
    if (requestEvent != nullptr) ::CloseHandle(requestEvent);
    if (doneEvent != nullptr) ::CloseHandle(doneEvent);
    requestEvent = doneEvent = nullptr;
    ::SetLastError(error);
    return false;
  }
  // Room for the first-chance handler after an overflow of this thread.
  ULONG guarantee = 16 * 1024;
  ::SetThreadStackGuarantee(&guarantee);
  vectoredHandler = ::AddVectoredExceptionHandler(1, FirstChanceHandler);
  previousFilter = ::SetUnhandledExceptionFilter(UnhandledFilter);
  installed = true;
  return true;
}

void UninstallFaultHandler() {
  if (!installed) return;
  ::SetUnhandledExceptionFilter(previousFilter);
  if (vectoredHandler != nullptr) ::RemoveVectoredExceptionHandler(vectoredHandler);
  vectoredHandler = nullptr;
  stopping.store(true);
  ::SetEvent(requestEvent);
  ::WaitForSingleObject(reportThread, INFINITE);
  ::CloseHandle(reportThread);
  ::CloseHandle(requestEvent);
  ::CloseHandle(doneEvent);
  reportThread = requestEvent = doneEvent = nullptr;
  reportThreadId = 0;
  faultHandler.store(nullptr);
  delete programSymbols.exchange(nullptr);
  installed = false;
}

bool FaultStackUse(size_t*, size_t*) { return false; }

}  // namespace platform
