#pragma once
#include <functional>
#include <string>

#include "platform/messages.h"

namespace platform {

enum class MsgIcon { None, Error, Exclamation, Stop, Question, Information };
enum class MsgButtons { Ok, OkCancel, RetryCancel, YesNo };
enum class MsgAnswer { Ok, Cancel, Retry, Yes, No };

// Every message box of the program goes through here. With a display it is a modal QMessageBox;
// headless it is written to stderr as "MSGBOX <caption>: <text>" and answered at once with the
// next word of VANTORO_MSGBOX (ok, cancel, retry, yes, no) or else the box's default button.
// The box is modal to `owner` when that window is a widget.
MsgAnswer ShowMessageBox(HWND owner, const std::string& text, const std::string& caption,
                         MsgIcon icon, MsgButtons buttons);

// Headless boxes are also written to this log (the program's log, once it is open).
void SetMessageBoxLog(std::function<void(const std::string&)> log);

void SetHeadless(bool headless);
bool IsHeadless();

// The default caption of boxes that name none: the program file's name.
std::string ProgramCaption();

}  // namespace platform
