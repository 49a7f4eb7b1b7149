// Settings file and storage folders of the main window.

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "app/answering_dlg.h"
#include "platform/clock.h"
#include "platform/message_box.h"
#include "platform/paths.h"
#include "platform/profile.h"

namespace {

constexpr char kSettingsFile[] = "vantoro.ini";
constexpr char kSection[] = "vantoro";
// [fax] mode=standard (default) or mode=fast.
constexpr char kFaxSection[] = "fax";
constexpr char kFaxModeFast[] = "fast";
constexpr char kBlockSection[] = "block";
constexpr char kDefaultRing[] = "3 ;设置振铃次数";
constexpr char kDefaultTime[] = "5  ;设置留言时长，单位分钟，平均每分钟WAV文件900K";
constexpr uint32_t kDefaultRingCount = 3;
constexpr uint32_t kDefaultTimeMinutes = 5;
constexpr uint32_t kDefaultSkin = 1;
constexpr uint32_t kMsPerMinute = 60000;
// Test hooks: the suite shortens the message limit and the fax window; users have the settings.
constexpr char kTestRecordLimitVariable[] = "VANTORO_TEST_RECORD_LIMIT_S";
constexpr char kTestFaxWindowVariable[] = "VANTORO_TEST_FAX_WINDOW_MS";

// A test hook's positive number, or `fallback` when it is unset or not one.
uint32_t TestHook(const char* variable, uint32_t fallback) {
    const char* value = std::getenv(variable);
    if (!value || *value < '1' || *value > '9') return fallback;
    char* end = nullptr;
    const unsigned long number = std::strtoul(value, &end, 10);
    return *end == '\0' && number <= UINT32_MAX / 1000 ? uint32_t(number) : fallback;
}

void ShowError(platform::HWND owner, const char* text) {
    platform::ShowMessageBox(owner, text, "错误", platform::MsgIcon::Error,
                             platform::MsgButtons::Ok);
}

bool EnsureFolder(platform::HWND owner, const std::string& path, const char* failureText) {
    if (platform::PathExists(path)) return true;
    if (platform::MakeDirectory(path)) return true;
    ShowError(owner, failureText);
    return false;
}

}  // namespace

void CAnsweringDlg::FindProgramFolder() {
    programFolder = platform::WithTrailingSlash(platform::ProgramFolder());
}

bool CAnsweringDlg::EnsureFolders() {
    return EnsureFolder(this, programFolder + "fax", "创建传真接收文件夹失败！") &&
           EnsureFolder(this, programFolder + "wav", "创建留言接收文件夹失败！");
}

void CAnsweringDlg::CreateFaxTempFile() {
    // A voice call leaves its raw page file empty; drop it rather than pile up empty files.
    // A file with data in it may still be needed and is left alone.
    if (!faxTempFile.empty()) {
        if (FILE* previous = std::fopen(faxTempFile.c_str(), "rb")) {
            bool empty = std::fgetc(previous) == EOF;
            std::fclose(previous);
            if (empty) platform::RemoveFile(faxTempFile);
        }
    }
    faxTempFile = platform::CreateUniqueTempFile(platform::TempFolder(), "FAX");
}

bool CAnsweringDlg::LoadSettings() {
    const std::string path = programFolder + kSettingsFile;
    if (!platform::PathExists(path)) {
        platform::WriteProfileString(kSection, "ring", kDefaultRing, path);
        platform::WriteProfileString(kSection, "time", kDefaultTime, path);
    }
    skinNumber = platform::GetProfileInt(kSection, "skin", kDefaultSkin, path);
    m_line.ringsToAnswer = platform::GetProfileInt(kSection, "ring", kDefaultRingCount, path);
    uint32_t minutes = platform::GetProfileInt(kSection, "time", kDefaultTimeMinutes, path);
    if (m_line.ringsToAnswer == 0 || m_line.ringsToAnswer >= 10) {
        ShowError(this, "振铃次数参数配置错误,必须大于0小于10！");
        return false;
    }
    if (minutes == 0 || minutes >= 10) {
        ShowError(this, "留言时长参数配置错误,必须大于0小于10！");
        return false;
    }
    m_line.recordLimitMs = minutes * kMsPerMinute;
    if (const uint32_t seconds = TestHook(kTestRecordLimitVariable, 0)) {
        m_line.recordLimitMs = seconds * 1000;
    }
    m_faxWindowMs = TestHook(kTestFaxWindowVariable, kFaxWindowMs);
    std::string faxMode;
    platform::GetProfileString(kFaxSection, "mode", &faxMode, path);
    std::string blockedNumbers, unknownCallers;
    platform::GetProfileString(kBlockSection, "numbers", &blockedNumbers, path);
    platform::GetProfileString(kBlockSection, "unknown", &unknownCallers, path);
    m_blockList = CBlockList::FromSettings(blockedNumbers, unknownCallers);
    m_line.SetFaxMode(faxMode.substr(0, faxMode.find_first_of(" \t;")) == kFaxModeFast
                          ? FaxMode::kFast
                          : FaxMode::kStandard);
    return true;
}

void CAnsweringDlg::SaveSkin() {
    if (skinNumber < 1 || skinNumber > 3) return;
    platform::WriteProfileString(kSection, "skin", std::to_string(skinNumber),
                                 programFolder + kSettingsFile);
}

std::string CAnsweringDlg::FormatStamp(const platform::LocalTime& time) {
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d年%02d月%02d日%02d时%02d分%02d秒", time.year & 0xFFFF,
                  time.month, time.day, time.hour, time.minute, time.second);
    return stamp;
}

std::string CAnsweringDlg::MakeTimestampName(const std::string& subfolder,
                                             const std::string& extension) const {
    return programFolder + subfolder + FormatStamp(platform::GetLocalTime()) + extension;
}
