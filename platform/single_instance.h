#pragma once
#include <string>

namespace platform {

// A named lock per user session: flock on a file named `name` in $XDG_RUNTIME_DIR (else in
// vantoro-<uid>/ of the temporary folder, created 0700, used only while it is ours). Held until
// the process ends. Returns false when another process holds it.
bool AcquireSessionLock(const std::string& name);

}  // namespace platform
