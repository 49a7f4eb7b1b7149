#pragma once
// The call's fax on the network as T.38: UDPTL to and from the far end, and spandsp's T.38
// gateway between it and the line's 8 kHz audio, so that the soft modem (or vantoro-call)
// keeps hearing a fax machine, 20 ms at a time and never a gap. The UDP and gateway stacks stay
// inside t38_media.cpp.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "sipline/impairment.h"
#include "sipline/t38_sdp.h"

struct T38Counts {
    uint64_t ifpIn = 0;  // handed to the gateway, recovered ones included
    uint64_t ifpOut = 0;
    uint64_t lost = 0;
    uint64_t recovered = 0;
};

class T38Media {
public:
    using FrameSink = std::function<void(const int16_t* samples, size_t count)>;

    explicit T38Media(const ImpairOptions& impair);
    ~T38Media();
    T38Media(const T38Media&) = delete;
    T38Media& operator=(const T38Media&) = delete;

    // Binds a UDPTL port in [minPort, maxPort].
    bool open(const std::string& localAddress, uint16_t minPort, uint16_t maxPort,
              std::string& error);
    bool isOpen() const;
    uint16_t port() const;
    // Starts the gateway toward the far end `session` describes; audio for the line goes to
    // `toLine`, one 20 ms frame for each that comes from it (or from the clock when it is quiet).
    void start(const T38Offer& session, FrameSink toLine);
    bool running() const;
    // Test mode: a fax machine of T.38's own (as a provider's fax server) sends `tiffPath`
    // instead of a gateway; `done` gets its result line when it has finished.
    void startTerminal(const T38Offer& session, const std::string& tiffPath,
                       std::function<void(const std::string& result)> done);
    // A new offer of T.38 in the call: a new address, the same gateway.
    void retarget(const T38Offer& session);
    // Logs the session's figures; adds them to `counts`.
    void close(T38Counts& counts);
    void fromLine(const int16_t* samples, size_t count);

    struct Impl;

private:
    std::unique_ptr<Impl> m;
};

// Hears the soft modem begin to answer as a fax machine: its CED, or the V.21 preamble of its
// first frame.
class FaxAnswerDetector {
public:
    FaxAnswerDetector();
    ~FaxAnswerDetector();
    FaxAnswerDetector(const FaxAnswerDetector&) = delete;
    FaxAnswerDetector& operator=(const FaxAnswerDetector&) = delete;

    // True at the frame in which the answer is heard.
    bool heard(const int16_t* samples, size_t count);
    void restart();

    struct Impl;

private:
    std::unique_ptr<Impl> m;
};
