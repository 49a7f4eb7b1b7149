#pragma once
// Where a user's sockets, links and locks go: $XDG_RUNTIME_DIR, else a folder of this user in
// the temporary folder. Plain C++ without Qt, shared by the program, the line library and the
// standalone programs.

#include <string>

namespace platform {

struct RuntimeFolder {
    std::string path;     // empty when no private folder could be had
    std::string refused;  // the fallback folder that is not ours alone, when path is empty
};

// $XDG_RUNTIME_DIR when it is an absolute folder we may write to; else $TMPDIR/vantoro-UID (or
// /tmp/vantoro-UID), made with mode 0700 when missing, and taken only when it is a real folder
// of this user that nobody else may enter.
RuntimeFolder FindRuntimeFolder();

}  // namespace platform
