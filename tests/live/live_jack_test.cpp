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
#include <pty.h>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/errors.h"
#include "live/live_engine.h"
#include "live/live_jack.h"
#include "live_support.h"
#include "plugin_path.h"

using namespace livetest;

namespace {

void quiet(const char *) {}

jack_client_t *open_client(const std::string &name)
{
    jack_set_error_function(quiet);
    jack_set_info_function(quiet);
    return jack_client_open(name.c_str(), JackNoStartServer, nullptr);
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

// Runs sehost play demo for a second with stdout and stderr on a pseudo
// terminal (`tty`) or on a pipe; answers all they wrote.
std::string play_demo_output(bool tty)
{
    int master = -1, pipe_fds[2] = {-1, -1};
    pid_t pid;
    if (tty) {
        pid = forkpty(&master, nullptr, nullptr, nullptr);
    } else {
        if (pipe(pipe_fds) != 0)
            return "pipe failed";
        pid = fork();
        if (pid == 0) {
            dup2(pipe_fds[1], 1);
            dup2(pipe_fds[1], 2);
            close(pipe_fds[0]);
        }
        master = pipe_fds[0];
    }
    if (pid == 0) {
        const std::string plugins = se_test::plugin_dir();
        execl(SEHOST_BIN, SEHOST_BIN, "--plugins", plugins.c_str(), "play", "demo", "-d", "1.5",
              static_cast<char *>(nullptr));
        _exit(127);
    }
    if (!tty)
        close(pipe_fds[1]);
    std::string all;
    char buf[4096];
    for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;)
        all.append(buf, static_cast<size_t>(n));
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    return all;
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
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            const std::string plugins = se_test::plugin_dir(), out = dir.string();
            execl(SEHOST_BIN, SEHOST_BIN, "--plugins", plugins.c_str(), "play", "demo",
                  "--no-status", "--record", out.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        kill(pid, k.sig);
        if (k.second_after_ms >= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(k.second_after_ms));
            kill(pid, SIGINT);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
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
        int out[2];
        ASSERT_EQ(pipe(out), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            dup2(out[1], 1);
            close(out[0]);
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 2);
            const std::string plugins = se_test::plugin_dir(), where = dir.string();
            execl(SEHOST_BIN, SEHOST_BIN, "--plugins", plugins.c_str(), "play", "demo", "-d", "2",
                  "--no-status", "--record", where.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        close(out[1]);
        // The handler is in place once sehost tells how to use it.
        std::string said;
        char buf[512];
        for (ssize_t n; said.find("kill -USR1") == std::string::npos &&
                        (n = read(out[0], buf, sizeof buf)) > 0;)
            said.append(buf, static_cast<size_t>(n));
        EXPECT_NE(said.find("patch change: kill -USR1 " + std::to_string(pid)), std::string::npos)
            << said;
        for (int k = 0; k < signals; ++k) {
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
            kill(pid, SIGUSR1);
        }
        for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;)
            said.append(buf, static_cast<size_t>(n));
        close(out[0]);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << said;
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

} // namespace
