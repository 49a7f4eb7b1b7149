#include "platform/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/paths.h"

namespace platform {
namespace {

// A folder in the shared temporary folder is ours only if nobody else can have put or can put
// a lock file into it: a real directory of this user that no one else may write to.
bool PrivateFolder(const std::string& folder) {
    if (mkdir(folder.c_str(), 0700) == 0) return true;
    struct stat info {};
    return lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == getuid() &&
           (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

bool AcquireSessionLock(const std::string& name) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string folder;
    if (runtime && *runtime) {
        folder = WithTrailingSlash(runtime);
    } else {
        folder = TempFolder() + "vantoro-" + std::to_string(getuid()) + "/";
        if (!PrivateFolder(folder)) {
            // Another user must not be able to keep this one from starting: go on unlocked.
            std::fprintf(stderr, "vantoro: %s is not a private folder of this user; no lock\n",
                         folder.c_str());
            return true;
        }
    }
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
