// progress_test.cpp - the progress bar: at most about ten redraws a second
// whatever the number of reports, elapsed time and an estimate of what is
// left, and nothing at all when standard error is no terminal.
#include <cstdio>

#include "cli_support.h"
#include "common/progress.h"

namespace {

using namespace se_cli;

TEST(SehostProgress, RedrawsAtMostTenTimesASecond)
{
    struct Case {
        double seconds, report_every; // simulated run and time between reports
        int most, least;              // redraws
    };
    const Case cases[] = {
        {600, 0.001, 6002, 5900}, // a long render reporting every block
        {600, 0.5, 1202, 1200},   // slow reports are all drawn
        {0.5, 0.0001, 7, 5},
    };
    for (const Case &c : cases) {
        secli::RedrawLimiter limiter(0.1);
        int drawn = 0;
        long reports = std::lround(c.seconds / c.report_every);
        for (long i = 0; i <= reports; ++i)
            drawn += limiter.due(i * c.report_every, static_cast<double>(i) / reports);
        EXPECT_LE(drawn, c.most) << c.seconds << " s every " << c.report_every;
        EXPECT_GE(drawn, c.least) << c.seconds << " s every " << c.report_every;
    }
    // A burst at one instant draws once; its end is always drawn.
    secli::RedrawLimiter burst(0.1);
    int drawn = 0;
    for (int i = 0; i < 1000; ++i)
        drawn += burst.due(1.0, 0.5);
    EXPECT_EQ(drawn, 1);
    EXPECT_TRUE(burst.due(1.0, 1.0));
}

TEST(SehostProgress, LineShowsElapsedAndEstimateLeft)
{
    const std::pair<std::pair<double, double>, const char *> cases[] = {
        {{0.0, 0.0}, "  0%  0:00 elapsed, --:-- left"},
        {{0.005, 2.0}, "  1%  0:02 elapsed, --:-- left"},
        {{0.5, 10.0}, " 50%  0:10 elapsed, 0:10 left"},
        {{0.25, 3600.0}, " 25%  1:00:00 elapsed, 3:00:00 left"},
        {{1.0, 75.4}, "100%  1:15 elapsed, 0:00 left"},
    };
    for (const auto &[at, tail] : cases) {
        std::string line = secli::progress_line(at.first, at.second);
        EXPECT_NE(line.find(tail), std::string::npos) << line;
        EXPECT_EQ(std::count(line.begin(), line.end(), '#'), std::lround(at.first * 30)) << line;
    }
}

TEST(SehostProgress, DrawsOnlyWhenEnabledAndClearsItsLine)
{
    for (bool enabled : {false, true}) {
        std::FILE *f = std::tmpfile();
        ASSERT_NE(f, nullptr);
        {
            secli::ProgressBar bar(enabled, f);
            EXPECT_EQ(static_cast<bool>(bar.callback()), enabled);
            for (int i = 0; i <= 10000; ++i)
                bar.update(i / 10000.0);
        }
        std::rewind(f);
        std::string text;
        for (int ch; (ch = std::fgetc(f)) != EOF;)
            text += static_cast<char>(ch);
        std::fclose(f);
        if (!enabled) {
            EXPECT_EQ(text, "");
            continue;
        }
        // First report, last report, the clearing; a slow machine may add one.
        long redraws = std::count(text.begin(), text.end(), '\r');
        EXPECT_GE(redraws, 4);
        EXPECT_LE(redraws, 6) << text;
        EXPECT_NE(text.find("100%"), std::string::npos);
        EXPECT_EQ(text.back(), '\r');
    }
}

TEST(SehostProgress, SilentWhenStandardErrorIsNoTerminal)
{
    Result r = sehost({"render", "pitch_adjust", "-d", "25s", "-o", fresh_dir("progress")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
}

} // namespace
