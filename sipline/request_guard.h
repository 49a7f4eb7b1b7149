#pragma once
// What each source address may cost the SIP agent: a request rate, a bounded table of sources,
// and refusals logged once a minute per source. Plain C++, the clock passed in.

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

struct RequestLimits {
    double burst = 20;     // requests a quiet source may send at once
    double perSecond = 5;  // and then, sustained
    // A source past its rate gets one refusal this often; its other requests get no answer, so
    // that a forged source address cannot turn the bridge into a reflector.
    uint64_t answerIntervalMs = 1000;
    size_t maxSources = 1024;
    uint64_t reportIntervalMs = 60000;
};

class RequestGuard {
public:
    enum class Admission { Take, Refuse, Drop };
    struct Report {
        uint32_t source;
        uint64_t refused;
    };

    explicit RequestGuard(RequestLimits limits = {}) : m_limits(limits) {}

    // One request from `source` (an IPv4 address) at `nowMs`: Take while the source keeps to its
    // rate; past it, Refuse at most once an answer interval and Drop the rest.
    Admission admit(uint32_t source, uint64_t nowMs);
    // One refusal of a request from `source`: true when it is the first of the source's report
    // interval and is to be logged now; the others are counted for the report.
    bool refused(uint32_t source, uint64_t nowMs);
    // The counts of the intervals that are over; a source stays reported while it keeps being
    // refused.
    std::vector<Report> dueReports(uint64_t nowMs);
    bool reportsPending() const { return m_openReports > 0; }
    size_t sources() const { return m_sources.size(); }

private:
    struct Source {
        double tokens = 0;
        uint64_t refilledMs = 0;
        uint64_t answeredMs = 0;
        bool answered = false;
        bool reporting = false;
        uint64_t reportStartMs = 0;
        uint64_t unreported = 0;
    };

    Source& find(uint32_t source, uint64_t nowMs);
    void evictOne();

    RequestLimits m_limits;
    std::unordered_map<uint32_t, Source> m_sources;
    size_t m_openReports = 0;
};
