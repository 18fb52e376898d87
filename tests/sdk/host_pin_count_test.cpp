// A host that makes another number of pins than a module declares: fewer
// leaves declared audio pins without a buffer of the host's, more gives
// pins nothing declared. Neither may make the module write through a null
// buffer or reach a pin it never bound; the pins the host did make work as
// ever. (A module that asks for a missing pin by PinAt stops at the SDK's
// contract check instead, as the checks tests show.)
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <regex>
#include <string>

#include "plugin_path.h"
#include "sehost/sehost.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

struct Case {
    const char *name;
    const char *plugin;
    int32_t pin_count;
    // Settings and sources on the pins the host made, before open.
    std::function<void(sehost::DspInstance &)> set_up;
    // What must hold after the run, beyond "no fault".
    std::function<void(sehost::DspInstance &)> check;
};

} // namespace

TEST(SdkHostPinCount, NoMissingOrUndeclaredPinFaults)
{
    const auto nothing = [](sehost::DspInstance &) {};
    const Case cases[] = {
        // No pins: the output variable has no host buffer, the process
        // function writes it every call until it sleeps.
        {"no pins, audio output written", "pitch_adjust", 0, nothing,
         [](sehost::DspInstance &dsp) { EXPECT_FALSE(dsp.sleeps().empty()); }},
        // Two pins more than declared: their statuses at open reach pins the
        // module never bound. Its own output is right all the same.
        {"two undeclared pins", "pitch_adjust", 6,
         [](sehost::DspInstance &dsp) { dsp.set_value("Octave", 1); },
         [](sehost::DspInstance &dsp) { EXPECT_EQ(dsp.output("Pitch_Adj")[0], 0.1f); }},
        {"undeclared pins of a GUI-only module", "panel_switch4", 3, nothing,
         [](sehost::DspInstance &dsp) { EXPECT_FALSE(dsp.sleeps().empty()); }},
        // Built without the checks: audio inputs missing read silence, so
        // the gate stays shut.
        {"no pins, audio inputs read", "cv_to_rpn", 0, nothing,
         [](sehost::DspInstance &dsp) { EXPECT_TRUE(dsp.midi_out().empty()); }},
        // Gate and Value CV made, the MIDI output not: the messages the
        // moving value sends reach no pin of the host's.
        {"MIDI output missing", "cv_to_rpn", 6,
         [](sehost::DspInstance &dsp) {
             dsp.set_source("Gate", [](uint32_t) { return 1.0f; });
             dsp.set_source("Value CV",
                            [](uint32_t t) { return 0.5f + 0.4f * std::sin(0.01f * float(t)); });
         },
         [](sehost::DspInstance &dsp) {
             EXPECT_TRUE(dsp.midi_out().empty());
             EXPECT_GT(dsp.process_calls(), 2u);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto lib = sehost::Library::load(se_test::plugin_path(c.plugin));
        sehost::HostConfig config;
        config.pin_count = c.pin_count;
        config.block_size = 256;
        sehost::DspInstance dsp(lib, config);
        c.set_up(dsp);
        EXPECT_NO_THROW({
            dsp.open();
            dsp.run(4 * 256);
        });
        EXPECT_TRUE(dsp.errors().empty()) << dsp.errors().front();
        c.check(dsp);
    }
}

#if !defined(_WIN32)
namespace {

// Opens the plug-in with `pins` DSP pins and runs it with its defaults in
// a child process: "runs", "stops" (the SDK's check of the pin index, or of
// there being pins at all), or what else ended it.
std::string with_pins(const std::string &plugin, int32_t pins)
{
    char err_path[] = "/tmp/se_fewer_pins_XXXXXX";
    const int err = mkstemp(err_path);
    pid_t child = fork();
    if (child == 0) {
        dup2(err, 2);
        sehost::HostConfig config;
        config.pin_count = pins;
        config.block_size = 256;
        sehost::DspInstance dsp(sehost::Library::load(plugin), config);
        dsp.open();
        dsp.run(4 * 256);
        _exit(dsp.errors().empty() ? 0 : 3);
    }
    int status = 0;
    waitpid(child, &status, 0);
    std::ifstream in(err_path);
    const std::string said((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    close(err);
    unlink(err_path);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return "runs";
    if (said.find("check failed: index >= 0 && index < m_pin_count") != std::string::npos ||
        (pins == 0 && said.find("check failed: m_pins != 0") != std::string::npos))
        return "stops";
    return "ends otherwise: " + said;
}

} // namespace

// The author's guide tells, module by module, at which pin counts below the
// declared one a host (outside the contract) gets the SDK's stop and at
// which the module runs on: each row holds for the build.
TEST(SdkHostPinCount, FewerPinsDoWhatTheGuideSays)
{
    std::ifstream guide(SE_DOCS_DIR "/sdk.md");
    const std::regex row(
        R"(^\| (\w+) \| (\d+) \| (none|(\d+)( to (\d+))?) \| (checks|without checks) \|$)");
    int rows = 0;
    for (std::string line; std::getline(guide, line);) {
        std::smatch m;
        if (!std::regex_match(line, m, row))
            continue;
        ++rows;
        const std::string plugin = se_test::plugin_path(m[1].str().c_str());
        int32_t declared = 0;
        for (const sehost::PinDecl &d : sehost::learn_pins(sehost::Library::load(plugin)))
            declared += d.dsp_index >= 0;
        EXPECT_EQ(declared, std::stoi(m[2])) << line;
        const int first = m[4].matched ? std::stoi(m[4]) : -1;
        const int last = m[6].matched ? std::stoi(m[6]) : first;
        for (int32_t pins = 0; pins < declared; ++pins)
            EXPECT_EQ(with_pins(plugin, pins), pins >= first && pins <= last ? "stops" : "runs")
                << line << ": " << pins << " pins";
    }
    EXPECT_EQ(rows, 9) << "a row for each of the pack's modules";
}
#endif
