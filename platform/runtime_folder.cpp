#include "platform/runtime_folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace platform {
namespace {

std::string TempBase() {
    const char* tmp = std::getenv("TMPDIR");
    return tmp && *tmp == '/' ? tmp : "/tmp";
}

// Nobody else can have put or can replace what we keep there: a sticky shared temporary folder
// lets anyone make a folder of our name first, or a link in its place.
bool OursAlone(const std::string& folder) {
    struct stat info {};
    return lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == getuid() &&
           (info.st_mode & 077) == 0;
}

}  // namespace

RuntimeFolder FindRuntimeFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime == '/' && access(runtime, W_OK | X_OK) == 0) return {runtime, {}};
    std::string own = TempBase() + "/vantoro-" + std::to_string(getuid());
    mkdir(own.c_str(), 0700);
    if (OursAlone(own)) return {own, {}};
    return {{}, own};
}

}  // namespace platform
