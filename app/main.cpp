#include <unistd.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/answering_app.h"
#include "platform/message_box.h"
#include "platform/paths.h"

namespace {

struct Options {
    bool headless = false;
    std::string home;
    bool ok = true;
};

void PrintUsage() {
    std::fprintf(stderr,
                 "usage: vantoro [--headless] [--home DIR]\n"
                 "  --headless  no window: status on stdout, message boxes on stderr,\n"
                 "              commands (stop, receive-fax, exit) on stdin\n"
                 "  --home DIR  program folder for vantoro.ini, wav/, fax/ and welcome.wav\n"
                 "              (default $XDG_DATA_HOME/vantoro, ~/.local/share/vantoro)\n");
}

Options ParseOptions(int argc, char** argv) {
    Options options;
    if (const char* home = std::getenv("VANTORO_HOME"); home && *home) options.home = home;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--headless") == 0) {
            options.headless = true;
        } else if (std::strcmp(argv[i], "--home") == 0 && i + 1 < argc) {
            options.home = argv[++i];
        } else {
            options.ok = false;
        }
    }
    return options;
}

bool DisplayAvailable() {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const char* platformName = std::getenv("QT_QPA_PLATFORM");
    return (x11 && *x11) || (wayland && *wayland) || (platformName && *platformName);
}

}  // namespace

int main(int argc, char** argv) {
    Options options = ParseOptions(argc, argv);
    if (!options.ok) {
        PrintUsage();
        return 2;
    }
    if (options.headless || !DisplayAvailable()) {
        options.headless = true;
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    if (!options.home.empty()) {
        std::string home = options.home;
        if (home.front() != '/') {
            char cwd[4096];
            if (getcwd(cwd, sizeof cwd)) home = std::string(cwd) + "/" + home;
        }
        platform::SetProgramFolderOverride(home);
    }
    // A folder that cannot be made is reported when the storage folders are created.
    if (!platform::ProgramFolder().empty()) platform::MakeDirectoryTree(platform::ProgramFolder());
    platform::SetHeadless(options.headless);

    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    // Ties the window to vantoro.desktop and its icon on desktops that match by application id.
    QGuiApplication::setDesktopFileName(QStringLiteral("vantoro"));
    CAnsweringApp app;
    app.InitInstance();
    return app.ExitCode();
}
