#pragma once
// A SIP line instead of a modem: when line.ini has a [sip] account and names no modem, the soft
// modem (vantoro-vmodem) and the SIP bridge (vantoro-sipline) run beside the program for its
// whole life, so that the registration outlives the line being opened and shut for every call.

#include <functional>
#include <string>

namespace tapi {

// True when the text of line.ini has an `account=` in its [sip] section.
bool HasSipAccount(const std::string& lineIni);

// Starts the soft modem and the bridge on the first call and keeps them running (a keeper
// thread restarts either if it ends; both end with the process); the soft modem's pty link,
// or empty when they could not start.
std::string SoftLineModem();

// Why the SIP line cannot start, in the bridge's own words (it never prints a secret's value);
// empty while it runs or has not been started.
std::string SoftLineProblem();

// `listener` runs on the keeper thread each time that changes; null for none. Once this returns,
// the listener it replaced has finished and is not called again.
void SetSoftLineListener(std::function<void()> listener);

}  // namespace tapi
