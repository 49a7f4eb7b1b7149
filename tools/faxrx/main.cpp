// vantoro-faxrx: receives one fax on a Class 1 modem device into a raw page file.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "fax/fax_receiver.h"
#include "platform/message_box.h"
#include "platform/messages.h"
#include "platform/serial_port.h"

namespace {

constexpr uint32_t kDeviceBaud = 115200;
constexpr char kSuccessText[] = "接收传真成功";

CFaxReceiver* g_receiver = nullptr;

// Prints each status text on its own line as the session sets it.
class StatusPrinter : public platform::MessageTarget {
public:
    explicit StatusPrinter(const CFaxReceiver& receiver) : m_receiver(receiver) {}
    intptr_t HandleMessage(uint32_t message, uintptr_t, intptr_t) override {
        if (message != platform::WM_FAX_STATUS) return 0;
        std::printf("%s\n", m_receiver.m_strStatus.c_str());
        std::fflush(stdout);
        return 0;
    }

private:
    const CFaxReceiver& m_receiver;
};

void OnStopSignal(int) {
    if (g_receiver) g_receiver->m_bCancel.store(1);
}

int Usage() {
    std::fprintf(stderr,
                 "usage: vantoro-faxrx [--log FILE] DEVICE RAWFILE\n"
                 "  Answers a call on the Class 1 fax modem DEVICE (AT, AT+FCLASS=1, ATA) and\n"
                 "  receives one fax into RAWFILE. Status texts go to stdout, log lines to FILE\n"
                 "  (default: stderr). Exit status 0 when the fax was received.\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string logPath;
    std::string device;
    std::string rawFile;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--log" && i + 1 < argc) {
            logPath = argv[++i];
        } else if (arg == "-h" || arg == "--help") {
            return Usage();
        } else if (device.empty()) {
            device = arg;
        } else if (rawFile.empty()) {
            rawFile = arg;
        } else {
            return Usage();
        }
    }
    if (device.empty() || rawFile.empty()) return Usage();
    platform::SetHeadless(true);

    CFaxReceiver receiver;
    int logFd = STDERR_FILENO;
    if (!logPath.empty()) {
        logFd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (logFd < 0) {
            std::fprintf(stderr, "vantoro-faxrx: cannot create %s: %s\n", logPath.c_str(),
                         std::strerror(errno));
            return 2;
        }
    }
    receiver.UseLogDescriptor(logFd);
    if (logFd != STDERR_FILENO) close(logFd);

    int fd = platform::SerialOpenRaw(device.c_str(), kDeviceBaud);
    if (fd < 0) {
        std::fprintf(stderr, "vantoro-faxrx: cannot open %s: %s\n", device.c_str(),
                     std::strerror(platform::SerialLastErrno()));
        return 2;
    }
    StatusPrinter printer(receiver);
    receiver.m_hWnd = &printer;
    receiver.m_pComm->Attach(fd);
    receiver.SetFaxTempFile(rawFile);

    g_receiver = &receiver;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    receiver.Receive();
    g_receiver = nullptr;
    // The session closes the device except when the raw page file could not be created.
    if (receiver.m_pComm->HasHandle()) receiver.m_pComm->Close();
    return receiver.m_strStatus == kSuccessText ? 0 : 1;
}
