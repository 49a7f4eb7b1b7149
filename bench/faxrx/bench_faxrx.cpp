// CPU time of vantoro-faxrx per second of fax reception, against the virtual modem and spandsp's
// calling fax machine in real time; the virtual modem's own figure is printed beside it.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr int kWidth = 1728;

std::string BuildFolder() {
    char path[4096] = {};
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string exe(path, length > 0 ? static_cast<size_t>(length) : 0);
    return exe.substr(0, exe.rfind('/'));
}

pid_t Spawn(const std::vector<std::string>& args, const std::string& outPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

double Seconds(const timeval& tv) { return tv.tv_sec + tv.tv_usec / 1e6; }

bool WritePages(const std::string& path, int pages, int rows) {
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    if (!tif) return false;
    std::vector<uint8_t> row(kWidth / 8);
    for (int page = 0; page < pages; ++page) {
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, kWidth);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, rows);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 1);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
        TIFFSetField(tif, TIFFTAG_XRESOLUTION, 204.0f);
        TIFFSetField(tif, TIFFTAG_YRESOLUTION, 98.0f);
        TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rows);
        TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        TIFFSetField(tif, TIFFTAG_PAGENUMBER, page, pages);
        for (int y = 0; y < rows; ++y) {
            for (size_t x = 0; x < row.size(); ++x) row[x] = ((y + x + page) % 13 == 0) ? 0xA5 : 0x00;
            TIFFWriteScanline(tif, row.data(), static_cast<uint32_t>(y), 0);
        }
        TIFFWriteDirectory(tif);
    }
    TIFFClose(tif);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int pages = argc > 1 ? std::atoi(argv[1]) : 2;
    char pattern[] = "/tmp/vantoro-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const std::string folder = pattern;
    const std::string build = BuildFolder();
    const std::string tiff = folder + "/sent.tif", link = folder + "/modem", socket = folder + "/line.sock";
    if (!WritePages(tiff, pages, 600)) return 1;

    pid_t modem = Spawn({build + "/vantoro-vmodem", "--link", link, "--socket", socket, "--ring-interval", "500"},
                        folder + "/vmodem.out");
    for (int i = 0; i < 250 && access(link.c_str(), F_OK) != 0; ++i) usleep(20000);
    pid_t caller = Spawn({build + "/vantoro-call", "--socket", socket, "--fax", tiff}, folder + "/call.out");
    usleep(1500000);
    auto start = std::chrono::steady_clock::now();
    pid_t receiver = Spawn({build + "/vantoro-faxrx", "--log", folder + "/faxrx.log", link, folder + "/page.raw"},
                           folder + "/status.out");
    if (modem < 0 || caller < 0 || receiver < 0) return 1;

    int status = 0;
    rusage receiverUsage{};
    wait4(receiver, &status, 0, &receiverUsage);
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    waitpid(caller, nullptr, 0);
    kill(modem, SIGTERM);
    rusage modemUsage{};
    wait4(modem, nullptr, 0, &modemUsage);

    double receiverCpu = Seconds(receiverUsage.ru_utime) + Seconds(receiverUsage.ru_stime);
    double modemCpu = Seconds(modemUsage.ru_utime) + Seconds(modemUsage.ru_stime);
    std::printf("fax of %d pages received %s in %.1f s\n", pages,
                WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "ok" : "with an error", wall);
    std::printf("vantoro-faxrx  CPU per second of reception: %.5f (%.3f s)\n", receiverCpu / wall, receiverCpu);
    std::printf("vantoro-vmodem CPU per second of reception: %.5f (%.3f s, for comparison)\n", modemCpu / wall,
                modemCpu);
    std::printf("receiver / modem CPU ratio: %.3f\n", modemCpu > 0 ? receiverCpu / modemCpu : 0.0);
    std::string command = "rm -rf '" + folder + "'";
    return std::system(command.c_str()) == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
