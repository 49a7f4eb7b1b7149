#pragma once
// One call into a running vantoro-vmodem over its line socket, in real time.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/unique_fd.h"
#include "tools/call/fax_sender.h"
#include "tools/call/line_noise.h"
#include "tools/call/wav_writer.h"

struct CallOptions {
    std::string socketPath;
    std::string number;
    int giveUpAfterRings = 10;
    double hangupAfterSeconds = -1;  // negative: stay until the modem hangs up
    std::string sayPath;
    double sayAfterSeconds = 0;  // the --say file starts this long after the answer
    std::string recordPath;
    std::string faxPath;
    double snrDb = -1;  // negative: a clean line; else noise toward the modem at this SNR
    int rateBps = 0;
    bool noCng = false;          // fax: no calling tone
    FaxOffer offer;              // fax: what the machine offers besides V.27 ter and V.29
    double cngAfterSeconds = 0;  // fax: the machine starts this long after the answer
    int handsetAfterRings = 0;   // 0: never; else the telephone is picked up at this ring
    bool trace = false;
};

enum class CallOutcome { Answered, Unanswered, Failed };

class Caller {
public:
    explicit Caller(CallOptions options);
    ~Caller();
    Caller(const Caller&) = delete;
    Caller& operator=(const Caller&) = delete;

    // Prepares files and the fax machine, then dials; false with a message on stderr.
    bool prepare();
    CallOutcome run();
    std::string resultLine() const;

private:
    void onPacket(const char* data, size_t len);
    void onAudio(const char* payload, size_t len);
    void sendBlock();
    bool faxRunning() const;
    void log(const std::string& what) const;

    CallOptions m_options;
    UniqueFd m_fd;
    std::vector<int16_t> m_say;
    size_t m_sayPos = 0;
    int64_t m_sayStartNs = -1;
    WavWriter m_record;
    bool m_recording = false;
    std::unique_ptr<FaxSender> m_fax;
    std::unique_ptr<LineNoise> m_noiseToModem;

    int m_rings = 0;
    int m_ringIntervalMs = 6000;
    bool m_answered = false;
    bool m_ended = false;
    bool m_busy = false;
    int64_t m_giveUpAtNs = -1;
    int64_t m_hangupAtNs = -1;
    int64_t m_faxDoneAtNs = -1;
    int64_t m_faxStartNs = -1;  // the fax machine hears and speaks from then on
    bool m_handsetSent = false;
    int64_t m_nextTickNs = 0;
};
