// Error correction (T.30 Annex A) in the receive session: the page's blocks of HDLC frames on
// the high-speed carrier, and the partial-page exchange of Phase D that asks for what was lost.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "fax/fax_receiver.h"
#include "fax/hdlc_deframer.h"

namespace {

constexpr char kResNoCarrier[] = "NO CARRIER";
constexpr char kResError[] = "ERROR";

// An FCD frame: address, control, FCF, the frame number, then the data; two check octets.
constexpr size_t kFcdNumberPos = kFrameFifPos;
constexpr size_t kFcdDataPos = kFrameFifPos + 1;
constexpr size_t kEcmFrameMaxOctets = kFcdDataPos + CEcmBlock::kMaxFrameOctets + 2;
// A PPS information field: the post-message command, the page and block counters, and the
// number of frames less one.
constexpr size_t kPpsFifSize = 4;
constexpr size_t kPpsPostMessagePos = 0;
constexpr size_t kPpsPagePos = 1;
constexpr size_t kPpsBlockPos = 2;
constexpr size_t kPpsFramesPos = 3;
// EOR's information field is its post-message command.
constexpr size_t kEorFifSize = 1;

std::string PostMessageName(uint8_t postMessage) {
    const char* priority = (postMessage & kFcfPriBit) ? "PRI-" : "";
    switch (postMessage & ~kFcfPriBit & kFcfMask) {
        case kFcfNull:
            return "NULL";
        case kFcfMps:
            return std::string(priority) + "MPS";
        case kFcfEop:
            return std::string(priority) + "EOP";
        case kFcfEom:
            return std::string(priority) + "EOM";
        default:
            return "?";
    }
}

}  // namespace

int CFaxReceiver::ReceiveEcmData() {
    size_t fcdFrames = 0;
    size_t rcpFrames = 0;
    CHdlcDeframer deframer(kEcmFrameMaxOctets, [&](const uint8_t* frame, size_t length) {
        if (length <= kFrameFcfPos) return;
        const uint8_t fcf = ReverseBits(frame[kFrameFcfPos]) & kFcfMask;
        if (fcf == kFcfFcd && length > kFcdDataPos) {
            ++fcdFrames;
            m_pEcmBlock->StoreFrame(frame[kFcdNumberPos], frame + kFcdDataPos,
                                    length - kFcdDataPos);
        } else if (fcf == kFcfRcp) {
            ++rcpFrames;
        }
    });
    const int result = ReadCarrierData([&deframer](uint8_t byte) {
        deframer.PutOctet(byte);
        return true;
    });
    char text[96];
    std::snprintf(text, sizeof text, "收到%zu个数据帧，%zu个损坏帧，%zu个RCP", fcdFrames,
                  deframer.BadFrames(), rcpFrames);
    Log(text);
    return result;
}

FaxState CFaxReceiver::DoReceiveEcmBlock() {
    LogAndShow("正在接收页面数据");
    m_session.ecmEorAnswered = false;
    int result = ReceiveEcmData();
    if (result == kResultOk)
        result = WaitResponse(kResNoCarrier, kResError, m_timeouts.carrierEndMs, ClearAll::Yes);
    if (result == kResultOk) {
        // A CTC or EOR where the next burst was due costs a carrier error: count them per burst.
        m_session.carrierErrors = 0;
        return FaxState::ReceiveEcmCommand;
    }
    if (result == kResultCancelled) return FaxState::Cancelled;
    return Fail(kFaxErrReceivePage);
}

FaxState CFaxReceiver::DoReceiveEcmCommand() {
    m_nFrameLen = 0;
    int result = ReceiveFrame();
    if (result == kResultOk) {
        m_session.damageSeen = false;
        return DispatchEcmCommand();
    }
    if (result == kResultCancelled) return FaxState::Cancelled;
    if (!WithinT2OfDamage()) return Fail(kFaxErrPostPage);
    if (m_nFrameLen == 0) {
        Log("未收到页后命令，重新接收");
        return FaxState::ReceiveEcmCommand;
    }
    Log("页后命令损坏，发送CRP");
    return SendEcmResponse(kFcfCrp, 0, FaxState::ReceiveEcmCommand);
}

FaxState CFaxReceiver::DispatchEcmCommand() {
    const uint8_t fcf = m_frame[kFrameFcfPos] & kFcfMask;
    const uint8_t* fif = m_frame + kFrameFifPos;
    const size_t fifLength = m_nFrameLen - kMinFrameLen;
    switch (fcf) {
        case kFcfPps:
            return OnPartialPage(fif, fifLength);
        case kFcfEor:
            return OnEndOfRetransmission(fif, fifLength);
        case kFcfCtc:
            return OnContinueToCorrect(fif, fifLength);
        case kFcfDcs:
        case kFcfTsi:
            // The caller missed our CFR and repeats its DCS.
            if (!m_session.ecmPhaseD) return DispatchCommand();
            return Fail(kFaxErrUnexpectedPostPage);
        case kFcfDcn:
            LogAndShow("收到DCN");
            return Fail(kFaxErrDcnAfterPage);
        default:
            return Fail(kFaxErrUnexpectedPostPage);
    }
}

FaxState CFaxReceiver::OnPartialPage(const uint8_t* fif, size_t length) {
    if (length < kPpsFifSize) return Fail(kFaxErrUnexpectedPostPage);
    m_session.ecmPhaseD = true;
    const uint8_t postMessage = fif[kPpsPostMessagePos] & kFcfMask;
    const int page = ReverseBits(fif[kPpsPagePos]);
    const int block = ReverseBits(fif[kPpsBlockPos]);
    // The count of a burst of frames sent again may be smaller than the block's.
    const int frames = ReverseBits(fif[kPpsFramesPos]) + 1;
    char text[96];
    std::snprintf(text, sizeof text, "收到PPS-%s，第%d页第%d块，%d帧",
                  PostMessageName(postMessage).c_str(), page + 1, block + 1, frames);
    LogAndShow(text);
    if (page == m_session.ecmAckedPage && block == m_session.ecmAckedBlock) {
        Log("对方未收到MCF，重发MCF");
        return SendEcmResponse(kFcfMcf, 0, NextAfterEcmBlock(postMessage));
    }
    m_session.ecmFrameCount = std::max(m_session.ecmFrameCount, frames);
    CEcmBlock::FrameMap map{};
    const unsigned missing =
        m_pEcmBlock->MissingMap(static_cast<unsigned>(m_session.ecmFrameCount), map);
    if (missing == 0) {
        if (!StoreEcmBlock(postMessage)) {
            Log("写入页面文件失败");
            return Fail(kFaxErrPageFileWrite);
        }
        m_session.ecmAckedPage = page;
        m_session.ecmAckedBlock = block;
        if (RefuseFurtherPages(postMessage)) return Fail(kFaxErrTooManyPages);
        return SendEcmResponse(kFcfMcf, 0, NextAfterEcmBlock(postMessage));
    }
    ++m_session.ecmPprs;
    std::snprintf(text, sizeof text, "发送PPR，请求重发%u帧", missing);
    Log(text);
    for (size_t i = 0; i < map.size(); ++i) m_frame[kFrameFifPos + i] = ReverseBits(map[i]);
    return SendEcmResponse(kFcfPpr, map.size(), FaxState::PreparePage);
}

FaxState CFaxReceiver::OnEndOfRetransmission(const uint8_t* fif, size_t length) {
    if (length < kEorFifSize) return Fail(kFaxErrUnexpectedPostPage);
    m_session.ecmPhaseD = true;
    const uint8_t postMessage = fif[kPpsPostMessagePos] & kFcfMask;
    if (m_session.ecmEorAnswered) {
        Log("对方未收到ERR，重发ERR");
        return SendEcmResponse(kFcfErr, 0, NextAfterEcmBlock(postMessage));
    }
    CEcmBlock::FrameMap map{};
    const unsigned frames = static_cast<unsigned>(std::max(m_session.ecmFrameCount, 0));
    char text[96];
    std::snprintf(text, sizeof text, "收到EOR-%s，本块缺%u帧，保留已收到的数据",
                  PostMessageName(postMessage).c_str(), m_pEcmBlock->MissingMap(frames, map));
    LogAndShow(text);
    if (!StoreEcmBlock(postMessage)) {
        Log("写入页面文件失败");
        return Fail(kFaxErrPageFileWrite);
    }
    m_session.ecmEorAnswered = true;
    if (RefuseFurtherPages(postMessage)) return Fail(kFaxErrTooManyPages);
    return SendEcmResponse(kFcfErr, 0, NextAfterEcmBlock(postMessage));
}

// The caller steps its rate down and sends the block's missing frames again after a training.
FaxState CFaxReceiver::OnContinueToCorrect(const uint8_t* fif, size_t length) {
    SelectRate(fif, length);
    m_nPageModulation = m_nModulation;  // T.30: long training after CTC
    m_session.ecmPprs = 0;
    char text[64];
    std::snprintf(text, sizeof text, "收到CTC，改用调制方式%d重发", m_nModulation);
    LogAndShow(text);
    return SendEcmResponse(kFcfCtr, 0, FaxState::PreparePage);
}

bool CFaxReceiver::StoreEcmBlock(uint8_t postMessage) {
    if (!m_session.ecmPageOpen) {
        if (!m_pageFile.BeginPage()) return false;
        m_session.ecmPageOpen = true;
    }
    const unsigned frames = static_cast<unsigned>(std::max(m_session.ecmFrameCount, 0));
    const std::vector<uint8_t> data = m_pEcmBlock->PageData(frames);
    if (!m_pageFile.AppendData(data.data(), data.size())) return false;
    m_pEcmBlock->Start(m_session.ecmFrameOctets);
    m_session.ecmFrameCount = -1;
    m_session.ecmPprs = 0;
    if ((postMessage & kFcfMask) == kFcfNull) return true;
    LogAndShow("本页接收完毕");
    m_session.ecmPageOpen = false;
    return m_pageFile.EndPage();
}

// The header counts pages in one byte: end the call rather than lose count.
bool CFaxReceiver::RefuseFurtherPages(uint8_t postMessage) {
    const uint8_t command = postMessage & ~kFcfPriBit & kFcfMask;
    if ((command != kFcfMps && command != kFcfEom) || !m_pageFile.Full()) return false;
    Log("页数已达255，拒绝接收后续页面");
    SendFrame(FrameFinal::Yes, kFcfDcn, 0);
    return true;
}

FaxState CFaxReceiver::NextAfterEcmBlock(uint8_t postMessage) {
    switch (postMessage & ~kFcfPriBit & kFcfMask) {
        case kFcfNull:
            return FaxState::PreparePage;
        case kFcfMps:
            LogAndShow("准备接收下一页");
            return FaxState::PreparePage;
        case kFcfEop:
            LogAndShow("收到EOP");
            return FaxState::ReceiveFinalDcn;
        case kFcfEom:
            // Back to Phase B: the caller waits for our DIS and sends a new DCS.
            LogAndShow("收到EOM");
            m_session.ecmPhaseD = false;
            m_session.dcsSeen = false;
            return FaxState::SendCsi;
        default:
            return Fail(kFaxErrUnexpectedPostPage);
    }
}

FaxState CFaxReceiver::SendEcmResponse(uint8_t fcf, size_t fifLength, FaxState next) {
    if (next == FaxState::Error) return next;
    const int result = SendFrame(FrameFinal::Yes, fcf, fifLength);
    if (result == kResultOk) return next;
    if (result == kResultCancelled) return FaxState::Cancelled;
    return Fail(kFaxErrSendMcf);
}
