// libFuzzer: any bytes as line data, and as the payload of a frame sent among them. The deframer
// stays within its bounds, delivers only frames it may, and finds the sent frame intact.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fax/ecm_block.h"
#include "fax/hdlc_deframer.h"
#include "tests/fax/hdlc_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr size_t kMaxOctets = 4 + CEcmBlock::kMaxFrameOctets + 2;
    CEcmBlock block;
    block.Start(CEcmBlock::kMaxFrameOctets);
    std::vector<std::vector<uint8_t>> frames;
    CHdlcDeframer deframer(kMaxOctets, [&](const uint8_t* frame, size_t length) {
        if (length < 3 || length > kMaxOctets - 2) std::abort();
        frames.emplace_back(frame, frame + length);
        if (length > 4) block.StoreFrame(frame[3], frame + 4, length - 4);
    });
    deframer.Put(data, size);
    if (block.PageData(CEcmBlock::kMaxFrames).size() >
        CEcmBlock::kMaxFrames * CEcmBlock::kMaxFrameOctets)
        std::abort();

    // After an abort and a flag, a frame of the input's first octets arrives as sent.
    const std::vector<uint8_t> payload(data, data + std::min(size, kMaxOctets - 2));
    if (payload.size() < 3) return 0;
    faxtest::HdlcLine line;
    line.Abort();
    line.Flags();
    line.Frame(payload);
    frames.clear();
    const std::vector<uint8_t> octets = line.Octets();
    deframer.Put(octets.data(), octets.size());
    if (frames.size() != 1 || frames[0] != payload) std::abort();
    return 0;
}
