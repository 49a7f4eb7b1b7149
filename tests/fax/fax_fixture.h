#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "fax/fax_receiver.h"
#include "platform/messages.h"
#include "tests/fax/scripted_modem.h"
#include "tests/support/child_process.h"

namespace faxtest {

// The main window as far as the fax receiver sees it: collects every status text.
class StatusWindow : public platform::MessageTarget {
public:
    explicit StatusWindow(const CFaxReceiver& receiver) : m_receiver(receiver) {}
    intptr_t HandleMessage(uint32_t message, uintptr_t, intptr_t) override {
        if (message == platform::WM_FAX_STATUS) texts.push_back(m_receiver.m_strStatus);
        return 0;
    }
    std::vector<std::string> texts;

private:
    const CFaxReceiver& m_receiver;
};

// A receiver on a scripted modem, logging into a file of the test's own.
class FaxFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Log lines without their timestamps; fails the test on a malformed line.
    std::vector<std::string> LogTexts();
    // Sends the log through a pipe instead of a file.
    void LogToPipe();
    // Runs `steps`, then checks that the modem got exactly what they expect, nothing more.
    void ExpectExactly(std::vector<Step> steps, const std::function<void()>& run);

    TempFolder folder;
    ScriptedModem modem;
    std::unique_ptr<CFaxReceiver> rx;
    std::unique_ptr<StatusWindow> window;
    int m_logPipe = -1;
};

// Names the instances of a table-driven test after the rows' `name`.
struct RowName {
    template <typename Row>
    std::string operator()(const ::testing::TestParamInfo<Row>& info) const {
        return info.param.name;
    }
};

}  // namespace faxtest
