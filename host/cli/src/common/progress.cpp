// progress.cpp - a rate-limited progress line.
#include "common/progress.h"

#include <algorithm>
#include <cmath>

namespace secli {

bool RedrawLimiter::due(double now, double share)
{
    if (m_drawn && share < 1.0 && now - m_last < m_interval)
        return false;
    m_drawn = true;
    m_last = now;
    return true;
}

std::string clock_text(double seconds)
{
    long s = std::lround(std::max(0.0, seconds));
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

std::string progress_line(double share, double elapsed)
{
    share = std::clamp(share, 0.0, 1.0);
    const int width = 30;
    int filled = static_cast<int>(share * width + 0.5);
    // An estimate from the first hundredth of the run or later; before that
    // the pace is mostly start-up.
    std::string left = share >= 0.01 ? clock_text(elapsed * (1.0 - share) / share) : "--:--";
    char text[128];
    std::snprintf(text, sizeof text, "[%s%s] %3d%%  %s elapsed, %s left",
                  std::string(filled, '#').c_str(), std::string(width - filled, ' ').c_str(),
                  static_cast<int>(share * 100 + 0.5), clock_text(elapsed).c_str(), left.c_str());
    return text;
}

ProgressBar::ProgressBar(bool enabled, std::FILE *out)
    : m_enabled(enabled), m_out(out), m_start(std::chrono::steady_clock::now())
{}

ProgressBar::~ProgressBar()
{
    if (m_width > 0) {
        std::fprintf(m_out, "\r%*s\r", static_cast<int>(m_width), "");
        std::fflush(m_out);
    }
}

std::function<void(double)> ProgressBar::callback()
{
    if (!m_enabled)
        return {};
    return [this](double share) { update(share); };
}

void ProgressBar::update(double share)
{
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    if (!m_enabled || !m_limiter.due(elapsed, share))
        return;
    std::string line = progress_line(share, elapsed);
    // Pad over a longer line drawn before.
    std::fprintf(m_out, "\r%s%*s", line.c_str(),
                 static_cast<int>(m_width > line.size() ? m_width - line.size() : 0), "");
    std::fflush(m_out);
    m_width = std::max(m_width, line.size());
}

} // namespace secli
