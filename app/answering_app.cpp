#include "app/answering_app.h"

#include "app/answering_dlg.h"
#include "platform/message_box.h"
#include "platform/single_instance.h"

namespace {
constexpr char kInstanceLockName[] = "VANTORO2000";
}

bool CAnsweringApp::InitInstance() {
    if (!platform::AcquireSessionLock(kInstanceLockName)) {
        platform::ShowMessageBox(nullptr, "BrellisVantoro 2000已经运行！",
                                 platform::ProgramCaption(), platform::MsgIcon::Exclamation,
                                 platform::MsgButtons::Ok);
        m_exitCode = 1;
        return false;
    }
    CAnsweringDlg dialog;
    dialog.DoModal();
    m_exitCode = dialog.ExitCode();
    return false;
}
