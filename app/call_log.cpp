#include "app/call_log.h"

#include <cstdio>

#include "platform/paths.h"

const char* toString(CallOutcome outcome) {
    switch (outcome) {
        case CallOutcome::Message:
            return "message";
        case CallOutcome::Fax:
            return "fax";
        case CallOutcome::NoMessage:
            return "no-message";
        case CallOutcome::FaxFailed:
            return "fax-failed";
        case CallOutcome::Blocked:
            return "blocked";
        case CallOutcome::Unanswered:
            return "unanswered";
    }
    return "";
}

namespace {

std::string Field(const std::string& text) {
    std::string field = text;
    for (char& c : field) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) c = ' ';
    }
    return field;
}

}  // namespace

std::string CallLogLine(const CallRecord& record) {
    const platform::LocalTime& t = record.start;
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d", t.year & 0xFFFF,
                  t.month & 0xFF, t.day & 0xFF, t.hour & 0xFF, t.minute & 0xFF, t.second & 0xFF);
    return std::string(stamp) + '\t' + Field(record.caller) + '\t' + toString(record.outcome) +
           '\t' + (record.count > 0 ? std::to_string(record.count) : std::string()) + '\t' +
           Field(record.file) + '\n';
}

bool AppendCallLog(const std::string& programFolder, const CallRecord& record) {
    return platform::AppendRecord(programFolder + kCallLogFileName, kCallLogHeader,
                                  CallLogLine(record));
}
