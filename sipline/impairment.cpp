#include "sipline/impairment.h"

#include <cstdlib>
#include <sstream>

namespace {

constexpr int kMaxJitterMs = 1000;

bool number(const std::string& text, double max, double& value) {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && value >= 0 && value <= max;
}

}  // namespace

bool ParseImpair(const std::string& text, ImpairOptions& options) {
    std::istringstream in(text);
    for (std::string item; std::getline(in, item, ',');) {
        const size_t eq = item.find('=');
        if (eq == std::string::npos) return false;
        const std::string key = item.substr(0, eq);
        double value = 0;
        if (key == "jitter" && number(item.substr(eq + 1), kMaxJitterMs, value))
            options.jitterMs = int(value);
        else if (key == "loss" && number(item.substr(eq + 1), 100, value))
            options.lossPercent = value;
        else if (key == "seed" && number(item.substr(eq + 1), UINT32_MAX, value))
            options.seed = uint32_t(value);
        else
            return false;
    }
    return true;
}

Impairment::Impairment(const ImpairOptions& options) : m_options(options), m_random(options.seed) {}

std::optional<int64_t> Impairment::delayNs() {
    std::uniform_real_distribution<double> percent(0.0, 100.0);
    if (m_options.lossPercent > 0 && percent(m_random) < m_options.lossPercent) return std::nullopt;
    if (m_options.jitterMs <= 0) return 0;
    std::uniform_int_distribution<int64_t> delay(0, int64_t(m_options.jitterMs) * 1'000'000);
    return delay(m_random);
}
