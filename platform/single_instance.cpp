#include "platform/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/paths.h"

namespace platform {

bool AcquireSessionLock(const std::string& name) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string folder;
    if (runtime && *runtime) {
        folder = WithTrailingSlash(runtime);
    } else {
        folder = TempFolder() + "vantoro-" + std::to_string(getuid()) + "/";
        MakeDirectory(folder);
    }
    int fd = open((folder + name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return true;  // no lock can be taken here; do not refuse to start over it
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return false;
    }
    // The descriptor stays open on purpose: the lock lasts exactly as long as the process.
    return true;
}

}  // namespace platform
