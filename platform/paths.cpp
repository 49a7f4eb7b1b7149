#include "platform/paths.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace platform {
namespace {

std::string g_programFolderOverride;

std::string EnvOrEmpty(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

// $HOME, else the home folder of the password database; empty when neither is known.
std::string HomeFolder() {
    std::string home = EnvOrEmpty("HOME");
    if (!home.empty()) return home;
    const passwd* entry = getpwuid(getuid());
    return entry && entry->pw_dir ? std::string(entry->pw_dir) : std::string();
}

// An XDG base folder: the variable when it holds an absolute path, else `fallback` under home.
std::string XdgFolder(const char* variable, const char* fallback) {
    std::string base = EnvOrEmpty(variable);
    if (!base.empty() && base.front() == '/') return WithTrailingSlash(base);
    std::string home = HomeFolder();
    if (home.empty()) return std::string();
    return WithTrailingSlash(home) + fallback;
}

}  // namespace

bool MakeDirectoryTree(const std::string& path) {
    std::string partial;
    for (size_t pos = 0; pos != std::string::npos;) {
        size_t next = path.find('/', pos + 1);
        partial = path.substr(0, next);
        if (!partial.empty() && mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
        pos = next;
    }
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string WithTrailingSlash(std::string path) {
    if (path.empty() || path.back() != '/') path += '/';
    return path;
}

std::string ExecutableFolder() {
    std::vector<char> buffer(4096);
    ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (length <= 0) return "./";
    std::string path(buffer.data(), static_cast<size_t>(length));
    return path.substr(0, path.rfind('/') + 1);
}

std::string ProgramFolder() {
    if (!g_programFolderOverride.empty()) return g_programFolderOverride;
    std::string data = XdgFolder("XDG_DATA_HOME", ".local/share/");
    return data.empty() ? std::string() : data + "vantoro/";
}

void SetProgramFolderOverride(const std::string& folder) {
    g_programFolderOverride = folder.empty() ? std::string() : WithTrailingSlash(folder);
}

std::string StateFolder() {
    std::string base = XdgFolder("XDG_STATE_HOME", ".local/state/");
    if (base.empty()) return std::string();
    std::string folder = base + "vantoro";
    if (!MakeDirectoryTree(folder)) return std::string();
    return folder + '/';
}

std::string TempFolder() {
    std::string folder = EnvOrEmpty("TMPDIR");
    if (folder.empty()) folder = "/tmp";
    return WithTrailingSlash(folder);
}

std::string CreateUniqueTempFile(const std::string& folder, const std::string& prefix) {
    std::string pattern = WithTrailingSlash(folder) + prefix + "XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) return std::string();
    close(fd);
    return std::string(name.data());
}

bool PathExists(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

// Private: the folders hold people's messages and faxes.
bool MakeDirectory(const std::string& path) { return mkdir(path.c_str(), 0700) == 0; }

bool RemoveFile(const std::string& path) { return unlink(path.c_str()) == 0; }

bool AppendRecord(const std::string& path, const std::string& header, const std::string& record) {
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    struct stat status {};
    const bool sized = fstat(fd, &status) == 0;
    const std::string bytes = sized && status.st_size == 0 ? header + record : record;
    ssize_t written;
    do {
        written = write(fd, bytes.data(), bytes.size());
    } while (written < 0 && errno == EINTR);
    const bool whole = written == ssize_t(bytes.size());
    // A short write (a full disk) leaves part of a line: take it back so the next one starts clean.
    if (written > 0 && !whole && sized) {
        const int truncated = ftruncate(fd, status.st_size);
        (void)truncated;  // nothing more can be done about a file that cannot be cut back
    }
    close(fd);
    return whole;
}

}  // namespace platform
