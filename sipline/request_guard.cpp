#include "sipline/request_guard.h"

#include <algorithm>

RequestGuard::Source& RequestGuard::find(uint32_t source, uint64_t nowMs) {
    auto it = m_sources.find(source);
    if (it == m_sources.end()) {
        if (m_sources.size() >= m_limits.maxSources) evictOne();
        Source fresh;
        fresh.tokens = m_limits.burst;
        fresh.refilledMs = nowMs;
        return m_sources.emplace(source, fresh).first->second;
    }
    Source& s = it->second;
    if (nowMs > s.refilledMs) {
        const double earned = double(nowMs - s.refilledMs) * m_limits.perSecond / 1000;
        s.tokens = std::min(m_limits.burst, s.tokens + earned);
        s.refilledMs = nowMs;
    }
    return s;
}

// The source heard from longest ago goes, one that is not being reported on first: forged
// addresses by the thousand must not grow the table.
void RequestGuard::evictOne() {
    auto victim = m_sources.end();
    for (auto it = m_sources.begin(); it != m_sources.end(); ++it) {
        if (victim == m_sources.end()) {
            victim = it;
            continue;
        }
        const bool quieter = !it->second.reporting && victim->second.reporting;
        const bool sameKind = it->second.reporting == victim->second.reporting;
        if (quieter || (sameKind && it->second.refilledMs < victim->second.refilledMs)) victim = it;
    }
    if (victim == m_sources.end()) return;
    if (victim->second.reporting) --m_openReports;
    m_sources.erase(victim);
}

RequestGuard::Admission RequestGuard::admit(uint32_t source, uint64_t nowMs) {
    Source& s = find(source, nowMs);
    if (s.tokens >= 1) {
        s.tokens -= 1;
        return Admission::Take;
    }
    if (s.answered && nowMs - s.answeredMs < m_limits.answerIntervalMs) return Admission::Drop;
    s.answered = true;
    s.answeredMs = nowMs;
    return Admission::Refuse;
}

bool RequestGuard::refused(uint32_t source, uint64_t nowMs) {
    Source& s = find(source, nowMs);
    if (s.reporting) {
        ++s.unreported;
        return false;
    }
    s.reporting = true;
    s.reportStartMs = nowMs;
    s.unreported = 0;
    ++m_openReports;
    return true;
}

std::vector<RequestGuard::Report> RequestGuard::dueReports(uint64_t nowMs) {
    std::vector<Report> due;
    for (auto& [address, s] : m_sources) {
        if (!s.reporting || nowMs - s.reportStartMs < m_limits.reportIntervalMs) continue;
        if (s.unreported == 0) {
            s.reporting = false;
            --m_openReports;
            continue;
        }
        due.push_back({address, s.unreported});
        s.unreported = 0;
        s.reportStartMs = nowMs;
    }
    return due;
}
