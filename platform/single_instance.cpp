#include "platform/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>

#include "platform/runtime_folder.h"

namespace platform {

bool AcquireSessionLock(const std::string& name) {
    const RuntimeFolder runtime = FindRuntimeFolder();
    if (runtime.path.empty()) {
        // Another user must not be able to keep this one from starting: go on unlocked.
        std::fprintf(stderr, "vantoro: %s is not a private folder of this user; no lock\n",
                     runtime.refused.c_str());
        return true;
    }
    const std::string folder = runtime.path + "/";
    int fd = open((folder + name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return true;  // no lock can be taken here; do not refuse to start over it
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return false;
    }
    // The descriptor stays open on purpose: the lock lasts exactly as long as the process.
    return true;
}

}  // namespace platform
