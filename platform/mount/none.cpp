// Builds without libfuse3 (and Windows) serve no mounts.
#include <cstdio>

#include "platform/mount/mount.h"

namespace platform {

bool MountAvailable() { return false; }

int ServeMount(const std::string&, const std::string&, MountServer*, bool, const std::string&) { return 2; }

}  // namespace platform
