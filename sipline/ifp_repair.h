#pragma once
// spandsp 0.0.6's gateway, listening for a fast modem and V.21 at once after a page, can take the
// V.21 preamble of the next command for a fast modem's training: it sends that training
// indicator, then the command as HDLC on the fast modem, ended as page data. A receiving gateway
// then plays a fast carrier to its modem and the command is lost. This filter sits on our
// gateway's output and gives such a command back to V.21.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

class IfpRepair {
public:
    using Sink = std::function<void(const uint8_t* ifp, size_t size, int copies)>;

    explicit IfpRepair(int t38Version) : m_version(t38Version) {}
    // One IFP from the gateway; what goes on the network goes to `out`, perhaps later.
    void put(const uint8_t* ifp, size_t size, int copies, const Sink& out);
    // One IFP from the far end: its answers tell when our side can only send a fast carrier.
    void heard(const uint8_t* ifp, size_t size);
    // For a sender of T.38's own, whose data comes a training's time after the indicator and in
    // bursts of its timer: held until the data, the indicator gives the far gateway, which plays
    // the data right after its own training, that much in hand.
    void holdEveryTraining() { m_holdEveryTraining = true; }
    uint64_t repaired() const { return m_repaired; }

private:
    enum class State { Normal, HeldTraining, Misread };
    int field(const uint8_t* ifp, size_t size) const;
    void toV21(std::vector<uint8_t>& ifp) const;
    void track(const uint8_t* ifp, size_t size);
    void emit(const uint8_t* ifp, size_t size, int copies, const Sink& out);
    void beginMisread(int copies, const Sink& out);
    bool fastBurstCertain() const;

    int m_version;
    State m_state = State::Normal;
    std::vector<uint8_t> m_held;
    int m_heldCopies = 0;
    uint64_t m_repaired = 0;
    // The FCF of a V.21 frame, read from its HDLC data IFPs as they pass.
    struct FrameFcf {
        size_t octets = 0;
        uint8_t fcf = 0;
        void take(const uint8_t* ifp, size_t size);
    };
    FrameFcf m_out;  // the frame going out
    int m_burstsSinceDcs = 0;
    bool m_expectV21 = false;
    bool m_holdEveryTraining = false;
    FrameFcf m_far;           // the frame coming in
    uint8_t m_farAnswer = 0;  // the far end's last whole frame since our last frame or burst
};
