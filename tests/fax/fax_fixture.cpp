#include "tests/fax/fax_fixture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

namespace faxtest {

void FaxFixture::SetUp() {
    char folder[] = "/tmp/faxtest.XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    m_folder = folder;
    m_logPath = m_folder + "/fax.log";
    rx = std::make_unique<CFaxReceiver>();
    window = std::make_unique<StatusWindow>(*rx);
    rx->m_hWnd = window.get();
    int logFd = open(m_logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(logFd, 0);
    ASSERT_TRUE(rx->UseLogDescriptor(logFd));
    close(logFd);
    int fd = modem.OpenSlave();
    ASSERT_GE(fd, 0);
    rx->m_pComm->Attach(fd);
    rx->SetFaxTempFile(m_folder + "/page.raw");
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
    std::string command = "rm -rf '" + m_folder + "'";
    if (std::system(command.c_str()) != 0) ADD_FAILURE() << "cannot remove " << m_folder;
}

std::string FaxFixture::ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

std::vector<std::string> FaxFixture::LogTexts() {
    static const std::regex kLine(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}  (.*)$)");
    std::vector<std::string> texts;
    std::string content = ReadFile(m_logPath);
    if (m_logPipe >= 0) {
        char buffer[65536];
        ssize_t got = read(m_logPipe, buffer, sizeof buffer);
        content.assign(buffer, got > 0 ? static_cast<size_t>(got) : 0);
    }
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find("\r\n", start);
        if (end == std::string::npos) {
            ADD_FAILURE() << "log line without CR LF: " << content.substr(start);
            break;
        }
        std::string line = content.substr(start, end - start);
        std::smatch match;
        if (std::regex_match(line, match, kLine)) {
            texts.push_back(match[1]);
        } else {
            ADD_FAILURE() << "malformed log line: " << line;
        }
        start = end + 2;
    }
    return texts;
}

}  // namespace faxtest
