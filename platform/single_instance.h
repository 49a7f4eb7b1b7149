#pragma once
#include <string>

namespace platform {

// A named lock per user session: flock on a file named `name` in $XDG_RUNTIME_DIR (else the
// temporary folder, per user id). Held until the process ends. Returns false when another
// process holds it.
bool AcquireSessionLock(const std::string& name);

}  // namespace platform
