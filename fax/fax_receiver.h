#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fax/comm_port.h"
#include "fax/ecm_block.h"
#include "fax/raw_page_file.h"
#include "platform/messages.h"
#include "platform/unique_fd.h"

// Class 1 mode command issued last (0: AT+FTH=3, 1: AT+FRH=3, 2: AT+FTM, 3: AT+FRM). One
// process-wide value: only one fax session runs at a time.
extern int g_nCarrierMode;
constexpr int kCarrierHdlcTransmit = 0;
constexpr int kCarrierHdlcReceive = 1;
constexpr int kCarrierDataTransmit = 2;
constexpr int kCarrierDataReceive = 3;

// T.30 facsimile control fields in written order (first bit on the line in the MSB), X bit clear.
constexpr uint8_t kFcfDis = 0x01;  // digital identification signal
constexpr uint8_t kFcfCsi = 0x02;  // called subscriber identification
constexpr uint8_t kFcfCfr = 0x21;  // confirmation to receive
constexpr uint8_t kFcfFtt = 0x22;  // failure to train
constexpr uint8_t kFcfMcf = 0x31;  // message confirmation
constexpr uint8_t kFcfDcs = 0x41;  // digital command signal
constexpr uint8_t kFcfTsi = 0x42;  // transmitting subscriber identification
constexpr uint8_t kFcfDcn = 0x5F;  // disconnect
constexpr uint8_t kFcfCrp = 0x58;  // command repeat
constexpr uint8_t kFcfEom = 0x71;  // end of message
constexpr uint8_t kFcfMps = 0x72;  // multi-page signal
constexpr uint8_t kFcfEop = 0x74;  // end of procedure
// Error correction (T.30 Annex A): Phase D commands and responses, and the Phase C frames.
constexpr uint8_t kFcfPps = 0x7D;  // partial page signal
constexpr uint8_t kFcfPpr = 0x3D;  // partial page request
constexpr uint8_t kFcfCtc = 0x48;  // continue to correct
constexpr uint8_t kFcfCtr = 0x23;  // response to continue to correct
constexpr uint8_t kFcfEor = 0x73;  // end of retransmission
constexpr uint8_t kFcfErr = 0x38;  // response for end of retransmission
constexpr uint8_t kFcfRr = 0x76;   // receive ready
constexpr uint8_t kFcfFcd = 0x60;  // facsimile coded data
constexpr uint8_t kFcfRcp = 0x61;  // return to control for partial page
// PPS and EOR carry a post-message command in their first FIF octet: NULL ends a block within a
// page; PRI-EOM, PRI-MPS and PRI-EOP are EOM, MPS and EOP with this bit set.
constexpr uint8_t kFcfNull = 0x00;
constexpr uint8_t kFcfPriBit = 0x08;
constexpr uint8_t kFcfXBit = 0x80;
constexpr uint8_t kFcfMask = 0x7F;

constexpr uint8_t kDle = 0x10;
constexpr uint8_t kEtx = 0x03;
constexpr uint8_t kCr = 0x0D;
constexpr uint8_t kLf = 0x0A;

// Results of the command, frame and data layers.
constexpr int kResultOk = 0;
constexpr int kResultAlternative = 1;
constexpr int kResultText = 2;  // a result text came instead of a frame
// AT+FRM answered +FCERROR (or ERROR): the line carries another carrier, mostly the V.21 of a
// command frame the caller repeats.
constexpr int kResultCarrierError = 3;
constexpr int kResultTimeout = -1;
constexpr int kResultOverflow = -2;
constexpr int kResultWriteFailed = -3;
constexpr int kResultCancelled = -4;
constexpr int kResultFileWrite = -5;  // our own: the raw page file could not be written

// Session error numbers (m_nFaxError).
constexpr int kFaxErrNone = 0;
constexpr int kFaxErrCreateFile = -4;
constexpr int kFaxErrInit = -6;
constexpr int kFaxErrAnswer = -7;
constexpr int kFaxErrSendCsi = -8;
constexpr int kFaxErrSendDis = -9;
constexpr int kFaxErrNoCommand = -10;
constexpr int kFaxErrReceiveCommand = -11;
constexpr int kFaxErrPrepareTraining = -12;
constexpr int kFaxErrSendFtt = -13;
constexpr int kFaxErrTraining = -14;
constexpr int kFaxErrTrainingEnd = -15;
constexpr int kFaxErrSendCfr = -16;
constexpr int kFaxErrPreparePage = -17;
constexpr int kFaxErrReceivePage = -18;
constexpr int kFaxErrPostPage = -19;
constexpr int kFaxErrSendMcf = -20;
constexpr int kFaxErrFinalDcn = -21;
constexpr int kFaxErrDcnBeforeTraining = -24;
constexpr int kFaxErrEom = -25;
constexpr int kFaxErrDcnAfterPage = -26;
constexpr int kFaxErrUnexpectedPostPage = -27;
constexpr int kFaxErrResultTexts = -28;
constexpr int kFaxErrPageFileWrite = -29;  // our own: a write to the raw page file failed
constexpr int kFaxErrTooManyPages = -30;   // our own: the header counts at most 255 pages
constexpr int kFaxErrCancelled = -99;

// An HDLC frame in `m_frame` (T.30 5.3.6.1): address, control, FCF, then the information field;
// a received frame also holds the modem's two check bytes and its DLE ETX.
constexpr size_t kFrameBufSize = 256;
constexpr size_t kFrameAddressPos = 0;
constexpr size_t kFrameControlPos = 1;
constexpr size_t kFrameFcfPos = 2;
constexpr size_t kFrameFifPos = 3;
constexpr size_t kFrameCheckBytes = 2;
constexpr size_t kFrameEndBytes = 2;  // DLE ETX
constexpr size_t kMinFrameLen = kFrameFifPos + kFrameCheckBytes + kFrameEndBytes;
constexpr uint8_t kFrameAddress = 0xFF;
constexpr uint8_t kControlNonFinal = 0xC0;  // written order; 0x03 on the line
constexpr uint8_t kControlFinal = 0xC8;     // the final frame of a transmission; 0x13 on the line

constexpr size_t kPageBufSize = 81920;
constexpr size_t kEcmSmallFrameOctets = 64;
constexpr size_t kCsiFifSize = 20;  // T.30: an identity of 20 characters

// Time-outs.
constexpr uint32_t kProbePauseMs = 500;
constexpr uint32_t kProbeTimeoutMs = 2000;
constexpr uint32_t kClassTimeoutMs = 5000;
// The modem answers AT+FTS=8 after its 80 ms of silence; 100 ms often ran out just as the OK
// arrived, and the purge that ends a wait could then cut that line in half.
constexpr uint32_t kSilenceTimeoutMs = 300;
constexpr uint32_t kConnectTimeoutMs = 6000;
// A caller whose command went unanswered repeats it after T4 (3 s + 15 %), counted from the end
// of what it sent: after a DCS, from the end of its TCF (up to 3.1 s with V.17's long training).
// The wait for the repeat's CONNECT covers both, so that our DIS does not go out over it.
constexpr uint32_t kCommandRepeatTimeoutMs = 9000;
// AT+FRS's OK comes once the line has been silent long enough; a caller that goes on sending
// holds it back.
constexpr uint32_t kResponseGapTimeoutMs = 1000;
// T.30 T2 (6 +/- 1 s): how long damaged or missing frames are received again.
constexpr uint32_t kT2Ms = 6000;
// The OK to the character that abandons an unanswered AT+FRH or AT+FRM.
constexpr uint32_t kAbortTimeoutMs = 1000;
constexpr uint32_t kAnswerTimeoutMs = 60000;
constexpr uint32_t kFinalFrameTimeoutMs = 5000;
constexpr uint32_t kNextFrameTimeoutMs = 60000;
constexpr uint32_t kFrameTimeoutMs = 5000;
constexpr uint32_t kFrameVerdictTimeoutMs = 5000;
constexpr uint32_t kTrainingTimeoutMs = 5000;
constexpr uint32_t kCarrierEndTimeoutMs = 5000;
// A modem that sends no page byte for this long has stopped, or the device is gone.
constexpr uint32_t kPageSilenceTimeoutMs = 30000;
// The time-outs above, as the receiver uses them: tests shorten them.
struct FaxTimeouts {
    uint32_t probePauseMs = kProbePauseMs;
    uint32_t probeMs = kProbeTimeoutMs;
    uint32_t classMs = kClassTimeoutMs;
    uint32_t silenceMs = kSilenceTimeoutMs;
    uint32_t connectMs = kConnectTimeoutMs;
    uint32_t commandRepeatMs = kCommandRepeatTimeoutMs;
    uint32_t abortMs = kAbortTimeoutMs;
    uint32_t answerMs = kAnswerTimeoutMs;
    uint32_t finalFrameMs = kFinalFrameTimeoutMs;
    uint32_t nextFrameMs = kNextFrameTimeoutMs;
    uint32_t frameMs = kFrameTimeoutMs;
    uint32_t frameVerdictMs = kFrameVerdictTimeoutMs;
    uint32_t trainingMs = kTrainingTimeoutMs;
    uint32_t carrierEndMs = kCarrierEndTimeoutMs;
};
constexpr int kProbeTries = 3;
constexpr int kCommandTimeoutsAllowed = 3;
constexpr int kResultTextsAllowed = 3;
constexpr int kCarrierErrorsAllowed = 3;
constexpr int kDamagedFramesAllowed = 10;  // within one T2; in Phase B, before a good frame
constexpr int kRepeatWaitsAllowed = 2;

// Standard: the DIS the receiver has always sent (V.27 ter and V.29, 20 ms scan line time).
// Fast: 0 ms scan line time, and V.17 where the modem offers it.
enum class FaxMode { kStandard, kFast };

enum class Direction { Transmit, Receive };
enum class ClearAll { No, Yes };
enum class FrameFinal { No, Yes };

// The states of one T.30 receive session.
enum class FaxState {
    Init,
    Answer,
    SendCsi,
    SendDis,
    ReceiveCommand,
    SelectRate,
    PrepareTraining,
    SendFtt,
    ReceiveTraining,
    SendCfr,
    PreparePage,
    ReceivePage,
    ReceiveEcmBlock,
    ReceiveEcmCommand,
    PageDone,
    ReceivePostPage,
    ReceiveFinalDcn,
    Error,
    Cancelled,
    Finish,
    End,
};

// The fax receive object: it answers a Class 1 modem as the called station, runs the T.30
// receive session into the raw page file, and carries the program's fax log and status channel.
class CFaxReceiver {
public:
    CFaxReceiver();
    ~CFaxReceiver();
    CFaxReceiver(const CFaxReceiver&) = delete;
    CFaxReceiver& operator=(const CFaxReceiver&) = delete;

    // Log and status.
    bool OpenLog();                 // recreates Fax.Log in the per-user state folder
    bool UseLogDescriptor(int fd);  // log to an already open descriptor instead (tools)
    void Log(const std::string& text);
    void FormatTimestamp();
    void SetStatus(const std::string& text);
    static std::string LogFilePath();
    void CloseLog();  // the exit command closes the log before the program ends
    bool IsLogOpen() const { return m_fileLog.valid(); }

    // Session.
    void SetFaxTempFile(const std::string& path) { m_strPageFile = path; }
    void Receive();
    // True once the modem has connected to the caller in this session.
    bool CallAnswered() const { return m_bAnswered; }

    // Command layer.
    bool IsCancelled() const { return m_bCancel.load() != 0; }
    int WaitResponse(const char* first, const char* second, uint32_t timeoutMs, ClearAll clearAll);
    int InitModem();
    int EnterHdlcMode(Direction direction);
    int EnterDataMode(Direction direction, int modulation);

    // Frames, training check and page data.
    static uint8_t ReverseBits(uint8_t byte);
    static void ReverseBuffer(uint8_t* data, size_t count);
    int SendFrame(FrameFinal final, uint8_t fcf, size_t fifLength);
    int SendDIS();
    int SendCSI();
    int ReceiveFrameBytes();
    int ReceiveFrame();
    int CheckTraining();
    int EndTrainingCarrier();
    int ReceivePageData();
    // Reads a data carrier's bytes, DLE shielding removed, up to its DLE ETX; `onByte` returns
    // false when it could not keep a byte.
    int ReadCarrierData(const std::function<bool(uint8_t)>& onByte);
    // Error correction: the high-speed carrier's HDLC frames into the block.
    int ReceiveEcmData();

    platform::HWND m_hWnd = nullptr;
    std::string m_strStatus;
    std::string m_strLocalId;
    std::unique_ptr<CCommPort> m_pComm;
    std::atomic<int> m_bCancel{0};  // may be set from a signal handler or another thread
    std::string m_strPageFile;
    char m_szTime[32] = {};
    int m_nFaxError = 0;
    char m_szCommand[100] = {};
    CRawPageWriter m_pageFile;
    uint8_t m_frame[kFrameBufSize] = {};
    size_t m_nFrameLen = 0;
    int m_bTxReady = 0;
    int m_nModulation = 0;
    // The page carrier's modulation: V.17's short training after the long one of the TCF.
    int m_nPageModulation = 0;
    FaxMode m_faxMode = FaxMode::kStandard;
    bool m_bModemHasV17 = false;  // AT+FRM=? listed every V.17 rate, both trainings
    std::unique_ptr<uint8_t[]> m_pPageBuf;
    int m_bAnswerRole = 0;
    // Page data end as failed after this long without a byte (tests shorten it).
    uint32_t m_nPageSilenceTimeoutMs = kPageSilenceTimeoutMs;
    FaxTimeouts m_timeouts;

private:
    // Session locals.
    struct Session {
        uint8_t dcs[raw_page_file::kDcsSize] = {};
        bool dcsSeen = false;
        int timeouts = 0;
        int resultTexts = 0;
        int carrierErrors = 0;
        bool damageSeen = false;  // a damaged or missing frame since the last good one
        uint32_t damageStartMs = 0;
        int damagedFrames = 0;
        // Phase B: part of the caller's command sequence (a damaged frame, its TSI) came since
        // our DIS, and the next receive waits for the caller to repeat it.
        bool commandHeard = false;
        bool repeatAwaited = false;
        int repeatWaits = 0;             // time-outs waited through for the repeat
        bool finalFrameDamaged = false;  // a frame came damaged after our MCF to EOP
        // Error correction: the DCS chose it; the block's counters and what was answered.
        bool ecm = false;
        size_t ecmFrameOctets = CEcmBlock::kMaxFrameOctets;
        bool ecmPhaseD = false;    // a PPS or EOR has come: a DCS is out of place now
        bool ecmPageOpen = false;  // the page has data in the file
        int ecmFrameCount = -1;    // frames in the block, the largest count a PPS gave
        int ecmPprs = 0;           // PPRs sent for this block
        int ecmAckedPage = -1;     // the counters of the block answered with MCF last
        int ecmAckedBlock = -1;
        bool ecmEorAnswered = false;  // ERR sent, no data since: an EOR now is a repeat
    };

    // Command layer helpers.
    // `third`, when given, is one more result line to wait for: kResultCarrierError.
    int ScanResponse(const char* first, const char* second, const char* third, ClearAll clearAll);
    int WaitResults(const char* first, const char* second, const char* third, uint32_t timeoutMs,
                    ClearAll clearAll);
    // Takes the modem out of an AT+FRH or AT+FRM that timed out, back to command state.
    int AbortReceive();
    int CancelWait(ClearAll clearAll);
    int SendSilence();
    int SendResponseGap();
    // Blocks until the modem may have sent something, without dispatching messages.
    void WaitForModem(uint32_t timeoutMs);

    int ScanFrame(size_t& stored);
    // True when the TCF's bytes show a line that carries the rate; logs what it found.
    bool JudgeTraining(const std::vector<uint8_t>& tcf);
    // Fast mode: asks AT+FRM=? whether the modem receives V.17.
    void QueryModulations();

    bool FlushPageBlock(size_t count);

    // Session steps: each returns the next state.
    void Run();
    void LogAndShow(const std::string& text);
    FaxState Fail(int error);
    FaxState RunState(FaxState state);
    FaxState DoInit();
    FaxState DoAnswer();
    FaxState DoSendCsi();
    FaxState DoSendDis();
    FaxState DoReceiveCommand();
    FaxState DispatchCommand();
    FaxState CommandTimedOut();
    FaxState CommandDamaged();
    FaxState AwaitCommandRepeat();
    void ForgetCommandRepeat();  // a whole command came, or our DIS starts again
    bool WithinT2OfDamage();
    void NoteEcmChoice();
    FaxState DoSelectRate();
    // Sets the TCF's and the pages' modulations from a DCS (or CTC) field's rate bits.
    void SelectRate(const uint8_t* field, size_t length);
    FaxState DoPrepareTraining();
    FaxState DoSendFtt();
    FaxState DoReceiveTraining();
    FaxState DoSendCfr();
    FaxState DoPreparePage();
    FaxState BackToFrames(FaxState next, int error);
    FaxState DoReceivePage();
    FaxState DoReceiveEcmBlock();
    FaxState DoReceiveEcmCommand();
    FaxState DispatchEcmCommand();
    FaxState OnPartialPage(const uint8_t* fif, size_t length);
    FaxState OnEndOfRetransmission(const uint8_t* fif, size_t length);
    FaxState OnContinueToCorrect(const uint8_t* fif, size_t length);
    // Stores the block's frames (all of them, or what came before EOR) and starts the next
    // block; a post-message command other than NULL ends the page.
    bool StoreEcmBlock(uint8_t postMessage);
    bool RefuseFurtherPages(uint8_t postMessage);
    // What the post-message command of a PPS or EOR asks for after our MCF or ERR.
    FaxState NextAfterEcmBlock(uint8_t postMessage);
    FaxState SendEcmResponse(uint8_t fcf, size_t fifLength, FaxState next);
    FaxState DoPageDone();
    FaxState DoReceivePostPage();
    FaxState DispatchPostPage();
    FaxState DoReceiveFinalDcn();
    FaxState DoError();
    FaxState DoCancelled();
    FaxState DoFinish();
    void FinalReport();

    std::unique_ptr<CEcmBlock> m_pEcmBlock;
    UniqueFd m_fileLog;
    bool m_bAnswered = false;
    bool m_bModemHasFrs = true;  // until the modem answers AT+FRS with ERROR
    Session m_session;
    FaxState m_state = FaxState::End;
};
