// The fax paths of the call flow: reception started by the receive-fax button or by fax tone in
// the greeting's window, and the shared tail that stores the fax as a TIFF file.

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "app/answering_dlg.h"
#include "fax/raw_page_file.h"
#include "platform/paths.h"
#include "tiff/tiff_writer.h"

namespace {

constexpr uint32_t kAfterFaxSleepMs = 2000;

// Moves the file, copying where a rename cannot cross file systems.
bool MoveFile(const std::string& from, const std::string& to) {
    std::error_code error;
    std::filesystem::rename(from, to, error);
    if (!error) return true;
    error.clear();
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, error);
    return !error;
}

}  // namespace

intptr_t CAnsweringDlg::OnFaxStatus() {
    SetStatusText(m_line.FaxStatus());
    return 0;
}

void CAnsweringDlg::OnReceiveFax() {
    if (manualFaxBusy == 1) return;
    manualFaxBusy = 1;
    EndRecording();
    m_callCaller = m_strCallerId.toStdString();
    BeginCallRecord(CallOutcome::FaxFailed);
    SetCallOutcome(CallOutcome::FaxFailed);
    m_line.AllowFax();
    // A stop during the reception opens the line again with a new temporary file; the pages
    // are in the file this session writes.
    const std::string rawFile = faxTempFile;
    m_faxRunning = true;
    if (!m_line.MakeCall() || !m_line.EnterPassthrough()) {
        m_faxRunning = false;
        m_line.Shutdown();
        if (m_exitPending) {
            FinishExit();
        } else if (!m_ended) {
            StartWaiting();
        }
        return;
    }
    ReceiveAndStore(rawFile);
}

void CAnsweringDlg::RunAutomaticFax() {
    const std::string rawFile = faxTempFile;
    SetCallOutcome(CallOutcome::FaxFailed);
    m_faxRunning = true;
    m_line.MakeCall();
    m_line.EnterPassthrough();
    if (!m_exitPending) m_line.AllowFax();
    ReceiveAndStore(rawFile);
}

void CAnsweringDlg::ReceiveAndStore(const std::string& rawFile) {
    m_line.RunFax();
    m_line.ReturnToVoice();
    m_line.Shutdown();
    m_faxRunning = false;
    StoreReceivedFax(rawFile);
}

void CAnsweringDlg::StoreReceivedFax(const std::string& rawFile) {
    const std::string stamp = FormatStamp(platform::GetLocalTime());
    const std::string faxName = programFolder + "fax/" + stamp + ".tif";
    // A call that ended before its first page leaves nothing worth a file.
    if (platform::PathExists(rawFile) && CRawPageReader::PageCountOf(rawFile) > 0) {
        CTiffWriter writer;
        const bool converted = writer.Convert(rawFile.c_str(), faxName.c_str());
        const std::vector<uint32_t>& repaired = writer.RepairedRows();
        for (size_t page = 0; page < repaired.size(); ++page) {
            if (repaired[page] == 0) continue;
            m_line.Log("第" + std::to_string(page + 1) + "页修复了" +
                       std::to_string(repaired[page]) + "行");
        }
        const std::vector<bool>& cutShort = writer.CutShort();
        for (size_t page = 0; page < cutShort.size(); ++page) {
            if (!cutShort[page]) continue;
            m_line.Log("第" + std::to_string(page + 1) + "页" + toString(writer.Coding()) +
                       "数据出错，保留出错前的行");
        }
        if (!converted) {
            // Deleting the raw page file now would lose the fax: keep it for vantoro-rawtotiff.
            const std::string keptName = programFolder + "fax/" + stamp + ".raw";
            char text[96];
            std::snprintf(text, sizeof text, "传真转换失败(阶段%u，代码%u)，", writer.StageCode(),
                          writer.DetailCode());
            const bool kept = MoveFile(rawFile, keptName);
            SetCallOutcome(CallOutcome::FaxFailed,
                           CRawPageReader::PageCountOf(kept ? keptName : rawFile),
                           kept ? keptName : std::string());
            m_line.Log(text + (kept ? "原始页面文件保存为: " + keptName : "原始页面文件无法保存"));
        } else {
            SetCallOutcome(CallOutcome::Fax, writer.PagesWritten(), faxName);
            AnnounceStored({StoredItem::Kind::Fax, faxName, m_callCaller, writer.PagesWritten()});
        }
    }
    platform::RemoveFile(rawFile);
    // The exit command came during the reception: its pages are stored, the program ends now.
    if (m_exitPending) {
        FinishExit();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kAfterFaxSleepMs));
    if (!m_ended) StartWaiting();
}
