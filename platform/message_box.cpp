#include "platform/message_box.h"

#include <unistd.h>

#include <QMessageBox>
#include <QString>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "platform/paths.h"

namespace platform {
namespace {

bool g_headless = false;
std::function<void(const std::string&)> g_log;
size_t g_scriptedAnswersUsed = 0;

std::optional<MsgAnswer> AnswerFromWord(const std::string& word) {
    if (word == "ok") return MsgAnswer::Ok;
    if (word == "cancel") return MsgAnswer::Cancel;
    if (word == "retry") return MsgAnswer::Retry;
    if (word == "yes") return MsgAnswer::Yes;
    if (word == "no") return MsgAnswer::No;
    return std::nullopt;
}

std::optional<MsgAnswer> NextScriptedAnswer() {
    const char* script = std::getenv("VANTORO_MSGBOX");
    if (!script) return std::nullopt;
    std::string words(script);
    size_t start = 0;
    for (size_t index = 0; start <= words.size(); ++index) {
        size_t comma = words.find(',', start);
        std::string word =
            words.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (index == g_scriptedAnswersUsed) {
            ++g_scriptedAnswersUsed;
            return AnswerFromWord(word);
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return std::nullopt;
}

MsgAnswer DefaultAnswer(MsgButtons buttons) {
    switch (buttons) {
        case MsgButtons::Ok:
        case MsgButtons::OkCancel:
            return MsgAnswer::Ok;
        case MsgButtons::RetryCancel:
            return MsgAnswer::Retry;
        case MsgButtons::YesNo:
            return MsgAnswer::Yes;
    }
    return MsgAnswer::Ok;
}

bool Offers(MsgButtons buttons, MsgAnswer answer) {
    switch (buttons) {
        case MsgButtons::Ok:
            return answer == MsgAnswer::Ok;
        case MsgButtons::OkCancel:
            return answer == MsgAnswer::Ok || answer == MsgAnswer::Cancel;
        case MsgButtons::RetryCancel:
            return answer == MsgAnswer::Retry || answer == MsgAnswer::Cancel;
        case MsgButtons::YesNo:
            return answer == MsgAnswer::Yes || answer == MsgAnswer::No;
    }
    return false;
}

MsgAnswer AnswerHeadless(const std::string& text, const std::string& caption, MsgButtons buttons) {
    std::fprintf(stderr, "MSGBOX %s: %s\n", caption.c_str(), text.c_str());
    std::fflush(stderr);
    if (g_log) g_log("MSGBOX " + caption + ": " + text);
    std::optional<MsgAnswer> scripted = NextScriptedAnswer();
    if (scripted && Offers(buttons, *scripted)) return *scripted;
    return DefaultAnswer(buttons);
}

QMessageBox::Icon ToQtIcon(MsgIcon icon) {
    switch (icon) {
        case MsgIcon::None:
            return QMessageBox::NoIcon;
        case MsgIcon::Error:
        case MsgIcon::Stop:
            return QMessageBox::Critical;
        case MsgIcon::Exclamation:
            return QMessageBox::Warning;
        case MsgIcon::Question:
            return QMessageBox::Question;
        case MsgIcon::Information:
            return QMessageBox::Information;
    }
    return QMessageBox::NoIcon;
}

MsgAnswer AnswerWithDialog(QWidget* owner, const std::string& text, const std::string& caption,
                           MsgIcon icon, MsgButtons buttons) {
    QMessageBox box(ToQtIcon(icon), QString::fromStdString(caption), QString::fromStdString(text),
                    QMessageBox::NoButton, owner);
    switch (buttons) {
        case MsgButtons::Ok:
            box.setStandardButtons(QMessageBox::Ok);
            break;
        case MsgButtons::OkCancel:
            box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
            break;
        case MsgButtons::RetryCancel:
            box.setStandardButtons(QMessageBox::Retry | QMessageBox::Cancel);
            break;
        case MsgButtons::YesNo:
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            break;
    }
    switch (box.exec()) {
        case QMessageBox::Cancel:
            return MsgAnswer::Cancel;
        case QMessageBox::Retry:
            return MsgAnswer::Retry;
        case QMessageBox::Yes:
            return MsgAnswer::Yes;
        case QMessageBox::No:
            return MsgAnswer::No;
        case QMessageBox::Ok:
            return MsgAnswer::Ok;
        default:
            // Closed without a button: the box's escape answer.
            return buttons == MsgButtons::Ok      ? MsgAnswer::Ok
                   : buttons == MsgButtons::YesNo ? MsgAnswer::No
                                                  : MsgAnswer::Cancel;
    }
}

}  // namespace

void SetMessageBoxLog(std::function<void(const std::string&)> log) { g_log = std::move(log); }

void SetHeadless(bool headless) { g_headless = headless; }
bool IsHeadless() { return g_headless; }

std::string ProgramCaption() {
    char buffer[4096];
    ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0) return "vantoro";
    std::string path(buffer, static_cast<size_t>(length));
    return path.substr(path.rfind('/') + 1);
}

MsgAnswer ShowMessageBox(HWND owner, const std::string& text, const std::string& caption,
                         MsgIcon icon, MsgButtons buttons) {
    if (g_headless) return AnswerHeadless(text, caption, buttons);
    return AnswerWithDialog(dynamic_cast<QWidget*>(owner), text, caption, icon, buttons);
}

}  // namespace platform
