#include "app/answering_app.h"

#include "app/answering_dlg.h"
#include "app/inbox_channel.h"
#include "platform/message_box.h"
#include "platform/single_instance.h"

namespace {
constexpr char kInstanceLockName[] = "VANTORO2000";
}

bool CAnsweringApp::InitInstance() {
    if (!platform::AcquireSessionLock(kInstanceLockName)) {
        if (m_openInbox && CInboxChannel::AskRunningCopy()) return false;
        platform::ShowMessageBox(nullptr, "BrellisVantoro 2000已经运行！",
                                 platform::ProgramCaption(), platform::MsgIcon::Exclamation,
                                 platform::MsgButtons::Ok);
        m_exitCode = 1;
        return false;
    }
    CAnsweringDlg dialog;
    if (m_openInbox) {
        QMetaObject::invokeMethod(
            &dialog, [&dialog] { dialog.OpenInbox(); }, Qt::QueuedConnection);
    }
    dialog.DoModal();
    m_exitCode = dialog.ExitCode();
    return false;
}
