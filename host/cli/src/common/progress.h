// progress.h - the progress bar of long runs on standard error: the share
// done, time elapsed and an estimate of the time left, redrawn at most ten
// times a second however often the runner reports.
#ifndef SEHOST_CLI_PROGRESS_H
#define SEHOST_CLI_PROGRESS_H

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

namespace secli {

// Decides when a report is worth a redraw: the first, then one per
// `interval` seconds, and the last (share 1) always.
class RedrawLimiter
{
public:
    explicit RedrawLimiter(double interval) : m_interval(interval) {}
    bool due(double now, double share);

private:
    double m_interval;
    double m_last = 0;
    bool m_drawn = false;
};

// "[#########           ]  45%  0:27 elapsed, 0:33 left"; the estimate
// assumes the rest runs at the pace so far ("--:--" before there is one).
std::string progress_line(double share, double elapsed);

// "0:07", "12:30", "1:02:03".
std::string clock_text(double seconds);

// The bar itself; draws nothing when disabled (standard error is no
// terminal, or --no-progress), and clears its line when destroyed.
class ProgressBar
{
public:
    explicit ProgressBar(bool enabled, std::FILE *out = stderr);
    ~ProgressBar();
    ProgressBar(const ProgressBar &) = delete;
    ProgressBar &operator=(const ProgressBar &) = delete;

    // For Runner::run: empty when disabled, so the runner skips reporting.
    std::function<void(double)> callback();
    void update(double share);

private:
    bool m_enabled;
    std::FILE *m_out;
    std::chrono::steady_clock::time_point m_start;
    RedrawLimiter m_limiter{0.1};
    size_t m_width = 0; // of the last line drawn
};

} // namespace secli

#endif
