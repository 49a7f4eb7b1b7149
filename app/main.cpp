#include <unistd.h>

#include <QApplication>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/answering_app.h"
#include "app/exit_signals.h"
#include "app/inbox_model.h"
#include "platform/message_box.h"
#include "platform/paths.h"

namespace {

struct Options {
    bool headless = false;
    bool list = false;
    bool inbox = false;
    std::string home;
    bool ok = true;
};

void PrintUsage() {
    std::fprintf(stderr,
                 "usage: vantoro [--headless] [--home DIR] [--inbox | --list]\n"
                 "  --headless  no window: status on stdout, message boxes on stderr,\n"
                 "              commands (stop, receive-fax, exit) on stdin\n"
                 "  --home DIR  program folder for vantoro.ini, wav/, fax/ and welcome.wav\n"
                 "              (default $XDG_DATA_HOME/vantoro, ~/.local/share/vantoro)\n"
                 "  --inbox     open the inbox (of the copy that runs, or start with it)\n"
                 "  --list      print the messages and faxes, newest first, and end:\n"
                 "              time, caller, kind, length, new|heard, file (tab-separated)\n");
}

Options ParseOptions(int argc, char** argv) {
    Options options;
    if (const char* home = std::getenv("VANTORO_HOME"); home && *home) options.home = home;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--headless") == 0) {
            options.headless = true;
        } else if (std::strcmp(argv[i], "--list") == 0) {
            options.list = true;
        } else if (std::strcmp(argv[i], "--inbox") == 0) {
            options.inbox = true;
        } else if (std::strcmp(argv[i], "--home") == 0 && i + 1 < argc) {
            options.home = argv[++i];
        } else {
            options.ok = false;
        }
    }
    return options;
}

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

// Only reads: it runs beside the copy that answers the line and never takes its lock.
int PrintInboxList() {
    CInboxModel model(QString::fromStdString(platform::ProgramFolder()));
    model.Reload();
    for (const QString& line : model.ListLines()) std::printf("%s\n", line.toUtf8().constData());
    return std::fflush(stdout) == 0 ? 0 : 1;
}

bool InvisiblePlatform(const std::string& name) { return name == "offscreen" || name == "minimal"; }

// The platforms to try, as Qt would choose them: a Wayland session prefers Wayland, except on
// GNOME, whose Qt windows run on X.
std::string DesktopPlatforms() {
    const std::string desktop = Env("XDG_CURRENT_DESKTOP") + Env("XDG_SESSION_DESKTOP");
    const bool gnome = QString::fromStdString(desktop).contains("gnome", Qt::CaseInsensitive);
    const bool wayland = Env("XDG_SESSION_TYPE") == "wayland" && !gnome;
    return wayland || Env("DISPLAY").empty() ? "wayland;xcb" : "xcb;wayland";
}

// Qt ends the process when no platform it is told to use can start. Offered the offscreen one as
// the last choice it starts there instead; nobody sees that window, so the run is headless.
void ChoosePlatform(bool headless) {
    std::string requested = Env("QT_QPA_PLATFORM");
    if (!headless && requested.empty() &&
        (!Env("DISPLAY").empty() || !Env("WAYLAND_DISPLAY").empty())) {
        requested = DesktopPlatforms();
    }
    if (headless || requested.empty() || InvisiblePlatform(requested)) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    } else {
        setenv("QT_QPA_PLATFORM", (requested + ";offscreen").c_str(), 1);
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options = ParseOptions(argc, argv);
    if (!options.ok || (options.list && options.inbox)) {
        PrintUsage();
        return 2;
    }
    if (!options.home.empty()) {
        std::string home = options.home;
        if (home.front() != '/') {
            char cwd[4096];
            if (getcwd(cwd, sizeof cwd)) home = std::string(cwd) + "/" + home;
        }
        platform::SetProgramFolderOverride(home);
    }
    if (options.list) return PrintInboxList();
    // A folder that cannot be made is reported when the storage folders are created.
    if (!platform::ProgramFolder().empty()) platform::MakeDirectoryTree(platform::ProgramFolder());
    CExitSignals::Install();
    // A file size limit (ulimit -f) is a write error to report, not the end of the program.
    std::signal(SIGXFSZ, SIG_IGN);

    const std::string requestedPlatform = Env("QT_QPA_PLATFORM");
    ChoosePlatform(options.headless);
    QApplication application(argc, argv);
    // What the program starts (xdg-open, say) gets the user's own choice back.
    if (requestedPlatform.empty()) {
        unsetenv("QT_QPA_PLATFORM");
    } else {
        setenv("QT_QPA_PLATFORM", requestedPlatform.c_str(), 1);
    }
    platform::SetHeadless(options.headless ||
                          InvisiblePlatform(QGuiApplication::platformName().toStdString()));
    QApplication::setQuitOnLastWindowClosed(false);
    // Ties the window to vantoro.desktop and its icon on desktops that match by application id.
    QGuiApplication::setDesktopFileName(QStringLiteral("vantoro"));
    CAnsweringApp app;
    app.SetOpenInbox(options.inbox);
    app.InitInstance();
    return app.ExitCode();
}
