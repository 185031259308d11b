// The coordinator's pure decisions. See Supervision.h.
#include "download/Supervision.h"

#include <algorithm>

#include "common/ErrorCode.h"

namespace kavri {

namespace {

const uint32_t kLimitedDelayMs = 1000;
const uint32_t kMaxLimitedDelayMs = 8000;

}  // namespace

EndVerdict JudgeWorkerEnd(const WorkerOutcome& o) {
    if (o.result == kOk) return {EndAction::kDone, kOk};
    if (o.result == kErrWriteFile || o.result == kErrTooLarge || o.result == kErrProxyAuth || o.result == kCancelled)
        return {EndAction::kEndRun, o.result};
    if (o.changed) return {EndAction::kStartOver, o.result};
    if (o.downloaded > 0 && !o.limited) return {EndAction::kRestartNow, o.result};
    return {EndAction::kPark, o.result};
}

StallVerdict JudgeStall(const std::vector<WorkerOutcome>& parked, int streak, int maxRetries, uint32_t delayFactor) {
    if (parked.empty()) return {true, kErrNoConnection, 0};
    bool allConnection = true, anyLimited = false;
    uint32_t asked = 0;
    for (const WorkerOutcome& o : parked) {
        allConnection = allConnection && IsNoConnection(o.result);
        anyLimited = anyLimited || o.limited;
        if (o.limited) asked = std::max(asked, o.retryAfterMs);
    }
    if (allConnection && !anyLimited) return {true, parked.front().result, 0};
    if (streak > maxRetries + 1) return {true, kErrNoConnection, 0};
    uint32_t delay = 0;
    if (anyLimited) {
        delay = std::min<uint32_t>(kMaxLimitedDelayMs, kLimitedDelayMs << std::min(std::max(streak, 1) - 1, 4));
        delay = std::max(asked, static_cast<uint32_t>(static_cast<uint64_t>(delay) * delayFactor / 1000));
    }
    return {false, kOk, delay};
}

FirstMeaning JudgeFirstAnswer(const FirstAnswer& a, bool resuming, int64_t size, const std::wstring& validator) {
    const bool same = a.ranged && a.total == size && a.validator == validator;
    if (resuming && !same && a.ranged) return FirstMeaning::kAskAgain;
    if (a.ranged && a.total > 0) return FirstMeaning::kPlan;
    return a.ranged ? FirstMeaning::kNoTotal : FirstMeaning::kWholeBody;
}

bool SameFileElsewhere(const FirstAnswer& a, int64_t size, const std::wstring& validator) {
    return a.ranged && a.total == size && size > 0 && (a.validator.empty() || validator.empty() || a.validator == validator);
}

bool IsSourceFailure(int code) { return IsConnectionError(code) && code != kErrProxyAuth; }

uint32_t ConnectionRamp::Start(uint32_t allowed, uint64_t nowMs) {
    *this = ConnectionRamp();
    m_allowed = allowed;
    m_active = std::min(allowed, kFirst);
    m_stepMs = nowMs;
    m_done = m_active >= allowed;
    return m_active;
}

uint32_t ConnectionRamp::Next(uint64_t nowMs, uint64_t bytes, bool refused, bool answered) {
    if (m_done || refused) {
        m_done = true;
        return m_active;
    }
    if (!m_marked) {
        if (answered && nowMs >= m_stepMs + kSettleMs) m_marked = true, m_markMs = nowMs, m_markBytes = bytes;
        return m_active;
    }
    if (nowMs < m_markMs + kMeasureMs) return m_active;
    const double rate = static_cast<double>(bytes - std::min(bytes, m_markBytes)) * 1000.0 / (nowMs - m_markMs);
    const double added = m_before ? static_cast<double>(m_active - m_before) / m_before : 0;
    if (m_rate >= 0 && rate < m_rate * (1 + kMargin * added)) {
        m_done = true;  // the last step did not pay: no more
        return m_active;
    }
    m_rate = rate;
    m_before = m_active;
    m_active = std::min(m_allowed, m_active * 2);
    m_done = m_active >= m_allowed;
    m_stepMs = nowMs;
    m_marked = false;
    return m_active;
}

bool EnoughSpace(uint64_t available, int64_t size) {
    if (size <= 0) return true;  // an unknown size cannot be checked
    const uint64_t bytes = static_cast<uint64_t>(size);
    return bytes <= UINT64_MAX / 3 && available >= 3 * bytes;
}

}  // namespace kavri
