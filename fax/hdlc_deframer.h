#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

// Finds HDLC frames in a raw bit stream (ISO/IEC 13239 as T.30 uses it): flags, zero-bit removal,
// aborts and the 16-bit frame check sequence. Octets come as a Class 1 modem delivers them, the
// first bit on the line in the LSB; frames come out the same way, without their check sequence.
class CHdlcDeframer {
public:
    using FrameHandler = std::function<void(const uint8_t* frame, size_t length)>;

    // Frames longer than `maxFrameOctets` (check sequence included) are refused.
    CHdlcDeframer(size_t maxFrameOctets, FrameHandler handler);

    void Put(const uint8_t* octets, size_t count);
    void PutOctet(uint8_t octet);

    size_t GoodFrames() const { return m_nGoodFrames; }
    // Frames that ended with a wrong check sequence, too long, off an octet boundary or cut short.
    size_t BadFrames() const { return m_nBadFrames; }

    // The CRC-16 of ITU-T V.42 8.1.1.6.1 over `length` octets (the sender's check sequence is its
    // complement, low octet first).
    static uint16_t Crc16(const uint8_t* data, size_t length, uint16_t crc = 0xFFFF);

private:
    void PutBit(unsigned bit);
    void EndFrame();

    size_t m_nMaxOctets;
    FrameHandler m_handler;
    std::vector<uint8_t> m_frame;
    unsigned m_nOnes = 0;
    unsigned m_nBits = 0;  // bits in m_octet
    unsigned m_octet = 0;
    bool m_bInFrame = false;  // a flag has come since the last abort
    bool m_bTooLong = false;
    size_t m_nGoodFrames = 0;
    size_t m_nBadFrames = 0;
};
