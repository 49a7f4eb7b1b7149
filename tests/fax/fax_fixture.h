#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "fax/fax_receiver.h"
#include "platform/messages.h"
#include "tests/support/child_process.h"
#include "tests/support/transcript_modem.h"

namespace faxtest {

using Step = TranscriptModem::Step;

// The modem's result lines and the end of a data or frame block.
const std::string kOk = "\r\nOK\r\n";
const std::string kError = "\r\nERROR\r\n";
const std::string kConnect = "\r\nCONNECT\r\n";
const std::string kNoCarrier = "\r\nNO CARRIER\r\n";
const std::string kDleEtx = "\x10\x03";
// The pause before each of our responses, counted by the modem from the caller's carrier end.
const TranscriptModem::Step kResponseGap = {"AT+FRS=6\r", kOk};

std::string Bytes(std::initializer_list<int> values);
// What the modem delivers for a received HDLC frame given in T.30 written order: bit-reversed,
// two check-sequence bytes, every DLE doubled, then DLE ETX.
std::string ModemFrame(const std::vector<uint8_t>& written,
                       const std::string& fcs = std::string("\x12\x34", 2));
// What we transmit for a frame in written order (bit-reversed, DLE ETX, no doubling).
std::string SentFrame(bool final, uint8_t fcf, const std::vector<uint8_t>& fif = {});
// Page data as the modem delivers them: DLE doubled, then DLE ETX.
std::string ModemData(const std::string& data);
uint8_t Reverse(uint8_t byte);
std::string Reversed(const std::string& bytes);  // each byte's bits in reverse order

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
// What the fixture shortens the receiver's waits for a modem answer to.
constexpr uint32_t kShortTimeoutMs = 1500;

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
    TranscriptModem modem;
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
