#pragma once
// The lasting record of every call: one tab-separated line per call in calls.tsv in the program
// folder, appended when the call ends.

#include <string>

#include "platform/clock.h"

enum class CallOutcome { Message, Fax, NoMessage, FaxFailed, Blocked, Unanswered };
const char* toString(CallOutcome outcome);

struct CallRecord {
    platform::LocalTime start{};
    std::string caller;  // empty when the line did not tell it
    CallOutcome outcome = CallOutcome::Unanswered;
    unsigned count = 0;  // the message's seconds or the fax's pages; 0 prints as empty
    std::string file;    // relative to the program folder; empty when nothing was stored
};

constexpr char kCallLogFileName[] = "calls.tsv";
constexpr char kCallLogHeader[] = "time\tcaller\toutcome\tlength\tfile\n";

// One line of calls.tsv, ending in '\n'. Tabs, line ends and other control bytes inside a field
// become spaces, so that the columns hold whatever the line sent as a number.
std::string CallLogLine(const CallRecord& record);
// Appends the record's line in one write; false when it could not be written whole.
bool AppendCallLog(const std::string& programFolder, const CallRecord& record);
