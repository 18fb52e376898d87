// sehost play against a running JACK server: a player client of ours feeds
// the patch a WAV tape and a MIDI sequence, a recorder client keeps what it
// gives, and both equal the offline run. Without a server the test is
// skipped, unless SE_LIVE_REQUIRED is set (scripts/test's live step starts
// a dummy server and sets it).
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <jack/midiport.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/errors.h"
#include "live/live_engine.h"
#include "live/live_jack.h"
#include "live_support.h"
#include "plugin_path.h"
#include "smf_read.h"

using namespace livetest;

namespace {

void quiet(const char *) {}

// A client of the running server, or of the server named.
jack_client_t *open_client(const std::string &name, const std::string &server = "")
{
    jack_set_error_function(quiet);
    jack_set_info_function(quiet);
    if (server.empty())
        return jack_client_open(name.c_str(), JackNoStartServer, nullptr);
    return jack_client_open(name.c_str(),
                            static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                            nullptr, server.c_str());
}

bool server_required()
{
    return std::getenv("SE_LIVE_REQUIRED") != nullptr;
}

bool server_up()
{
    jack_client_t *c = open_client("se_check_" + std::to_string(getpid()));
    if (c)
        jack_client_close(c);
    return c != nullptr;
}

// A test needs a running server: without one it is skipped, or fails where
// the run asks for the server (SE_LIVE_REQUIRED).
#define REQUIRE_SERVER(up)                                                                         \
    do {                                                                                           \
        if (!(up)) {                                                                               \
            if (server_required())                                                                 \
                FAIL() << "no JACK server running";                                                \
            GTEST_SKIP() << "no JACK server running";                                              \
        }                                                                                          \
    } while (0)

// One client that plays the tapes on its outputs and records its inputs,
// period by period from the period the patch starts in.
struct Probe {
    jack_client_t *client = nullptr;
    jack_port_t *audio_out = nullptr, *midi_out = nullptr;
    std::vector<jack_port_t *> audio_in, midi_in;
    std::vector<float> tape;
    std::vector<std::pair<uint64_t, int32_t>> notes;
    size_t next_note = 0;
    std::vector<std::vector<float>> audio;                       // per audio input
    std::vector<std::vector<std::pair<uint64_t, int32_t>>> midi; // per MIDI input
    std::atomic<uint64_t> start{UINT64_MAX}, periods{0};
    uint64_t limit = 0;
    uint32_t period = 0;

    static int process(jack_nframes_t n, void *arg) { return static_cast<Probe *>(arg)->run(n); }
    int run(jack_nframes_t n)
    {
        float *out = audio_out ? static_cast<float *>(jack_port_get_buffer(audio_out, n)) : nullptr;
        void *mout = midi_out ? jack_port_get_buffer(midi_out, n) : nullptr;
        if (mout)
            jack_midi_clear_buffer(mout);
        const uint64_t k = periods.load();
        if (jack_last_frame_time(client) < start.load() || k >= limit || n != period) {
            if (out)
                std::fill_n(out, n, 0.0f);
            return 0;
        }
        const uint64_t at = k * n;
        if (out)
            std::copy_n(tape.begin() + static_cast<long>(at), n, out);
        for (; mout && next_note < notes.size() && notes[next_note].first < at + n; ++next_note) {
            int32_t m = notes[next_note].second;
            jack_midi_data_t b[3] = {static_cast<jack_midi_data_t>(m & 0xFF),
                                     static_cast<jack_midi_data_t>((m >> 8) & 0x7F),
                                     static_cast<jack_midi_data_t>((m >> 16) & 0x7F)};
            jack_midi_event_write(mout, static_cast<jack_nframes_t>(notes[next_note].first - at), b,
                                  3);
        }
        for (size_t i = 0; i < audio_in.size(); ++i) {
            auto *in = static_cast<const float *>(jack_port_get_buffer(audio_in[i], n));
            audio[i].insert(audio[i].end(), in, in + n); // reserved: no allocation
        }
        for (size_t i = 0; i < midi_in.size(); ++i) {
            void *buf = jack_port_get_buffer(midi_in[i], n);
            for (jack_nframes_t e = 0, c = jack_midi_get_event_count(buf); e < c; ++e) {
                jack_midi_event_t ev;
                if (jack_midi_event_get(&ev, buf, e) == 0 && ev.size >= 1 &&
                    midi[i].size() < midi[i].capacity()) {
                    int32_t m = ev.buffer[0] | (ev.size > 1 ? ev.buffer[1] << 8 : 0) |
                                (ev.size > 2 ? ev.buffer[2] << 16 : 0);
                    midi[i].emplace_back(at + ev.time, m);
                }
            }
        }
        periods.store(k + 1);
        return 0;
    }
};

TEST(LivePlay, ThroughTheServerEqualsTheOfflineRunWithoutAllocating)
{
    const std::string suffix = std::to_string(getpid());
    jack_client_t *player_client = open_client("se_player_" + suffix);
    REQUIRE_SERVER(player_client);
    jack_client_t *recorder_client = open_client("se_recorder_" + suffix);
    ASSERT_NE(recorder_client, nullptr);
    const uint32_t period = jack_get_buffer_size(player_client);
    ASSERT_EQ(jack_get_sample_rate(player_client), kRate) << "start the server at 48000 Hz";
    ASSERT_EQ(period, kPeriod) << "start the server with a period of 256";

    const uint64_t periods = 1500, length = periods * kPeriod; // 8 s
    secli::PlayOptions options;
    options.client = "sehost_" + suffix;
    options.count_allocations = true;
    secli::LiveClient live(test_patch("jack:in", length), options);
    secli::LiveEngine &e = live.engine();

    Probe player, recorder;
    player.client = player_client;
    recorder.client = recorder_client;
    for (Probe *p : {&player, &recorder}) {
        p->limit = periods;
        p->period = period;
    }
    player.tape = input_tape(length);
    player.notes = midi_tape(length);
    player.audio_out =
        jack_port_register(player_client, "out", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    player.midi_out =
        jack_port_register(player_client, "midi", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    for (const std::string &n : e.audio_outputs()) {
        recorder.audio_in.push_back(jack_port_register(
            recorder_client, n.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0));
        recorder.audio.emplace_back().reserve(length);
    }
    for (const std::string &n : e.midi_outputs()) {
        recorder.midi_in.push_back(jack_port_register(recorder_client, n.c_str(),
                                                      JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0));
        recorder.midi.emplace_back().reserve(100000);
    }
    jack_set_process_callback(player_client, &Probe::process, &player);
    jack_set_process_callback(recorder_client, &Probe::process, &recorder);

    live.start();
    ASSERT_EQ(jack_activate(player_client), 0);
    ASSERT_EQ(jack_activate(recorder_client), 0);
    const std::string player_name = jack_get_client_name(player_client);
    const std::string recorder_name = jack_get_client_name(recorder_client);
    live.connect("in=" + player_name + ":out");
    live.connect("router.Midi In=" + player_name + ":midi");
    for (const std::string &n : e.audio_outputs())
        live.connect(n + "=" + recorder_name + ":" + n);
    for (const std::string &n : e.midi_outputs())
        live.connect(n + "=" + recorder_name + ":" + n);
    // All three begin in the same period, a few periods from now.
    const uint64_t start = live.frame_time() + 16 * period;
    live.start_at(start);
    player.start.store(start);
    recorder.start.store(start);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (recorder.periods.load() < periods && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    secli::PlayStats stats = live.stats();
    live.stop();
    jack_client_close(player_client);
    jack_client_close(recorder_client);
    ASSERT_EQ(recorder.periods.load(), periods) << "the server stopped calling us";

    Recorded got;
    for (size_t i = 0; i < recorder.audio.size(); ++i)
        got.audio[e.audio_outputs()[i]] = recorder.audio[i];
    for (size_t i = 0; i < recorder.midi.size(); ++i)
        got.midi[e.midi_outputs()[i]] = recorder.midi[i];
    std::string wav = write_wav(input_tape(length));
    Recorded off = offline(wav, length);
    unlink(wav.c_str());
    EXPECT_EQ(difference(got, off), "");
    EXPECT_EQ(stats.allocations, 0u);
    RecordProperty("xruns", std::to_string(stats.xruns));
    RecordProperty("dsp_load_mean", std::to_string(stats.mean_load));
    std::printf(
        "live run: %llu periods, %llu xruns, DSP load %.1f%% mean, %.1f%% max, %llu allocations\n",
        static_cast<unsigned long long>(stats.periods),
        static_cast<unsigned long long>(stats.xruns), stats.mean_load, stats.max_load,
        static_cast<unsigned long long>(stats.allocations));
}

TEST(LivePlay, TellsAnUnknownPortByName)
{
    REQUIRE_SERVER(server_up());
    secli::PlayOptions options;
    options.client = "sehost_ports_" + std::to_string(getpid());
    secli::LiveClient live(test_patch("jack:in", kPeriod), options);
    live.start();
    struct Case {
        const char *wiring, *says;
    } cases[] = {
        {"nope=system:playback_1", "no port \"nope\" of ours; ours are \"in\""},
        {"edge.Pulse Out=nobody:nothing", "the server has no port \"nobody:nothing\""},
        {"edge.Pulse Out", "write OURS=THEIRS"},
    };
    for (const Case &k : cases) {
        try {
            live.connect(k.wiring);
            ADD_FAILURE() << k.wiring << ": accepted";
        } catch (const secli::InputError &err) {
            EXPECT_NE(std::string(err.what()).find(k.says), std::string::npos) << err.what();
        }
    }
}

// `sehost play ...` as a child process (on the named server, else the
// running one), its standard output and error read as it runs; on a
// pseudo terminal both are `said`.
struct Child {
    pid_t pid = -1;
    int out = -1, err = -1;
    std::string said, complained; // stdout, stderr so far
    int status = 0;

    Child(const std::vector<std::string> &args, const std::string &server = "", bool tty = false)
    {
        int o[2] = {-1, -1}, e[2] = {-1, -1};
        if (tty)
            pid = forkpty(&out, nullptr, nullptr, nullptr);
        else if (pipe(o) == 0 && pipe(e) == 0)
            pid = fork();
        if (pid == 0) {
            if (!tty) {
                dup2(o[1], 1);
                dup2(e[1], 2);
            }
            if (!server.empty())
                setenv("JACK_DEFAULT_SERVER", server.c_str(), 1);
            const std::string plugins = se_test::plugin_dir();
            std::vector<const char *> argv = {SEHOST_BIN, "--plugins", plugins.c_str(), "play"};
            for (const std::string &a : args)
                argv.push_back(a.c_str());
            argv.push_back(nullptr);
            execv(SEHOST_BIN, const_cast<char *const *>(argv.data()));
            _exit(127);
        }
        if (!tty) {
            close(o[1]);
            close(e[1]);
            out = o[0];
            err = e[0];
        }
    }
    // Reads what comes until stdout holds `text` or both are closed.
    bool read_until(const std::string &text, std::chrono::seconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while ((text.empty() || said.find(text) == std::string::npos) && (out >= 0 || err >= 0) &&
               std::chrono::steady_clock::now() < deadline) {
            pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
            if (poll(fds, 2, 100) <= 0)
                continue;
            for (int k = 0; k < 2; ++k)
                if (fds[k].revents) {
                    char buf[4096];
                    ssize_t n = read(fds[k].fd, buf, sizeof buf);
                    if (n > 0)
                        (k ? complained : said).append(buf, static_cast<size_t>(n));
                    else
                        close(std::exchange(k ? err : out, -1));
                }
        }
        return text.empty() || said.find(text) != std::string::npos;
    }
    // Waits for its end (killed after `limit`); true if it ended by itself.
    bool finish(std::chrono::seconds limit)
    {
        read_until("", limit);
        bool ended = out < 0 && err < 0;
        if (!ended)
            kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return ended;
    }
    int code() const { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }
};

// Runs sehost play demo for a second with stdout and stderr on a pseudo
// terminal (`tty`) or on pipes; answers all they wrote.
std::string play_demo_output(bool tty)
{
    Child sehost({"demo", "-d", "1.5"}, "", tty);
    sehost.finish(std::chrono::seconds(30));
    return sehost.said + sehost.complained;
}

// The status line (DSP load, xruns, each instance's share) is drawn a few
// times a second on a terminal, and never into a file or pipe.
TEST(LivePlay, TheStatusLineIsForTerminalsOnly)
{
    REQUIRE_SERVER(server_up());
    const std::string on_tty = play_demo_output(true), on_pipe = play_demo_output(false);
    ASSERT_NE(on_tty.find("played 1."), std::string::npos) << on_tty;
    ASSERT_NE(on_pipe.find("played 1."), std::string::npos) << on_pipe;
    size_t lines = 0;
    for (size_t at = 0; (at = on_tty.find("\r", at)) != std::string::npos; ++at)
        lines +=
            on_tty.compare(at, 2, "\r\n") != 0 && on_tty.find("xruns", at) != std::string::npos;
    EXPECT_GE(lines, 3u) << "a status line 4 times a second over 1.5 s:\n" << on_tty;
    for (const char *part : {" s  DSP ", "xruns ", " edge ", " router ", " pulse "})
        EXPECT_NE(on_tty.find(part), std::string::npos) << part;
    EXPECT_EQ(on_pipe.find(" s  DSP "), std::string::npos) << on_pipe;
    EXPECT_EQ(on_pipe.find('\r'), std::string::npos) << on_pipe;
}

// sehost play --record, stopped with Ctrl-C (SIGINT) in the middle of the
// run and, in the later rows, again while the set is being written: the
// folder then holds the whole set (exit 0) or nothing (exit 130), never a
// part of it, and no temporary file.
TEST(LivePlay, CtrlCLeavesAWholeRecordingOrNone)
{
    REQUIRE_SERVER(server_up());
    namespace fs = std::filesystem;
    const fs::path root =
        fs::temp_directory_path() / ("se_live_ctrl_c_" + std::to_string(getpid()));
    struct Case {
        int second_after_ms; // -1: one Ctrl-C only
        int sig = SIGINT;    // the first one's: a hang-up ends the run as Ctrl-C does
    } cases[] = {{-1}, {-1, SIGHUP}, {0}, {5}, {20}, {60}, {150}};
    int whole = 0, none = 0;
    for (const Case &k : cases) {
        SCOPED_TRACE("second Ctrl-C after " + std::to_string(k.second_after_ms) + " ms, signal " +
                     std::to_string(k.sig));
        const fs::path dir =
            root / (std::to_string(k.second_after_ms) + "_" + std::to_string(k.sig));
        Child sehost({"demo", "--no-status", "--record", dir.string()});
        ASSERT_GT(sehost.pid, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        kill(sehost.pid, k.sig);
        if (k.second_after_ms >= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(k.second_after_ms));
            kill(sehost.pid, SIGINT);
        }
        ASSERT_TRUE(sehost.finish(std::chrono::seconds(60)));
        const int status = sehost.status;
        // A Ctrl-C that comes once the set is in place ends the process
        // with 130 (saying the folder holds the set) or by the signal:
        // judged by its files.
        const bool by_signal = WIFSIGNALED(status) && WTERMSIG(status) == SIGINT;
        ASSERT_TRUE(WIFEXITED(status) || by_signal) << "status " << status;
        const int code = by_signal ? 128 + SIGINT : WEXITSTATUS(status);
        std::vector<std::string> names;
        if (fs::exists(dir))
            for (const auto &entry : fs::directory_iterator(dir))
                names.push_back(entry.path().filename().string());
        for (const std::string &n : names)
            EXPECT_NE(n[0], '.') << "a temporary file was left: " << n;
        if (!names.empty()) {
            ++whole;
            // The demo's set: 4 WAVs, 5 MIDI outputs (a file and a log each), events, report.
            EXPECT_EQ(names.size(), 16u) << "a part of the set";
            for (const char *want :
                 {"report.html", "events.jsonl", "pulse.Pulse.wav", "router.Add_Midi_Out.mid"})
                EXPECT_NE(std::find(names.begin(), names.end(), want), names.end()) << want;
            EXPECT_TRUE(code == 0 || code == 130) << "a whole set, but exit status " << code;
        } else {
            ++none;
            EXPECT_EQ(code, 130) << "no set, but exit status " << code;
        }
        if (k.second_after_ms < 0) {
            EXPECT_EQ(code, 0) << "one Ctrl-C ends the run and keeps its recording";
        }
    }
    std::printf("Ctrl-C while writing: %d whole sets, %d none\n", whole, none);
    fs::remove_all(root);
}

// Each SIGUSR1 to a playing sehost asks for a patch change: every instance
// gets one at the next period, and a recording holds them (events.jsonl
// tells one per instance and change, later than the opening).
TEST(LivePlay, SigUsr1AsksForAPatchChange)
{
    REQUIRE_SERVER(server_up());
    namespace fs = std::filesystem;
    const fs::path root = fs::temp_directory_path() / ("se_live_usr1_" + std::to_string(getpid()));
    constexpr size_t kDemoInstances = 9;
    for (int signals : {0, 2}) {
        SCOPED_TRACE(std::to_string(signals) + " signals");
        const fs::path dir = root / std::to_string(signals);
        Child sehost({"demo", "-d", "2", "--no-status", "--record", dir.string()});
        // The handler is in place once sehost tells how to use it.
        EXPECT_TRUE(sehost.read_until("patch change: kill -USR1 " + std::to_string(sehost.pid),
                                      std::chrono::seconds(30)))
            << sehost.said;
        for (int k = 0; k < signals; ++k) {
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
            kill(sehost.pid, SIGUSR1);
        }
        ASSERT_TRUE(sehost.finish(std::chrono::seconds(30)));
        ASSERT_EQ(sehost.code(), 0) << sehost.said << sehost.complained;
        size_t changes = 0;
        std::ifstream events(dir / "events.jsonl");
        for (std::string line; std::getline(events, line);) {
            nlohmann::json e = nlohmann::json::parse(line);
            if (e.value("kind", "") == "patch_change" && e.value("clock", 0) > 0)
                ++changes;
        }
        EXPECT_EQ(changes, kDemoInstances * static_cast<size_t>(signals));
    }
    fs::remove_all(root);
}

std::string write_file(const std::filesystem::path &path, const std::string &text)
{
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << text;
    return path.string();
}

uint64_t wav_frames(const std::string &path)
{
    SF_INFO info{};
    SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f)
        return 0;
    sf_close(f);
    return static_cast<uint64_t>(info.frames);
}

// Two clients: one sends raw MIDI events to sehost's input, the other keeps
// what comes out (MIDI as bytes, audio as its non-zero samples), each at
// the server's frame time. Apart, they leave the graph without a loop, so
// that sehost's every period reaches the keeper in the same cycle.
struct Wire {
    jack_client_t *client = nullptr, *sender = nullptr;
    jack_port_t *send = nullptr, *midi = nullptr, *audio = nullptr;
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> to_send; // frame in the period, bytes
    uint64_t connected_periods = 0;
    bool sent = false;
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> got; // reserved: no allocation
    std::atomic<uint64_t> first_sound{UINT64_MAX}, sound{0};

    static int process(jack_nframes_t n, void *arg) { return static_cast<Wire *>(arg)->run(n); }
    static int process_send(jack_nframes_t n, void *arg)
    {
        return static_cast<Wire *>(arg)->run_send(n);
    }
    int run_send(jack_nframes_t n)
    {
        void *out = jack_port_get_buffer(send, n);
        jack_midi_clear_buffer(out);
        // Sent a few periods after sehost made its connections (the last
        // one is the audio's), inside its run.
        if (!sent && jack_port_connected(audio) > 0 && ++connected_periods == 8) {
            for (const auto &[frame, bytes] : to_send)
                jack_midi_event_write(out, frame, bytes.data(), bytes.size());
            sent = true;
        }
        return 0;
    }
    int run(jack_nframes_t n)
    {
        const uint64_t now = jack_last_frame_time(client);
        void *in = jack_port_get_buffer(midi, n);
        for (jack_nframes_t e = 0, c = jack_midi_get_event_count(in); e < c; ++e) {
            jack_midi_event_t ev;
            if (jack_midi_event_get(&ev, in, e) == 0 && got.size() < got.capacity())
                got.emplace_back(now + ev.time,
                                 std::vector<uint8_t>(ev.buffer, ev.buffer + ev.size));
        }
        const float *a = static_cast<const float *>(jack_port_get_buffer(audio, n));
        for (jack_nframes_t i = 0; i < n; ++i)
            if (a[i] != 0.0f) {
                if (first_sound.load() == UINT64_MAX)
                    first_sound.store(now + i);
                sound.fetch_add(1);
            }
        return 0;
    }
};

// Through real ports, MIDI goes out and comes in exactly: the patch's own
// messages from its first sample on, system messages with their own
// length, live input read by the rules of every MIDI input (what they
// refuse is counted), all at the frames the recording holds; the run and
// its recording end at the exact sample --duration gives.
TEST(LivePlay, MidiIsExactBothWaysFromTheFirstSampleToTheLast)
{
    const std::string suffix = std::to_string(getpid());
    Wire w;
    w.client = open_client("se_keep_" + suffix);
    REQUIRE_SERVER(w.client);
    w.sender = open_client("se_send_" + suffix);
    ASSERT_NE(w.sender, nullptr);
    ASSERT_EQ(jack_get_sample_rate(w.client), kRate);
    w.send = jack_port_register(w.sender, "send", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    w.midi = jack_port_register(w.client, "midi", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    w.audio = jack_port_register(w.client, "audio", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    w.to_send = {{3, {0x90, 0x3C}},                         // cut short: refused
                 {5, {0xF8}},                               // clock
                 {7, {0x90, 0x3E, 0x64, 0x40, 0x64}},       // two notes, running status
                 {9, {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}}, // system exclusive: refused
                 {11, {0xF4}},                              // undefined: refused
                 {13, {0xF2, 0x10, 0x20}},
                 {15, {0xFF}}};
    w.got.reserve(1000);
    jack_set_process_callback(w.client, &Wire::process, &w);
    jack_set_process_callback(w.sender, &Wire::process_send, &w);
    ASSERT_EQ(jack_activate(w.client), 0);
    ASSERT_EQ(jack_activate(w.sender), 0);
    const std::string me = jack_get_client_name(w.client), sender = jack_get_client_name(w.sender);

    namespace fs = std::filesystem;
    const fs::path root = fs::temp_directory_path() / ("se_live_midi_" + suffix);
    const std::string patch = write_file(root / "midi.json", R"({"modules": [
        {"name": "r", "plugin": "midi_choice", "midi": ["0s=on 1 60 100", "1smp=on 1 61 100",
         "255smp=on 1 62 100", "256smp=on 1 63 100", "511smp=on 1 64 100", "512smp=FE",
         "600smp=F1 05", "700smp=F6", "0.2s=pc 1 5", "23999smp=off 1 60"]},
        {"name": "p", "plugin": "pitch_adjust", "set": {"Octave": "1"}}], "connections": []})");
    const std::string dir = (root / "rec").string();
    Child sehost({patch, "-d", "0.5", "--no-status", "--record", dir, "-c",
                  "r.Midi In=" + sender + ":send", "-c", "r.Add Midi Out=" + me + ":midi", "-c",
                  "p.Pitch_Adj=" + me + ":audio"});
    ASSERT_TRUE(sehost.finish(std::chrono::seconds(30))) << sehost.said << sehost.complained;
    for (jack_client_t *c : {w.client, w.sender}) {
        jack_deactivate(c);
        jack_client_close(c);
    }
    ASSERT_EQ(sehost.code(), 0) << sehost.said << sehost.complained;
    ASSERT_TRUE(w.sent) << "sehost never connected";
    EXPECT_NE(sehost.said.find("played 0.50 s"), std::string::npos) << sehost.said;
    EXPECT_NE(sehost.said.find("\n3 MIDI input messages refused"), std::string::npos)
        << sehost.said;
    std::ifstream report(dir + "/report.html");
    EXPECT_NE(std::string(std::istreambuf_iterator<char>(report), {})
                  .find("3 MIDI input messages were refused"),
              std::string::npos);

    // 10 of the patch's own messages and 5 of the 7 sent.
    const std::vector<se_cli::SmfEvent> recorded = se_cli::read_smf(dir + "/r.Add_Midi_Out.mid");
    ASSERT_EQ(recorded.size(), 15u);
    ASSERT_EQ(w.got.size(), recorded.size());
    ASSERT_EQ(recorded[0].tick, 0u); // one tick a sample at 48000 Hz
    const uint64_t first = w.got[0].first;
    for (size_t i = 0; i < recorded.size(); ++i) {
        SCOPED_TRACE("message " + std::to_string(i));
        EXPECT_EQ(w.got[i].first - first, recorded[i].tick);
        EXPECT_EQ(std::vector<int>(w.got[i].second.begin(), w.got[i].second.end()),
                  recorded[i].bytes);
    }
    // The audio begins with the MIDI's first sample and lasts exactly 0.5 s.
    EXPECT_EQ(w.first_sound.load(), first);
    EXPECT_EQ(w.sound.load(), 24000u);
    EXPECT_EQ(wav_frames(dir + "/p.Pitch_Adj.wav"), 24000u);
    fs::remove_all(root);
}

// A JACK server of the test's own, for what would disturb the shared one:
// the dummy driver as scripts/test starts that one; stopped at the end.
// Always with SIGTERM: a server killed outright keeps its place in the
// system's list of servers, which holds only a few.
struct PrivateServer {
    std::string name;
    pid_t pid = -1;

    explicit PrivateServer(const std::string &suffix)
        : name("se-private-" + std::to_string(getpid()) + "-" + suffix)
    {
        pid = fork();
        if (pid == 0) {
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            execlp("jackd", "jackd", "--no-realtime", "-S", "-n", name.c_str(), "-d", "dummy", "-r",
                   "48000", "-p", "256", static_cast<char *>(nullptr));
            _exit(127);
        }
        for (int tries = 0; tries < 50; ++tries) {
            if (jack_client_t *c = open_client("se_up", name)) {
                jack_client_close(c);
                return;
            }
            if (waitpid(pid, nullptr, WNOHANG) == pid) { // it would not start
                pid = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        stop();
    }
    ~PrivateServer() { stop(); }
    bool up() const { return pid > 0; }
    void stop()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
            pid = -1;
            // What its clients leave of it when it goes first.
            std::error_code ec;
            for (const auto &f : std::filesystem::directory_iterator("/dev/shm", ec))
                if (f.path().filename().string().find("_" + name + "_") != std::string::npos)
                    std::filesystem::remove(f.path(), ec);
        }
    }
};

// A run that ends early for the server or a plug-in tells why in one line
// (exit 2), after writing the set of what was played up to there: the
// server stops, its period changes, a plug-in's process call never
// returns.
TEST(LivePlay, AnEarlyEndTellsWhyAndKeepsWhatWasPlayed)
{
    REQUIRE_SERVER(server_up());
    namespace fs = std::filesystem;
    const fs::path root = fs::temp_directory_path() / ("se_live_early_" + std::to_string(getpid()));
    const std::string hang = write_file(
        root / "hang.json", R"({"modules": [{"name": "h", "plugin": ")" +
                                se_test::plugin_path("sevalidate_selftest_hang_process") +
                                R"(", "at": [{"time": "0.5s", "set": {"Mode": "C"}}]},
            {"name": "pitch", "plugin": "pitch_adjust"}], "connections": []})");
    enum Kind { kServerStops, kPeriodChanges, kCallNeverReturns };
    struct Case {
        Kind kind;
        const char *what, *patch;
        const char *says;
        long files;
    } cases[] = {
        {kServerStops, "the server stops", "demo",
         "sehost: the JACK server stopped during the run\n", 16},
        {kPeriodChanges, "the period changes", "demo",
         "sehost: the server's period changed from 256 to 512 samples during the run", 16},
        {kCallNeverReturns, "a call never returns", hang.c_str(),
         "modules[0]: instance \"h\" did not return from its plug-in's call in 3 s; the run "
         "stopped at 0.50 s\n",
         6},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        PrivateServer server(std::to_string(c.kind));
        ASSERT_TRUE(server.up()) << "jackd would not start";
        const std::string dir = (root / c.what).string();
        Child sehost({c.patch, "-d", "20", "--no-status", "--record", dir}, server.name);
        ASSERT_TRUE(sehost.read_until("kill -USR1", std::chrono::seconds(20))) << sehost.said;
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        if (c.kind == kServerStops) {
            server.stop();
        } else if (c.kind == kPeriodChanges) {
            jack_client_t *other = open_client("se_bufsize", server.name);
            ASSERT_NE(other, nullptr);
            EXPECT_EQ(jack_set_buffer_size(other, 512), 0);
            jack_client_close(other);
        }
        ASSERT_TRUE(sehost.finish(std::chrono::seconds(20))) << sehost.said << sehost.complained;
        EXPECT_EQ(sehost.code(), 2) << sehost.said << sehost.complained;
        // One line, the last thing the run says.
        EXPECT_NE(sehost.complained.find(c.says), std::string::npos) << sehost.complained;
        EXPECT_EQ(std::count(sehost.complained.begin(), sehost.complained.end(), '\n'), 1)
            << sehost.complained;
        // The whole set, of the whole periods played.
        EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), c.files) << sehost.said;
        const uint64_t frames = wav_frames(dir + "/pitch.Pitch_Adj.wav");
        EXPECT_GT(frames, 0u);
        EXPECT_EQ(frames % kPeriod, 0u);
        if (c.kind == kCallNeverReturns) { // up to the period whose call never returned
            EXPECT_EQ(frames, 24000 / kPeriod * kPeriod);
        }
        EXPECT_NE(sehost.said.find("the recorded audio equals what was played"), std::string::npos)
            << sehost.said;
    }
    fs::remove_all(root);
}

} // namespace
