#pragma once
#include <string>

namespace platform {

// Folder of the running executable (from /proc/self/exe), ending in '/'.
std::string ExecutableFolder();

// The program folder: settings, wav/, fax/ and welcome.wav live here. $XDG_DATA_HOME/vantoro/
// (default ~/.local/share/vantoro/) unless SetProgramFolderOverride (from --home or VANTORO_HOME)
// chose another. Ends in '/'; empty when no home folder is known.
std::string ProgramFolder();
void SetProgramFolderOverride(const std::string& folder);

// Per-user state folder for the log: $XDG_STATE_HOME/vantoro/ or ~/.local/state/vantoro/,
// created on demand; empty when it can neither be determined nor created.
std::string StateFolder();

// $TMPDIR or /tmp, ending in '/'.
std::string TempFolder();

// Creates a new empty file with a unique name that starts with `prefix` in `folder`;
// returns its full path, or an empty string on failure.
std::string CreateUniqueTempFile(const std::string& folder, const std::string& prefix);

// True when any directory entry of this name exists (a plain file counts).
bool PathExists(const std::string& path);
// Creates one folder, mode 0700.
bool MakeDirectory(const std::string& path);
// Creates the folder and its missing parents (mode 0700 for new ones); true when it exists.
bool MakeDirectoryTree(const std::string& path);
bool RemoveFile(const std::string& path);
// Appends `record` to the file in one write, after `header` when the file is new or empty; a
// crash leaves the record whole or absent.
bool AppendRecord(const std::string& path, const std::string& header, const std::string& record);

// Appends '/' unless the path already ends in one.
std::string WithTrailingSlash(std::string path);

}  // namespace platform
