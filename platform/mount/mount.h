// A read-only file system served from a program's own tree: the program
// answers lookups, listings and reads; the system shows them as a folder.
// Separate from the platform layer proper, so the library never depends on
// what serving needs (libfuse3 on Linux; not available on Windows).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

struct MountStat {
  bool folder = false;
  uint64_t size = 0;
  int64_t mtime = 0;  // seconds since 1970
};

// Failures a callback reports.
enum class MountError { None, NotFound, NotFolder, IsFolder, ReadOnly, Io };

class MountServer {
 public:
  virtual ~MountServer() = default;
  virtual MountError Stat(const char* path, MountStat* out) = 0;
  // Calls add for each entry of the folder at path.
  virtual MountError List(const char* path, void (*add)(void* sink, const char* name, const MountStat& st),
                          void* sink) = 0;
  virtual MountError Open(const char* path, uint64_t* handle) = 0;
  // Bytes read (0 at the end), or -1 with *error set. handle is 0 where the
  // system skips opening (it then asks by path alone).
  virtual long Read(const char* path, uint64_t handle, char* buffer, size_t size, uint64_t offset,
                    MountError* error) = 0;
  virtual void Release(uint64_t handle) = 0;
  // Total bytes and number of files, for statfs.
  virtual void Totals(uint64_t* bytes, uint64_t* files) = 0;
  // Called once the file system runs (after going to the background).
  virtual void Started() {}
};

// Whether this build can serve a mount.
bool MountAvailable();

// Serves server at mountpoint until it is unmounted (or interrupted in the
// foreground). options: extra mount options ("-o" values), may be empty.
// Returns 0, or a status after a message on standard error.
int ServeMount(const std::string& program, const std::string& mountpoint, MountServer* server, bool foreground,
               const std::string& options);

}  // namespace platform
