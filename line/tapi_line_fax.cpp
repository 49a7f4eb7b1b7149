// The fax hand-over of the current call: a passthrough call, the modem's data channel handed to
// the fax receiver, the reception, and the way back to voice.

#include <cstring>
#include <vector>

#include "line/tapi_line.h"
#include "line/tapi_stubs.h"

namespace {

constexpr size_t kCallParamsBlockSize = 352;
constexpr DWORD kCallParamsSize = 176;
constexpr DWORD kPassthroughMaxRate = 19200;
constexpr DWORD kVoiceMaxRate = 38400;
constexpr size_t kCommIdSize = 124;
// A dialable address with only the tone-dialling mark: the call is the line as it is.
constexpr char kToneDialOnly[] = "T";
constexpr char kCommClass[] = "comm/datamodem";

}  // namespace

bool CTapiLine::MakeCall() {
    std::vector<uint8_t> block(kCallParamsBlockSize, 0);
    auto* params = reinterpret_cast<LINECALLPARAMS*>(block.data());
    params->dwTotalSize = kCallParamsSize;
    params->dwBearerMode = LINEBEARERMODE_PASSTHROUGH;
    params->dwMinRate = 0;
    params->dwMaxRate = kPassthroughMaxRate;
    LONG request = lineMakeCall(m_hLine, &m_hCall, kToneDialOnly, 0, params);
    block.clear();
    if (request <= 0) return false;
    return WaitForReply(request);
}

bool CTapiLine::EnterPassthrough() {
    if (m_hCall == 0) return false;
    LONG request =
        lineSetCallParams(m_hCall, LINEBEARERMODE_PASSTHROUGH, 0, kPassthroughMaxRate, nullptr);
    if (request <= 0 || !WaitForReply(request)) return false;

    std::vector<uint8_t> block(kCommIdSize, 0);
    auto* id = reinterpret_cast<VARSTRING*>(block.data());
    id->dwTotalSize = kCommIdSize;
    if (lineGetID(0, 0, m_hCall, LINECALLSELECT_CALL, id, kCommClass) != 0) return false;
    // A name too long for the block comes back without the handle: nothing to hand over.
    if (id->dwStringSize < sizeof(DWORD) || id->dwStringOffset > kCommIdSize ||
        id->dwStringSize > kCommIdSize - id->dwStringOffset) {
        return false;
    }
    const uint8_t* field = block.data() + id->dwStringOffset;
    DWORD handle = 0;
    std::memcpy(&handle, field, sizeof handle);
    const char* name = reinterpret_cast<const char*>(field + sizeof handle);
    std::string deviceName(name, strnlen(name, id->dwStringSize - sizeof handle));

    CCommPort& port = *m_faxReceiver.m_pComm;
    port.Attach(static_cast<int>(handle));
    Log("调制解调器名称: " + deviceName);
    port.Purge();
    return true;
}

bool CTapiLine::RunFax() {
    m_faxReceiver.Receive();
    return true;
}

bool CTapiLine::ReturnToVoice() {
    if (m_hCall == 0) return false;
    LONG request = lineSetCallParams(m_hCall, LINEBEARERMODE_VOICE, 0, kVoiceMaxRate, nullptr);
    if (request <= 0) return false;
    return WaitForReply(request);
}

void CTapiLine::SetFaxTempFile(const std::string& path) { m_faxReceiver.SetFaxTempFile(path); }
