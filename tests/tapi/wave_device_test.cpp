// The current call's wave devices on scripted V.253 transcripts: samples converted and
// DLE-shielded both ways, the stream ends (DLE ETX, DLE CAN, DLE !), blocks given back, and
// line events while playing, recording and in between.

#include "platform/wave_device.h"

#include <cstring>

#include "tests/tapi/line_fixture.h"

namespace {

using namespace platform;

constexpr char kDle = 0x10;

class WaveDevice : public LineTest {
protected:
    void SetUp() override {
        LineTest::SetUp();
        ASSERT_TRUE(tapi_binding::BindWaveDriver());

        auto rules = VoiceModemRules();
        rules.push_back({"AT+VTX", "CONNECT"});
        rules.push_back({"AT+VRX", "CONNECT"});
        AdjustRules(rules);
        m_modem = std::make_unique<TranscriptModem>(rules);
        m_call = OpenWithCall(*m_modem);
        ASSERT_EQ(lineMonitorMedia(m_call, LINEMEDIAMODE_G3FAX), 0);
    }

    virtual void AdjustRules(std::vector<TranscriptModem::Rule>&) {}

    uint32_t DeviceId(const char* deviceClass) {
        std::vector<char> block(34);
        auto* id = reinterpret_cast<VARSTRING*>(block.data());
        id->dwTotalSize = 34;
        EXPECT_EQ(lineGetID(0, 0, m_call, LINECALLSELECT_CALL, id, deviceClass), 0);
        uint32_t value = 0;
        std::memcpy(&value, block.data() + id->dwStringOffset, sizeof value);
        return value;
    }

    // A prepared block holding `samples` (16-bit), or `size` zero bytes.
    WAVEHDR* Block(const std::vector<int16_t>& samples, size_t size = 0) {
        m_bytes.emplace_back(std::max(size, samples.size() * 2));
        if (!samples.empty())
            std::memcpy(m_bytes.back().data(), samples.data(), samples.size() * 2);
        m_headers.push_back(std::make_unique<WAVEHDR>());
        WAVEHDR* header = m_headers.back().get();
        header->lpData = m_bytes.back().data();
        header->dwBufferLength = static_cast<uint32_t>(m_bytes.back().size());
        EXPECT_EQ(waveOutPrepareHeader(0, header), MMSYSERR_NOERROR);
        return header;
    }

    // The notices the devices posted within `ms`: message and header.
    std::vector<std::pair<uint32_t, WAVEHDR*>> Notices(size_t count, int ms = kPromptMs) {
        std::vector<std::pair<uint32_t, WAVEHDR*>> got;
        PumpUntil(
            [&] {
                ThreadMessage message;
                while (m_queue.Peek(&message)) {
                    got.emplace_back(message.message, reinterpret_cast<WAVEHDR*>(message.lParam));
                }
                return got.size() >= count;
            },
            ms);
        return got;
    }

    std::unique_ptr<TranscriptModem> m_modem;
    HCALL m_call = 0;
    ThreadMessageQueue m_queue;
    std::vector<std::vector<uint8_t>> m_bytes;
    std::vector<std::unique_ptr<WAVEHDR>> m_headers;
    WAVEFORMATEX m_format{WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};
};

TEST_F(WaveDevice, PlayingConvertsShieldsAndFinishesWithEventsStillReported) {
    HWAVEOUT out = 0;
    WAVEFORMATEX stereo = m_format;
    stereo.nChannels = 2;
    EXPECT_EQ(waveOutOpen(&out, m_call, &stereo, &m_queue), WAVERR_BADFORMAT);
    EXPECT_EQ(waveOutOpen(&out, m_call + 1, &m_format, &m_queue), MMSYSERR_BADDEVICEID);
    ASSERT_EQ(waveOutOpen(&out, DeviceId("wave/out"), &m_format, &m_queue), MMSYSERR_NOERROR);
    // Unsigned 8-bit on the line: -28672 becomes 0x10 and must be doubled.
    WAVEHDR* first = Block({0, -28672, 32767, -32768});
    WAVEHDR* second = Block({-28672, 256});
    ASSERT_EQ(waveOutWrite(out, first), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(out, second), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutWrite(out, first), WAVERR_STILLPLAYING);
    ASSERT_TRUE(m_modem->WaitForCommand("AT+VTX", kPromptMs));
    size_t from = EventCount();
    m_modem->SendEvent('c');
    auto done = Notices(2);
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(done[0], std::make_pair(MM_WOM_DONE, first));
    EXPECT_EQ(done[1], std::make_pair(MM_WOM_DONE, second));
    EXPECT_EQ(first->dwFlags & (WHDR_DONE | WHDR_INQUEUE), WHDR_DONE);
    EXPECT_TRUE(WaitFor(LINE_MONITORMEDIA, LINEMEDIAMODE_G3FAX, from));

    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    ASSERT_TRUE(m_modem->WaitForCommand("DLE ETX", kPromptMs));
    EXPECT_EQ(m_modem->Streamed(), std::string("\x80\x10\x10\xff\x00\x10\x10\x81\x10\x03", 10));
    EXPECT_EQ(waveOutWrite(out, first), MMSYSERR_INVALHANDLE);

    m_modem->SendEvent('b');  // between streams, in command state
    EXPECT_TRUE(WaitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED, from));
}

TEST_F(WaveDevice, ResetMidPlayGivesEveryBlockBackAtOnceAndCutsTheStream) {
    HWAVEOUT out = 0;
    ASSERT_EQ(waveOutOpen(&out, m_call, &m_format, &m_queue), MMSYSERR_NOERROR);
    std::vector<WAVEHDR*> blocks = {Block({}, 2000), Block({}, 2000), Block({}, 2000)};
    for (WAVEHDR* block : blocks) ASSERT_EQ(waveOutWrite(out, block), MMSYSERR_NOERROR);
    ASSERT_TRUE(m_modem->WaitForCommand("AT+VTX", kPromptMs));
    PumpFor(30);
    EXPECT_EQ(waveOutReset(out), MMSYSERR_NOERROR);
    auto done = Notices(3, 0);
    ASSERT_EQ(done.size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(done[i].second, blocks[i]);
    ASSERT_TRUE(m_modem->WaitForCommand("DLE CAN DLE ETX", kPromptMs));
    std::string streamed = m_modem->Streamed();
    EXPECT_LT(streamed.size(), 3000u);  // cut at the lead, not played to the end
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
}

TEST_F(WaveDevice, RecordingUnshieldsReportsEventsAndStopsWithDleBang) {
    HWAVEIN in = 0;
    ASSERT_EQ(waveInOpen(&in, DeviceId("wave/in"), &m_format, &m_queue), MMSYSERR_NOERROR);
    WAVEHDR* first = Block({}, 8);
    WAVEHDR* second = Block({}, 8);
    ASSERT_EQ(waveInAddBuffer(in, first), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInAddBuffer(in, second), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
    ASSERT_TRUE(m_modem->WaitForCommand("AT+VRX", kPromptMs));
    size_t from = EventCount();
    // 0x80 (silence), DLE DLE (one 0x10), DLE c (fax tone), DLE SUB (two 0x10), then 0xff.
    m_modem->Send(std::string("\x80", 1) + kDle + kDle + kDle + 'c' + kDle + '\x1a' + "\xff");
    auto filled = Notices(1);
    ASSERT_EQ(filled.size(), 1u);
    EXPECT_EQ(filled[0], std::make_pair(MM_WIM_DATA, first));
    EXPECT_EQ(first->dwBytesRecorded, 8u);
    const int16_t expected[] = {0, -28672, -28672, -28672};
    EXPECT_EQ(std::memcmp(first->lpData, expected, 8), 0);
    EXPECT_TRUE(WaitFor(LINE_MONITORMEDIA, LINEMEDIAMODE_G3FAX, from));

    EXPECT_EQ(waveInReset(in), MMSYSERR_NOERROR);
    auto rest = Notices(1, 0);
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].second, second);
    EXPECT_EQ(second->dwBytesRecorded, 2u);  // the one sample after the first block
    EXPECT_EQ(reinterpret_cast<int16_t*>(second->lpData)[0], 127 * 256);
    ASSERT_TRUE(m_modem->WaitForCommand("DLE !", kPromptMs));
    m_modem->SendEvent('b');
    EXPECT_TRUE(WaitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED, from));
    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
}

// A modem that offers only G.711 mu-law: the samples are played through it.
class WaveDeviceMuLaw : public WaveDevice {
    void AdjustRules(std::vector<TranscriptModem::Rule>& rules) override {
        for (auto& rule : rules) {
            if (rule.command == "AT+VSM=?") rule.reply = "4,\"G.711U\",8,0,(8000),(0),(0)\nOK";
        }
        rules.push_back({"AT+VSM=4,8000", "OK"});
    }
};

TEST_F(WaveDeviceMuLaw, PlaysMuLaw) {
    EXPECT_TRUE(m_modem->WaitForCommand("AT+VSM=4,8000", 0));
    HWAVEOUT out = 0;
    ASSERT_EQ(waveOutOpen(&out, m_call, &m_format, &m_queue), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(out, Block({0, 1000, -32768})), MMSYSERR_NOERROR);
    ASSERT_EQ(Notices(1).size(), 1u);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    ASSERT_TRUE(m_modem->WaitForCommand("DLE ETX", kPromptMs));
    EXPECT_EQ(m_modem->Streamed(), std::string("\xff\xce\x00\x10\x03", 5));
}

}  // namespace
