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

// Nodes are numbered by the server; kMountRoot is the top folder. The tree
// must not change while it is served: the system keeps what it was told.
constexpr uint64_t kMountRoot = 1;

// Called from several threads at once.
class MountServer {
 public:
  virtual ~MountServer() = default;
  // The child of folder parent named name.
  virtual MountError Lookup(uint64_t parent, const char* name, uint64_t* node, MountStat* out) = 0;
  virtual MountError Stat(uint64_t node, MountStat* out) = 0;
  // Calls add for the entries of a folder from the from-th on (counting from
  // 0) until add returns false or none is left.
  virtual MountError List(uint64_t node, uint64_t from,
                          bool (*add)(void* sink, const char* name, uint64_t child, const MountStat& st),
                          void* sink) = 0;
  // Bytes read (0 at the end), or -1 with *error set.
  virtual long Read(uint64_t node, char* buffer, size_t size, uint64_t offset, MountError* error) = 0;
  // Total bytes and number of files, for statfs.
  virtual void Totals(uint64_t* bytes, uint64_t* files) = 0;
  // The file listed after node in its folder, 0 for none: programs that
  // read a folder's files read them in that order.
  virtual uint64_t NextFile(uint64_t) { return 0; }
};

// Whether this build can serve a mount.
bool MountAvailable();

// Serves server at mountpoint until it is unmounted (or interrupted in the
// foreground). options: extra mount options ("-o" values), may be empty.
// Returns 0, or a status after a message on standard error.
int ServeMount(const std::string& program, const std::string& mountpoint, MountServer* server, bool foreground,
               const std::string& options);

}  // namespace platform
