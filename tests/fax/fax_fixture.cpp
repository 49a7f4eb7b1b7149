#include "tests/fax/fax_fixture.h"

#include <fcntl.h>
#include <unistd.h>

#include <regex>

namespace faxtest {

void FaxFixture::SetUp() {
    rx = std::make_unique<CFaxReceiver>();
    window = std::make_unique<StatusWindow>(*rx);
    rx->m_hWnd = window.get();
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

}  // namespace faxtest
