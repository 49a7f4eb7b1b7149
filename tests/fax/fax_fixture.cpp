#include "tests/fax/fax_fixture.h"

#include <fcntl.h>
#include <unistd.h>

#include <regex>

namespace faxtest {

void FaxFixture::SetUp() {
    rx = std::make_unique<CFaxReceiver>();
    window = std::make_unique<StatusWindow>(*rx);
    rx->m_hWnd = window.get();
    // The scripted modem answers at once: only the rows that leave a command unanswered wait
    // these out, and they need not wait seconds each.
    rx->m_timeouts.connectMs = kShortTimeoutMs;
    rx->m_timeouts.commandRepeatMs = 2 * kShortTimeoutMs;
    rx->m_timeouts.frameMs = kShortTimeoutMs;
    rx->m_timeouts.trainingMs = kShortTimeoutMs;
    rx->m_timeouts.probeMs = kShortTimeoutMs;
    rx->m_timeouts.carrierEndMs = kShortTimeoutMs;
    int logFd = open((folder / "fax.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(logFd, 0);
    ASSERT_TRUE(rx->UseLogDescriptor(logFd));
    close(logFd);
    int fd = modem.OpenSlave();
    ASSERT_GE(fd, 0);
    rx->m_pComm->Attach(fd);
    rx->SetFaxTempFile(folder / "page.raw");
}

void FaxFixture::LogToPipe() {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    ASSERT_TRUE(rx->UseLogDescriptor(fds[1]));
    close(fds[1]);
    m_logPipe = fds[0];
}

void FaxFixture::TearDown() {
    if (m_logPipe >= 0) close(m_logPipe);
    modem.Finish();
    if (rx && rx->m_pComm->HasHandle()) rx->m_pComm->Close();
    rx.reset();
}

void FaxFixture::ExpectExactly(std::vector<Step> steps, const std::function<void()>& run) {
    std::string expected;
    for (const Step& step : steps) expected += step.expect;
    modem.Start(std::move(steps));
    run();
    modem.Finish();
    EXPECT_TRUE(modem.Completed()) << modem.Failure();
    EXPECT_TRUE(modem.Received() == expected) << Printable(modem.Received());
}

std::vector<std::string> FaxFixture::LogTexts() {
    static const std::regex kLine(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}  (.*)$)");
    std::string content = ReadFile(folder / "fax.log");
    if (m_logPipe >= 0) {
        char buffer[65536];
        ssize_t got = read(m_logPipe, buffer, sizeof buffer);
        content.assign(buffer, got > 0 ? static_cast<size_t>(got) : 0);
    }
    std::vector<std::string> texts;
    for (size_t start = 0, end; start < content.size(); start = end + 2) {
        end = content.find("\r\n", start);
        if (end == std::string::npos) {
            ADD_FAILURE() << "log line without CR LF: " << content.substr(start);
            break;
        }
        std::string line = content.substr(start, end - start);
        std::smatch match;
        if (std::regex_match(line, match, kLine))
            texts.push_back(match[1]);
        else
            ADD_FAILURE() << "malformed log line: " << line;
    }
    return texts;
}

std::string Bytes(std::initializer_list<int> values) {
    std::string bytes;
    for (int value : values) bytes.push_back(static_cast<char>(value));
    return bytes;
}

std::string Reversed(const std::string& bytes) {
    std::string out;
    for (char c : bytes) out.push_back(static_cast<char>(Reverse(static_cast<uint8_t>(c))));
    return out;
}

uint8_t Reverse(uint8_t byte) {
    uint8_t out = 0;
    for (int bit = 0; bit < 8; ++bit)
        out = static_cast<uint8_t>(out | (((byte >> bit) & 1) << (7 - bit)));
    return out;
}

std::string ModemData(const std::string& data) {
    std::string out;
    for (char c : data) {
        out.push_back(c);
        if (c == '\x10') out.push_back(c);
    }
    return out + "\x10\x03";
}

std::string ModemFrame(const std::vector<uint8_t>& written, const std::string& fcs) {
    return ModemData(Reversed(std::string(written.begin(), written.end())) + fcs);
}

std::string SentFrame(bool final, uint8_t fcf, const std::vector<uint8_t>& fif) {
    return "\xFF" + std::string(1, final ? '\x13' : '\x03') + static_cast<char>(Reverse(fcf)) +
           Reversed(std::string(fif.begin(), fif.end())) + "\x10\x03";
}

}  // namespace faxtest
