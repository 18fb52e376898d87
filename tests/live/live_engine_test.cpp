// The live engine without a server: driven period by period as the
// server's callback drives it, it must give what the offline runner gives,
// and never allocate.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <chrono>
#include <ctime>
#include <thread>

#include "alloc_probe.h"
#include "common/errors.h"
#include "common/safe_names.h"
#include "live/live_engine.h"
#include "live/live_record.h"
#include "live/live_ring.h"
#include "live_support.h"
#include "sehost/sehost.h"
#include "smf_read.h"
#include "wav_check.h"

using namespace livetest;
using secli::LiveEngine;
using secli::LiveMidiList;

namespace {

namespace probe = sevalidate::alloc_probe;

struct Drive {
    Recorded out;
    uint64_t allocations = 0;
};

// Runs `periods` periods with the tape on every audio input and the MIDI
// tape on every MIDI input, the last one `last` frames long (a run that
// ends inside a period); the allocation counter is armed around each
// process call only.
Drive drive(LiveEngine &e, uint64_t periods, bool keep, secli::LiveRecorder *recorder = nullptr,
            bool midi_ports = true, uint32_t last = kPeriod)
{
    const uint64_t length = periods * kPeriod;
    std::vector<float> tape = input_tape(length);
    auto notes = midi_tape(length);
    std::vector<std::vector<float>> outs(e.audio_outputs().size(), std::vector<float>(kPeriod));
    std::vector<float *> out_ptrs;
    for (auto &o : outs)
        out_ptrs.push_back(o.data());
    std::vector<const float *> in_ptrs(e.audio_inputs().size());
    std::vector<LiveMidiList> midi_in(e.midi_inputs().size()), midi_out(e.midi_outputs().size());
    for (auto *lists : {&midi_in, &midi_out})
        for (LiveMidiList &l : *lists)
            l.items.resize(LiveEngine::kMidiPerPeriod);
    Drive d;
    for (const std::string &n : e.midi_outputs())
        d.out.midi[n];
    size_t next_note = 0;
    e.open();
    probe::reset();
    for (uint64_t k = 0; k < periods; ++k) {
        const uint64_t start = k * kPeriod;
        const uint32_t frames = k + 1 < periods ? kPeriod : last;
        std::fill(in_ptrs.begin(), in_ptrs.end(), tape.data() + start);
        for (LiveMidiList &l : midi_in)
            l.clear();
        for (; midi_ports && next_note < notes.size() && notes[next_note].first < start + frames;
             ++next_note)
            for (LiveMidiList &l : midi_in)
                l.add(static_cast<uint32_t>(notes[next_note].first - start),
                      notes[next_note].second);
        probe::arm();
        e.process(frames, in_ptrs.data(), midi_in.data(), out_ptrs.data(), midi_out.data());
        if (recorder)
            recorder->period(frames, in_ptrs.data(), midi_in.data(), out_ptrs.data());
        probe::disarm();
        if (!keep)
            continue;
        for (size_t o = 0; o < outs.size(); ++o) {
            auto &v = d.out.audio[e.audio_outputs()[o]];
            v.insert(v.end(), outs[o].begin(), outs[o].begin() + frames);
        }
        for (size_t o = 0; o < midi_out.size(); ++o)
            for (size_t i = 0; i < midi_out[o].count; ++i)
                d.out.midi[e.midi_outputs()[o]].emplace_back(start + midi_out[o].items[i].frame,
                                                             midi_out[o].items[i].message);
    }
    d.allocations = probe::state().news + probe::state().mallocs;
    e.close();
    EXPECT_FALSE(e.faulted()) << e.fault();
    return d;
}

TEST(LiveEngine, EqualsTheOfflineRunOfTheSamePatchAndInputs)
{
    const uint64_t periods = 750, length = periods * kPeriod; // 4 s
    std::string wav = write_wav(input_tape(length));
    Recorded off = offline(wav, length);
    unlink(wav.c_str());
    LiveEngine e(test_patch("jack:in", length), kRate, kPeriod);
    ASSERT_EQ(e.audio_inputs(), std::vector<std::string>{"in"});
    ASSERT_EQ(e.midi_inputs(), std::vector<std::string>{"router.Midi In"});
    Drive d = drive(e, periods, true);
    EXPECT_EQ(difference(d.out, off), "");
    // The comparison has something to compare: pulses and routed notes.
    const auto &pulses = off.audio.at("edge.Pulse Out");
    EXPECT_NE(std::count(pulses.begin(), pulses.end(), 0.0f), static_cast<long>(pulses.size()));
    size_t routed = 0;
    for (const auto &[name, list] : off.midi)
        routed += list.size();
    EXPECT_GT(routed, 10u);
}

// The patch's own timed inputs play at their times: MIDI, settings of DSP
// pins and patch changes give what the offline run gives.
TEST(LiveEngine, PlaysThePatchsTimedInputsAtTheirTimes)
{
    const uint64_t periods = 500, length = periods * kPeriod; // 2.7 s
    auto at = [](double seconds, const char *pin, const char *value) {
        return secli::TimedSetting{secli::TimeSpec{seconds, false, 0}, pin, value, pin};
    };
    auto with_timed_inputs = [&](const std::string &source) {
        secli::Patch p = test_patch(source, length);
        add_midi_tape(p, length);
        p.modules[1].at = {at(0.0, "End", "2"), at(0.8, "End", "5"), at(1.6, "Mode", "Forward"),
                           at(2.0, "Active", "OFF")};
        secli::ModuleSpec pulse;
        pulse.name = pulse.where = "pulse";
        pulse.plugin = se_test::plugin_path("patch_pulse");
        pulse.patch_changes = {{secli::TimeSpec{0.5, false, 0}, "pc"},
                               {secli::TimeSpec{0, true, 70001}, "pc"}};
        p.modules.push_back(pulse);
        return p;
    };
    std::string wav = write_wav(input_tape(length));
    Recorded off = run_offline(with_timed_inputs(wav));
    unlink(wav.c_str());
    LiveEngine e(with_timed_inputs("jack:in"), kRate, kPeriod);
    Drive d = drive(e, periods, true, nullptr, false);
    EXPECT_EQ(d.allocations, 0u);
    EXPECT_EQ(difference(d.out, off), "");
    // The pulses of both patch changes (and of the opening) are there.
    const auto &pulse = off.audio.at("pulse.Pulse");
    for (uint64_t clock : {uint64_t{0}, uint64_t{24000}, uint64_t{70001}})
        EXPECT_EQ(pulse[clock], 1.0f) << clock;
}

TEST(LiveEngine, NoAllocationInTheCallbackOverAMinuteOfTheDemoPatch)
{
    ASSERT_TRUE(probe::state().new_hooked) << "the counting allocator is not linked in";
    LiveEngine e(secli::demo_patch(), kRate, kPeriod);
    Drive d = drive(e, 60 * static_cast<uint64_t>(kRate) / kPeriod, false);
    EXPECT_EQ(d.allocations, 0u);
    EXPECT_EQ(e.clock(), 60 * static_cast<uint64_t>(kRate));
}

double thread_seconds()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// patch_pulse's GUI side holds its thread for a long busy loop on every
// firing and writes "Bool pulse" 1 before it and 0 after; a GUI connection
// takes that to bool_volts, whose DSP side shows it as 1.0 on "Volts".
// Played in real time with a patch change from another thread, the callback
// never spends a period's time (of its own thread's CPU, so the figure does
// not depend on what else the machine runs), and the GUI write reaches the
// DSP side and is undone after the loop.
TEST(LiveEngine, AGuiSideThatWorksLongNeverHoldsUpTheCallback)
{
    secli::Patch p = test_patch("sine:5:1", kPeriod);
    p.sources.clear();
    auto module = [](const char *name, const char *plugin) {
        secli::ModuleSpec m;
        m.name = name;
        m.plugin = se_test::plugin_path(plugin);
        m.where = name;
        return m;
    };
    p.modules = {module("pulse", "patch_pulse"), module("toggle", "bool_volts")};
    p.wires = {{"pulse.Bool pulse", "toggle.Bool (PatchMem)", "w0"}};
    LiveEngine e(p, kRate, kPeriod);
    const auto outs = e.audio_outputs();
    const size_t volts =
        static_cast<size_t>(std::find(outs.begin(), outs.end(), "toggle.Volts") - outs.begin());
    ASSERT_LT(volts, outs.size());

    std::vector<std::vector<float>> buffers(outs.size(), std::vector<float>(kPeriod));
    std::vector<float *> out_ptrs;
    for (auto &b : buffers)
        out_ptrs.push_back(b.data());
    std::vector<LiveMidiList> midi_out(e.midi_outputs().size());
    for (LiveMidiList &l : midi_out)
        l.items.resize(LiveEngine::kMidiPerPeriod);

    // Recorded too: the GUI side's writes are replayed at the clocks they
    // reached the DSP side, so the recording holds what was played.
    const std::string dir =
        std::filesystem::temp_directory_path() / ("se_live_gui_record_" + std::to_string(getpid()));
    secli::SessionOptions options;
    options.out = dir;
    options.progress = false;
    secli::LiveRecorder recorder(p, e, kRate, kPeriod, options);
    e.open(); // the firing at the opening is delivered here, before the thread
    const uint64_t delivered_at_open = e.gui_messages();
    const auto period = std::chrono::nanoseconds(static_cast<int64_t>(1e9 * kPeriod / kRate));
    const uint64_t periods = 400; // 2.1 s, paced as a server would
    std::vector<float> level(periods);
    double longest = 0.0;
    auto due = std::chrono::steady_clock::now();
    for (uint64_t k = 0; k < periods; ++k) {
        if (k == 20)
            e.patch_change();
        const double t0 = thread_seconds();
        e.process(kPeriod, nullptr, nullptr, out_ptrs.data(), midi_out.data());
        longest = std::max(longest, thread_seconds() - t0);
        recorder.period(kPeriod, nullptr, nullptr, out_ptrs.data());
        level[k] = buffers[volts][kPeriod - 1];
        std::this_thread::sleep_until(due += period);
    }
    e.close();
    ASSERT_FALSE(e.faulted()) << e.fault();
    EXPECT_EQ(e.gui_messages() - delivered_at_open, 1u)
        << "the patch change's firing reached the GUI thread";
    EXPECT_EQ(e.gui_messages_dropped(), 0u);
    EXPECT_LT(longest, 1e-9 * static_cast<double>(period.count()))
        << "the busy loop ran in the callback";
    const auto rise = std::find(level.begin() + 20, level.end(), 1.0f);
    ASSERT_NE(rise, level.end()) << "the GUI write never reached the DSP side";
    EXPECT_EQ(level.back(), 0.0f) << "the write after the busy loop never arrived";
    EXPECT_TRUE(std::all_of(level.begin(), level.begin() + 20, [](float v) { return v == 0.0f; }));
    std::ostringstream log;
    recorder.finish(log);
    EXPECT_NE(log.str().find("the recorded audio equals what was played"), std::string::npos)
        << log.str();
    std::filesystem::remove_all(dir);
}

// The host's own path: a Module that keeps messages for its GUI side until
// deliver_gui_messages() must not allocate for the first message after a
// delivery (its lists keep their room).
TEST(LiveEngine, AModuleQueuesGuiMessagesWithoutAllocating)
{
    ASSERT_TRUE(probe::state().new_hooked) << "the counting allocator is not linked in";
    sehost::HostConfig cfg;
    cfg.block_size = static_cast<int32_t>(kPeriod);
    sehost::Module m(sehost::Library::load(se_test::plugin_path("patch_pulse")), cfg);
    m.reserve(LiveEngine::kEventRoom);
    m.open();
    probe::reset();
    for (int round = 0; round < 2; ++round) {
        m.dsp().queue_patch_change(m.dsp().clock());
        probe::arm();
        m.dsp().run(kPeriod); // fires: HOST_SEND_TO_GUI
        probe::disarm();
        m.deliver_gui_messages();
    }
    EXPECT_EQ(probe::state().news + probe::state().mallocs, 0u);
    EXPECT_EQ(m.gui()->int_value(m.gui()->pin_number("Bool pulse")), 0);
}

// A GUI side makes host requests (its writes among them) on every change;
// live, nobody reads them, so the GUI thread lets go of them once handled:
// however long the run, the sides hold only a handful.
TEST(LiveEngine, GuiSidesHoldNoGrowingRecordOverALongRun)
{
    struct Row {
        uint64_t periods;
    };
    for (const Row &row : {Row{200}, Row{800}}) {
        SCOPED_TRACE(row.periods);
        secli::Patch p = test_patch("sine:5:1", kPeriod);
        p.sources.clear();
        p.wires.clear();
        secli::ModuleSpec tabs;
        tabs.name = tabs.where = "tabs";
        tabs.plugin = se_test::plugin_path("panel_switch4");
        // Ways 1 and 2 turned on in turn, every other period: each turn
        // writes the switch and show signals of both ways.
        const uint64_t settings = row.periods / 2;
        for (uint64_t k = 0; k < settings; ++k)
            tabs.at.push_back(secli::TimedSetting{
                secli::TimeSpec{0, true, 2 * k * kPeriod},
                k % 2 ? "2 Switch (Animation)" : "1 Switch (Animation)", "1", "test"});
        p.modules = {tabs};
        LiveEngine e(p, kRate, kPeriod);
        std::vector<std::vector<float>> buffers(e.audio_outputs().size(),
                                                std::vector<float>(kPeriod));
        std::vector<float *> out_ptrs;
        for (auto &b : buffers)
            out_ptrs.push_back(b.data());
        std::vector<LiveMidiList> midi_out(e.midi_outputs().size());
        e.open();
        for (uint64_t k = 0; k < row.periods; ++k) {
            e.process(kPeriod, nullptr, nullptr, out_ptrs.data(), midi_out.data());
            // Gives the GUI thread (it polls every 2 ms) time to keep up.
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
        // On a loaded machine the GUI thread may lag the loop above by far:
        // it is given up to 10 s to catch up before the record is judged.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (e.gui_requests_forgotten() < 4 * settings &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        e.close();
        ASSERT_FALSE(e.faulted()) << e.fault();
        EXPECT_GE(e.gui_requests_forgotten(), 4 * settings) << "the GUI side did not work";
        EXPECT_LE(e.gui_requests_held(), 8u);
    }
}

// The set a recording leaves, read back as a Recorded; names as the ports.
Recorded read_set(const std::string &dir, const LiveEngine &e)
{
    Recorded r;
    std::vector<std::string> wavs;
    for (const std::string &port : e.audio_outputs()) {
        size_t dot = port.find('.');
        std::string path =
            dir + "/" + secli::file_stem(port.substr(0, dot), port.substr(dot + 1)) + ".wav";
        wavs.push_back(path);
        SF_INFO info{};
        SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
        if (!f) {
            ADD_FAILURE() << path << ": not written";
            continue;
        }
        std::vector<float> &v = r.audio[port];
        v.resize(static_cast<size_t>(info.frames));
        sf_read_float(f, v.data(), info.frames);
        sf_close(f);
    }
    se_test::check_wav_files(wavs, static_cast<uint32_t>(kRate)); // read again by sox
    for (const std::string &port : e.midi_outputs()) {
        size_t dot = port.find('.');
        std::string path =
            dir + "/" + secli::file_stem(port.substr(0, dot), port.substr(dot + 1)) + ".mid";
        auto &list = r.midi[port];
        for (const se_cli::SmfEvent &ev : se_cli::read_smf(path)) // one tick per sample at 48000 Hz
            if (!ev.bytes.empty() && ev.bytes[0] >= 0x80 && ev.bytes[0] < 0xF0)
                list.emplace_back(ev.tick, ev.bytes[0] |
                                               (ev.bytes.size() > 1 ? ev.bytes[1] << 8 : 0) |
                                               (ev.bytes.size() > 2 ? ev.bytes[2] << 16 : 0));
    }
    return r;
}

std::string text_of(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> files_in(const std::string &dir)
{
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A recorded live run leaves the set an offline run of the same patch on
// the same inputs gives, sample for sample and message for message, and
// nothing else; a recording that is not finished leaves nothing.
TEST(LiveRecord, TheSetEqualsTheOfflineRunOrIsNotThereAtAll)
{
    // The run ends inside its last period; one more instance sends MIDI
    // while it opens (out in the first period, at its first frame).
    const uint64_t periods = 500;
    const uint32_t last = 100;
    const uint64_t length = (periods - 1) * kPeriod + last;
    auto add_opening_sender = [](secli::Patch &p) {
        secli::ModuleSpec m;
        m.name = m.where = "sender";
        m.plugin = se_test::plugin_path("sevalidate_selftest_hang_process");
        p.modules.push_back(m);
    };
    // A setting within the run, and one and a patch change after its end
    // (left out of the recorded run, which would refuse them).
    auto setting = [](double seconds, const char *value) {
        return secli::TimedSetting{secli::TimeSpec{seconds, false, 0}, "End", value, "End"};
    };
    std::string wav = write_wav(input_tape(length));
    secli::Patch offline_patch = test_patch(wav, length);
    add_midi_tape(offline_patch, length);
    add_opening_sender(offline_patch);
    offline_patch.modules[1].at = {setting(0.8, "5")};
    Recorded off = run_offline(offline_patch);
    unlink(wav.c_str());
    ASSERT_FALSE(off.midi["sender.Midi Out"].empty()) << "nothing sent while opening";
    const std::string root =
        std::filesystem::temp_directory_path() / ("se_live_record_" + std::to_string(getpid()));
    struct Case {
        const char *what;
        bool finish;
    } cases[] = {{"finished", true}, {"dropped before finish", false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string dir = root + "/" + (c.finish ? "done" : "dropped");
        secli::Patch patch = test_patch("jack:in", length);
        patch.modules[1].at = {setting(0.8, "5"), setting(100.0, "2")};
        patch.modules[1].patch_changes = {{secli::TimeSpec{100.0, false, 0}, "pc"}};
        add_opening_sender(patch);
        LiveEngine e(patch, kRate, kPeriod);
        secli::SessionOptions options;
        options.out = dir;
        options.progress = false;
        {
            secli::LiveRecorder recorder(patch, e, kRate, kPeriod, options);
            Drive d = drive(e, periods, true, &recorder, true, last);
            EXPECT_EQ(d.allocations, 0u) << "the recorder allocated in the callback";
            EXPECT_EQ(recorder.frames(), length);
            if (c.finish) {
                std::ostringstream log;
                recorder.finish(log);
                EXPECT_NE(log.str().find("the recorded audio equals what was played"),
                          std::string::npos)
                    << log.str();
                EXPECT_EQ(difference(read_set(dir, e), off), "");
                EXPECT_EQ(difference(d.out, off), "") << "the live outputs themselves";
            }
        }
        std::vector<std::string> names = files_in(dir);
        if (!c.finish) {
            EXPECT_EQ(names, std::vector<std::string>{}) << "an unfinished recording left files";
            continue;
        }
        for (const char *want : {"report.html", "events.jsonl", "edge.Pulse_Out.wav"})
            EXPECT_NE(std::find(names.begin(), names.end(), want), names.end()) << want;
        for (const std::string &n : names)
            EXPECT_NE(n[0], '.') << "a temporary file was left: " << n;
        // The set names the live input, never the tape that stood in for it.
        EXPECT_NE(text_of(dir + "/report.html").find("source in (jack:in)"), std::string::npos);
        for (const std::string &n : names)
            EXPECT_EQ(text_of(dir + "/" + n).find(".sehost-"), std::string::npos) << n;
    }
    std::filesystem::remove_all(root);
}

// Ramp sources (one wired, one set on an input) take the engine's span
// from start to end, an hour unless the patch gives one (play gives its
// --duration); the recorded set takes the same span, so it equals what was
// played whether or not the ramp ended within the run.
// A recording's folder is named after the option that gave it.
TEST(LiveRecord, ErrorsNameTheRecordOption)
{
    secli::Patch patch = test_patch("jack:in", kPeriod);
    LiveEngine e(patch, kRate, kPeriod);
    secli::SessionOptions options;
    options.out = "/dev/null/take";
    try {
        secli::LiveRecorder recorder(patch, e, kRate, kPeriod, options);
        ADD_FAILURE() << "a folder inside /dev/null";
    } catch (const secli::InputError &error) {
        EXPECT_EQ(std::string(error.what()).rfind("--record /dev/null/take: cannot create", 0), 0u)
            << error.what();
    }
}

TEST(LiveRecord, RampsTakeTheSameSpanLiveAndInTheRecording)
{
    const uint64_t periods = 200, length = periods * kPeriod;
    struct Case {
        const char *what;
        std::optional<secli::TimeSpec> span;
        bool crosses; // the ramps cross 0 V within the run (the detector's output changes)
    } cases[] = {{"no span: an hour", std::nullopt, false},
                 {"the run's length", secli::TimeSpec{0, true, length}, true},
                 {"in seconds, longer than the run",
                  secli::TimeSpec{1.5 * static_cast<double>(length) / kRate, false, 0}, true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        secli::Patch patch = test_patch("ramp:-5:5", length);
        patch.sources = {{"r", "ramp:-5:5", "r"}};
        patch.source_span = c.span;
        secli::ModuleSpec set = patch.modules[0];
        set.name = set.where = "set";
        set.set.push_back({"Audio In", "ramp:-3:7", "set"});
        patch.modules = {patch.modules[0], set};
        patch.wires = {{"r", "edge.Audio In", "w0"}};
        LiveEngine e(patch, kRate, kPeriod);
        const std::string dir =
            std::filesystem::temp_directory_path() / ("se_live_ramp_" + std::to_string(getpid()));
        secli::SessionOptions options;
        options.out = dir;
        options.progress = false;
        options.force = true;
        secli::LiveRecorder recorder(patch, e, kRate, kPeriod, options);
        Drive d = drive(e, periods, true, &recorder);
        std::ostringstream log;
        recorder.finish(log);
        EXPECT_NE(log.str().find("the recorded audio equals what was played"), std::string::npos)
            << log.str();
        EXPECT_EQ(difference(read_set(dir, e), d.out), "");
        for (const char *port : {"edge.Pulse Out", "set.Pulse Out"}) {
            const std::vector<float> &out = d.out.audio[port];
            ASSERT_EQ(out.size(), length) << port;
            size_t changes = 0;
            for (size_t i = 1; i < out.size(); ++i)
                changes += out[i] != out[i - 1];
            EXPECT_EQ(changes > 0, c.crosses) << port << ": " << changes << " changes";
        }
        std::filesystem::remove_all(dir);
    }
}

// The ring between the callback and the helper threads: a full ring
// refuses (never overwrites), a bulk push is all or nothing, and items
// cross between two threads whole and in order.
TEST(LiveRing, RefusesWhenFullAndKeepsOrderAcrossThreads)
{
    struct Case {
        size_t asked, capacity;
    } cases[] = {{1, 1}, {3, 4}, {4096, 4096}, {5000, 8192}};
    for (const Case &c : cases) {
        secli::SpscRing<uint32_t> ring(c.asked);
        EXPECT_EQ(ring.capacity(), c.capacity) << c.asked;
        for (uint32_t i = 0; i < c.capacity; ++i)
            ASSERT_TRUE(ring.push(i));
        EXPECT_FALSE(ring.push(99)) << "a full ring of " << c.capacity << " took one more";
        uint32_t v = 0;
        ASSERT_TRUE(ring.pop(v));
        EXPECT_EQ(v, 0u);
        const uint32_t two[2] = {7, 8};
        EXPECT_FALSE(ring.push(two, 2)) << "a bulk push into one free slot";
        EXPECT_EQ(ring.size(), c.capacity - 1);
    }

    secli::SpscRing<uint64_t> ring(1000);
    constexpr uint64_t kItems = 2000000;
    std::thread producer([&] {
        uint64_t block[37];
        for (uint64_t next = 0; next < kItems;) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(1 + next % 37, kItems - next));
            for (size_t i = 0; i < n; ++i)
                block[i] = next + i;
            if (ring.push(block, n))
                next += n;
        }
    });
    uint64_t expected = 0, wrong = 0, got[64];
    while (expected < kItems)
        for (size_t i = 0, n = ring.pop(got, 1 + expected % 64); i < n; ++i)
            wrong += got[i] != expected++;
    producer.join();
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(ring.size(), 0u);
}

TEST(LiveEngine, RefusesWhatThePatchCannotUse)
{
    struct Case {
        const char *what;
        double rate;
        uint32_t period;
        const char *source;
        const char *says;
    } cases[] = {
        {"rate too low", 500, 256, "jack:in", "sample rate"},
        {"rate too high", 1e6, 256, "jack:in", "sample rate"},
        {"no period", 48000, 0, "jack:in", "period"},
        {"period too long", 48000, 70000, "jack:in", "period"},
        {"port without name", 48000, 256, "jack:", "must name a port"},
        {"port with a client", 48000, 256, "jack:system:capture_1", "must name a port"},
    };
    for (const Case &c : cases) {
        try {
            LiveEngine e(test_patch(c.source, kPeriod), c.rate, c.period);
            ADD_FAILURE() << c.what << ": accepted";
        } catch (const secli::InputError &err) {
            EXPECT_NE(std::string(err.what()).find(c.says), std::string::npos)
                << c.what << ": " << err.what();
        }
    }
}

} // namespace
