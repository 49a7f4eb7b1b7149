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
constexpr uint8_t kCan = 0x18;
constexpr uint32_t kAbortTimeoutMs = 2000;
constexpr uint32_t kHangUpTimeoutMs = 5000;

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

// A failed or stopped reception leaves the call up, and the caller would wait for its own
// time-out: take the modem out of any receive (CAN), say DCN while the call may still carry
// frames, then hang up.
void EndFailedCall(CFaxReceiver& receiver, int fd) {
    receiver.m_pComm->Attach(fd);
    receiver.m_bCancel.store(0);  // the stop is handled; these last steps have their own limits
    if (g_nCarrierMode == kCarrierHdlcReceive || g_nCarrierMode == kCarrierDataReceive) {
        receiver.m_pComm->Write(&kCan, 1);
        receiver.WaitResponse("OK", "ERROR", kAbortTimeoutMs, ClearAll::Yes);
    }
    const bool callerSaidDcn = receiver.m_nFaxError == kFaxErrDcnBeforeTraining ||
                               receiver.m_nFaxError == kFaxErrDcnAfterPage;
    if (receiver.CallAnswered() && !callerSaidDcn && !receiver.m_pComm->DeviceGone()) {
        receiver.m_bTxReady = 0;
        receiver.SendFrame(FrameFinal::Yes, kFcfDcn, 0);
    }
    if (receiver.m_pComm->SendCommand("ATH")) {
        receiver.WaitResponse("OK", "ERROR", kHangUpTimeoutMs, ClearAll::Yes);
    }
    receiver.m_pComm->Close();
}

int Usage() {
    std::fprintf(stderr,
                 "usage: vantoro-faxrx [--log FILE] [--fast] DEVICE RAWFILE\n"
                 "  Answers a call on the Class 1 fax modem DEVICE (AT, AT+FCLASS=1, ATA) and\n"
                 "  receives one fax into RAWFILE. Status texts go to stdout, log lines to FILE\n"
                 "  (default: stderr). Exit status 0 when the fax was received.\n"
                 "  --fast: announce 0 ms scan line time and V.17 where the modem has it.\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string logPath;
    std::string device;
    std::string rawFile;
    FaxMode mode = FaxMode::kStandard;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--log" && i + 1 < argc) {
            logPath = argv[++i];
        } else if (arg == "--fast") {
            mode = FaxMode::kFast;
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
    receiver.m_faxMode = mode;
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
    // The session closes its channel at the end; this copy outlives it for the hang-up.
    const int endFd = dup(fd);
    receiver.SetFaxTempFile(rawFile);

    g_receiver = &receiver;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    receiver.Receive();
    // The session closes the device except when the raw page file could not be created.
    if (receiver.m_pComm->HasHandle()) receiver.m_pComm->Close();
    const bool received = receiver.m_strStatus == kSuccessText;
    if (!received && endFd >= 0) {
        EndFailedCall(receiver, endFd);
    } else if (endFd >= 0) {
        close(endFd);
    }
    g_receiver = nullptr;
    return received ? 0 : 1;
}
