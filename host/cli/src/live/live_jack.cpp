// live_jack.cpp - the JACK side of `sehost play`: ports, the process
// callback around LiveEngine::process, connections, the status line.
#include "live/live_jack.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>
#include <unistd.h>

#include "alloc_probe.h"
#include "common/errors.h"
#include "live/live_engine.h"
#include "live/live_record.h"
#include "midi/midi_bytes.h"
#include "midi/midi_text.h"

namespace secli {
namespace {

std::atomic<int> g_stop_signal{0};

extern "C" void on_stop_signal(int sig)
{
    g_stop_signal.store(sig);
}

// SIGUSR1 asks for a patch change; the run's loop passes it on.
std::atomic<unsigned> g_patch_change_signals{0};
static_assert(std::atomic<unsigned>::is_always_lock_free, "used in a signal handler");

extern "C" void on_patch_change_signal(int)
{
    g_patch_change_signals.fetch_add(1);
}

// The client library's own messages ("cannot connect to server socket")
// would stand beside ours; every failure is told in one line of ours.
void quiet(const char *) {}

// A callback inside the patch for this long has met a plug-in call that
// does not return (a period lasts milliseconds).
constexpr std::chrono::seconds kHungAfter{3};

} // namespace

struct LiveClient::Impl {
    jack_client_t *client = nullptr;
    std::unique_ptr<LiveEngine> engine;
    LiveRecorder *recorder = nullptr;
    std::vector<jack_port_t *> audio_in, audio_out, midi_in, midi_out;
    std::vector<const float *> in_ptrs;
    std::vector<float *> out_ptrs;
    std::vector<LiveMidiList> midi_in_lists, midi_out_lists;
    bool count_allocations = false;
    bool active = false, opened = false;
    std::atomic<uint64_t> periods{0}, frames{0}, xruns{0}, allocations{0};
    std::atomic<bool> gone{false};
    // The patch waits for this frame time (set once the connections are made).
    std::atomic<uint64_t> start_frame{UINT64_MAX};
    uint32_t rate = 0, period = 0;             // the patch's, as the server gave them at the start
    uint64_t limit = UINT64_MAX;               // frames to play (--duration)
    std::atomic<bool> stopping{false};         // no more periods for the patch
    std::atomic<bool> finished{false};         // the limit is reached
    std::atomic<uint32_t> new_period{0};       // the server's, once it changed
    std::atomic<uint64_t> entered{0}, left{0}; // callbacks in and out
    std::atomic<uint64_t> midi_refused{0};     // live MIDI input not taken
    uint64_t watched = 0;                      // main thread: the call seen in progress
    std::chrono::steady_clock::time_point watched_since;
    std::atomic<float> max_load{0.0f}, last_load{0.0f};
    std::atomic<double> load_sum{0.0}; // written by the callback only
    std::atomic<uint64_t> load_samples{0};

    static int process(jack_nframes_t n, void *arg) { return static_cast<Impl *>(arg)->run(n); }
    // Xruns count from the patch's first period on (activation and the
    // first connections may cost the server one).
    static int xrun(void *arg)
    {
        Impl *im = static_cast<Impl *>(arg);
        if (im->periods.load(std::memory_order_relaxed) > 0)
            im->xruns.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
    static void shutdown(void *arg) { static_cast<Impl *>(arg)->gone.store(true); }
    // The server's period changed: the patch, built for its first period,
    // stops (the process callback also stops it on a period of another
    // length, told or not).
    static int buffer_size(jack_nframes_t n, void *arg)
    {
        Impl *im = static_cast<Impl *>(arg);
        if (n != im->period)
            im->new_period.store(n);
        return 0;
    }

    void silence(jack_nframes_t n, uint32_t from = 0)
    {
        for (jack_port_t *p : audio_out)
            std::fill_n(static_cast<float *>(jack_port_get_buffer(p, n)) + from, n - from, 0.0f);
        if (from == 0)
            for (jack_port_t *p : midi_out)
                jack_midi_clear_buffer(jack_port_get_buffer(p, n));
    }

    // The live MIDI of input port k before frame `todo`, read by the rules
    // of every MIDI input; what they refuse is counted.
    void read_midi_in(size_t k, jack_nframes_t n, uint32_t todo)
    {
        void *buf = jack_port_get_buffer(midi_in[k], n);
        LiveMidiList &l = midi_in_lists[k];
        l.clear();
        l.dropped = 0;
        uint64_t refused = 0;
        for (jack_nframes_t i = 0, count = jack_midi_get_event_count(buf); i < count; ++i) {
            jack_midi_event_t ev;
            if (jack_midi_event_get(&ev, buf, i) != 0 || ev.time >= todo)
                continue; // after the end of the run: never played
            refused += read_midi_event(ev.buffer, ev.size,
                                       [&](int32_t message) { l.add(ev.time, message); });
        }
        refused += l.dropped; // past the list's room
        if (refused)
            midi_refused.fetch_add(refused, std::memory_order_relaxed);
    }

    // Each message with its own length (midi_size): a system message is
    // one, two or three bytes, never padded.
    void write_midi_out(size_t k, jack_nframes_t n)
    {
        void *buf = jack_port_get_buffer(midi_out[k], n);
        jack_midi_clear_buffer(buf);
        const LiveMidiList &l = midi_out_lists[k];
        for (size_t i = 0; i < l.count; ++i) {
            const int32_t m = l.items[i].message;
            const jack_midi_data_t bytes[3] = {static_cast<jack_midi_data_t>(m & 0xFF),
                                               static_cast<jack_midi_data_t>((m >> 8) & 0x7F),
                                               static_cast<jack_midi_data_t>((m >> 16) & 0x7F)};
            jack_midi_event_write(buf, l.items[i].frame, bytes, static_cast<size_t>(midi_size(m)));
        }
    }

    // Counted in and out, so that halt() can wait for a callback to leave
    // (it either sees this one come in or this one sees `stopping`).
    int run(jack_nframes_t n) noexcept
    {
        entered.fetch_add(1);
        play_period(n);
        left.fetch_add(1, std::memory_order_release);
        return 0;
    }

    void play_period(jack_nframes_t n) noexcept
    {
        namespace probe = sevalidate::alloc_probe;
        if (stopping.load() || finished.load(std::memory_order_relaxed) ||
            jack_last_frame_time(client) < start_frame.load(std::memory_order_acquire)) {
            silence(n);
            return;
        }
        if (n != period) {
            new_period.store(n);
            silence(n);
            return;
        }
        // The run ends at its exact sample, inside a period if need be.
        const uint64_t done = frames.load(std::memory_order_relaxed);
        const uint32_t todo = static_cast<uint32_t>(std::min<uint64_t>(n, limit - done));
        if (count_allocations)
            probe::arm();
        for (size_t k = 0; k < audio_in.size(); ++k)
            in_ptrs[k] = static_cast<const float *>(jack_port_get_buffer(audio_in[k], n));
        for (size_t k = 0; k < audio_out.size(); ++k)
            out_ptrs[k] = static_cast<float *>(jack_port_get_buffer(audio_out[k], n));
        for (size_t k = 0; k < midi_in.size(); ++k)
            read_midi_in(k, n, todo);
        engine->process(todo, in_ptrs.data(), midi_in_lists.data(), out_ptrs.data(),
                        midi_out_lists.data());
        if (recorder)
            recorder->period(todo, in_ptrs.data(), midi_in_lists.data(), out_ptrs.data());
        for (size_t k = 0; k < midi_out.size(); ++k)
            write_midi_out(k, n);
        if (todo < n)
            silence(n, todo);
        if (count_allocations) {
            probe::disarm();
            allocations.store(probe::state().news + probe::state().mallocs,
                              std::memory_order_relaxed);
        }
        float load = jack_cpu_load(client);
        last_load.store(load, std::memory_order_relaxed);
        if (load > max_load.load(std::memory_order_relaxed))
            max_load.store(load, std::memory_order_relaxed);
        load_sum.store(load_sum.load(std::memory_order_relaxed) + load, std::memory_order_relaxed);
        load_samples.fetch_add(1, std::memory_order_release);
        periods.fetch_add(1, std::memory_order_relaxed);
        frames.store(done + todo, std::memory_order_relaxed);
        if (done + todo >= limit)
            finished.store(true, std::memory_order_release);
    }

    // Main thread, called again and again: whether the callback has been
    // inside the patch for kHungAfter with no return.
    bool callback_hung()
    {
        const uint64_t in = entered.load(std::memory_order_acquire);
        if (in == left.load(std::memory_order_acquire))
            return false;
        const auto now = std::chrono::steady_clock::now();
        if (in != watched) {
            watched = in;
            watched_since = now;
        }
        return now - watched_since >= kHungAfter;
    }

    jack_port_t *find_ours(const std::string &name) const
    {
        return jack_port_by_name(client,
                                 (std::string(jack_get_client_name(client)) + ":" + name).c_str());
    }
};

LiveClient::LiveClient(const Patch &patch, const PlayOptions &options) : m(new Impl)
{
    jack_set_error_function(quiet);
    jack_set_info_function(quiet);
    jack_status_t status;
    m->client = jack_client_open(options.client.c_str(), JackNoStartServer, &status);
    if (!m->client)
        throw InputError(
            "no JACK server is running (start one, e.g. \"jackd -d alsa\", or without a sound card "
            "\"jackd -d dummy -r 48000 -p 256\")");
    try {
        m->engine.reset(new LiveEngine(patch, jack_get_sample_rate(m->client),
                                       jack_get_buffer_size(m->client)));
    } catch (...) {
        jack_client_close(m->client);
        throw;
    }
    m->count_allocations = options.count_allocations;
    m->rate = jack_get_sample_rate(m->client);
    m->period = jack_get_buffer_size(m->client);
    if (options.seconds)
        m->limit = TimeSpec{*options.seconds, false, 0}.clock(jack_get_sample_rate(m->client));
    auto reg = [&](const std::string &name, const char *type, unsigned long flags) {
        jack_port_t *p = jack_port_register(m->client, name.c_str(), type, flags, 0);
        if (!p) {
            jack_client_close(m->client);
            throw InputError("the server refused a port named \"" + name + "\"");
        }
        return p;
    };
    LiveEngine &e = *m->engine;
    for (const std::string &n : e.audio_inputs())
        m->audio_in.push_back(reg(n, JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput));
    for (const std::string &n : e.audio_outputs())
        m->audio_out.push_back(reg(n, JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput));
    for (const std::string &n : e.midi_inputs())
        m->midi_in.push_back(reg(n, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput));
    for (const std::string &n : e.midi_outputs())
        m->midi_out.push_back(reg(n, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput));
    m->in_ptrs.resize(m->audio_in.size());
    m->out_ptrs.resize(m->audio_out.size());
    for (auto *lists : {&m->midi_in_lists, &m->midi_out_lists}) {
        lists->resize(lists == &m->midi_in_lists ? m->midi_in.size() : m->midi_out.size());
        for (LiveMidiList &l : *lists)
            l.items.resize(LiveEngine::kMidiPerPeriod);
    }
    jack_set_process_callback(m->client, &Impl::process, m.get());
    jack_set_xrun_callback(m->client, &Impl::xrun, m.get());
    jack_set_buffer_size_callback(m->client, &Impl::buffer_size, m.get());
    jack_on_shutdown(m->client, &Impl::shutdown, m.get());
}

LiveClient::~LiveClient()
{
    stop();
    if (m->client)
        jack_client_close(m->client);
}

bool LiveClient::halt()
{
    m->stopping.store(true);
    while (m->entered.load(std::memory_order_acquire) != m->left.load(std::memory_order_acquire)) {
        if (m->callback_hung())
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool LiveClient::hung()
{
    return m->callback_hung();
}

void LiveClient::abandon()
{
    // Deactivating or closing would cancel the callback's thread inside
    // the plug-in (which ends the process); the client, the engine and its
    // instances are left to the process's exit, held here (never destroyed,
    // and not lost to a leak check).
    static std::vector<LiveEngine *> *const left_to_exit = new std::vector<LiveEngine *>;
    m->engine->abandon();
    left_to_exit->push_back(m->engine.release());
    m->client = nullptr;
    m->active = m->opened = false;
}

bool LiveClient::finished() const
{
    return m->finished.load(std::memory_order_acquire);
}

uint32_t LiveClient::period_changed() const
{
    return m->new_period.load();
}

LiveEngine &LiveClient::engine()
{
    return *m->engine;
}
std::string LiveClient::port_name(const std::string &short_name) const
{
    return std::string(jack_get_client_name(m->client)) + ":" + short_name;
}
uint32_t LiveClient::rate() const
{
    return m->rate;
}
uint32_t LiveClient::period() const
{
    return m->period;
}

void LiveClient::record(LiveRecorder *recorder)
{
    m->recorder = recorder;
}

void LiveClient::start()
{
    m->engine->open();
    m->opened = true;
    if (m->count_allocations)
        sevalidate::alloc_probe::reset();
    if (jack_activate(m->client) != 0)
        throw InputError("the JACK server did not activate the client");
    m->active = true;
}

void LiveClient::start_at(uint64_t frame)
{
    m->start_frame.store(frame, std::memory_order_release);
}
uint64_t LiveClient::frame_time() const
{
    return jack_frame_time(m->client);
}

void LiveClient::connect(const std::string &wiring)
{
    size_t eq = wiring.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == wiring.size())
        throw InputError("--connect \"" + wiring +
                         "\": write OURS=THEIRS, e.g. \"x.Out=system:playback_1\"");
    std::string ours = wiring.substr(0, eq), theirs = wiring.substr(eq + 1);
    jack_port_t *mine = m->find_ours(ours);
    if (!mine) {
        std::vector<std::string> names;
        for (auto *list : {&m->engine->audio_inputs(), &m->engine->audio_outputs(),
                           &m->engine->midi_inputs(), &m->engine->midi_outputs()})
            names.insert(names.end(), list->begin(), list->end());
        throw InputError("--connect \"" + wiring + "\": no port \"" + ours +
                         "\" of ours; ours are " +
                         (names.empty() ? std::string("none") : quoted_list(names)));
    }
    jack_port_t *other = jack_port_by_name(m->client, theirs.c_str());
    if (!other) {
        std::string known;
        if (const char **all = jack_get_ports(m->client, nullptr, jack_port_type(mine), 0)) {
            for (size_t i = 0; all[i] && i < 12; ++i)
                known += std::string(known.empty() ? "" : ", ") + "\"" + all[i] + "\"";
            jack_free(all);
        }
        throw InputError("--connect \"" + wiring + "\": the server has no port \"" + theirs + "\"" +
                         (known.empty() ? "" : "; ports of that type: " + known));
    }
    const bool we_send = jack_port_flags(mine) & JackPortIsOutput;
    const char *from = jack_port_name(we_send ? mine : other),
               *to = jack_port_name(we_send ? other : mine);
    int rc = jack_connect(m->client, from, to);
    if (rc != 0 && rc != EEXIST)
        throw InputError("--connect \"" + wiring + "\": the server refused to connect \"" + from +
                         "\" to \"" + to + "\" (a port of the same direction or type?)");
}

void LiveClient::stop()
{
    if (m->active) {
        jack_deactivate(m->client);
        m->active = false;
    }
    if (m->opened) {
        m->engine->close();
        m->opened = false;
    }
}

PlayStats LiveClient::stats() const
{
    PlayStats s;
    uint64_t samples = m->load_samples.load(std::memory_order_acquire);
    s.periods = m->periods.load();
    s.frames = m->frames.load();
    s.xruns = m->xruns.load();
    s.allocations = m->allocations.load();
    s.midi_refused = m->midi_refused.load();
    s.max_load = m->max_load.load();
    s.load = m->last_load.load();
    s.mean_load = samples ? m->load_sum.load() / static_cast<double>(samples) : 0.0;
    return s;
}

bool LiveClient::server_gone() const
{
    return m->gone.load();
}

namespace {

// The status line: time, the server's DSP load, xruns, refused MIDI input
// and each instance's share of the time spent in the patch since the last
// line.
void draw_status(LiveClient &client, std::chrono::steady_clock::duration since_start,
                 std::chrono::steady_clock::duration since_last, std::vector<double> &last)
{
    LiveEngine &e = client.engine();
    const double span = std::chrono::duration<double>(since_last).count();
    PlayStats s = client.stats();
    char line[512];
    int len = std::snprintf(line, sizeof line, "\r%.1f s  DSP %4.1f%% (max %4.1f%%)  xruns %llu ",
                            std::chrono::duration<double>(since_start).count(), s.load, s.max_load,
                            static_cast<unsigned long long>(s.xruns));
    if (s.midi_refused && len > 0)
        len +=
            std::snprintf(line + len, sizeof line - static_cast<size_t>(len), " MIDI refused %llu ",
                          static_cast<unsigned long long>(s.midi_refused));
    for (size_t n = 0; n < e.instances() && len > 0 && static_cast<size_t>(len) < sizeof line;
         ++n) {
        double t = e.instance_seconds(n);
        len += std::snprintf(line + len, sizeof line - static_cast<size_t>(len), " %s %.1f%%",
                             e.instance_name(n).c_str(), 100.0 * (t - last[n]) / span);
        last[n] = t;
    }
    std::fprintf(stderr, "%s\033[K", line);
}

// Why a run ended before its time or Ctrl-C (empty: it did not); read after
// halt(), which answers `returned`.
std::string why_stopped(LiveClient &client, bool returned)
{
    LiveEngine &e = client.engine();
    char at[64];
    std::snprintf(at, sizeof at, "%.2f s",
                  static_cast<double>(client.stats().frames) / client.rate());
    if (!returned) {
        const int n = e.running_instance();
        const std::string who = n < 0 ? std::string("the patch")
                                      : e.instance_where(static_cast<size_t>(n)) + ": instance \"" +
                                            e.instance_name(static_cast<size_t>(n)) + "\"";
        return who + " did not return from its plug-in's call in " +
               std::to_string(kHungAfter.count()) + " s; the run stopped at " + at;
    }
    if (e.faulted())
        return e.fault();
    if (uint32_t now = client.period_changed())
        return "the server's period changed from " + std::to_string(client.period()) + " to " +
               std::to_string(now) + " samples during the run; the run stopped at " + at;
    if (client.server_gone())
        return "the JACK server stopped during the run";
    return "";
}

} // namespace

PlayStats play(const Patch &played, const PlayOptions &options, std::ostream &log)
{
    // A run of a given length takes its ramps over that length, as render
    // does; an open-ended one over an hour.
    Patch patch = played;
    if (options.seconds && !patch.source_span)
        patch.source_span = TimeSpec{*options.seconds, false, 0};
    LiveClient client(patch, options);
    LiveEngine &e = client.engine();
    log << "sehost play: " << client.rate() << " Hz, period " << client.period()
        << " samples, client \"" << client.port_name("").substr(0, client.port_name("").size() - 1)
        << "\"\n";
    auto list = [&](const char *what, const std::vector<std::string> &ports) {
        if (!ports.empty())
            log << "  " << what << ": " << quoted_list(ports) << "\n";
    };
    list("audio in", e.audio_inputs());
    list("audio out", e.audio_outputs());
    list("MIDI in", e.midi_inputs());
    list("MIDI out", e.midi_outputs());
    log.flush();

    // The folder is taken before the run: a bad or busy one fails now.
    std::unique_ptr<LiveRecorder> recorder;
    if (options.record) {
        SessionOptions so;
        so.out = *options.record;
        so.force = options.force;
        so.progress = false;
        so.title = "sehost play";
        recorder.reset(new LiveRecorder(patch, e, client.rate(), client.period(), so));
        client.record(recorder.get());
    }

    struct sigaction sa = {}, old_int, old_term, old_hup;
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    g_stop_signal.store(0);
    sigaction(SIGINT, &sa, &old_int);
    sigaction(SIGTERM, &sa, &old_term);
    sigaction(SIGHUP, &sa, &old_hup);
    // Kept until play returns: a late SIGUSR1 must not end the process.
    struct sigaction usr = {}, old_usr;
    usr.sa_handler = on_patch_change_signal;
    sigemptyset(&usr.sa_mask);
    usr.sa_flags = SA_RESTART;
    g_patch_change_signals.store(0);
    sigaction(SIGUSR1, &usr, &old_usr);
    struct RestoreUsr {
        struct sigaction *old;
        ~RestoreUsr() { sigaction(SIGUSR1, old, nullptr); }
    } restore_usr{&old_usr};
    log << "  patch change: kill -USR1 " << getpid() << "\n";
    log.flush();
    // Ctrl-C ends the run; once it has ended the earlier handlers are back,
    // so a Ctrl-C while the recording is written stops that too (the
    // folder's files then all go).
    struct Restore {
        struct sigaction *i, *t, *h;
        bool done = false;
        void now()
        {
            if (!done) {
                sigaction(SIGINT, i, nullptr);
                sigaction(SIGTERM, t, nullptr);
                sigaction(SIGHUP, h, nullptr);
                done = true;
            }
        }
        ~Restore() { now(); }
    } restore{&old_int, &old_term, &old_hup};

    client.start();
    for (const std::string &c : options.connect)
        client.connect(c);
    // The connections are in place before the patch's clock starts: its
    // first period is the first whole one the server begins after them.
    client.start_at(client.frame_time() + client.period());

    const bool draw = options.status && isatty(STDERR_FILENO);
    const auto started = std::chrono::steady_clock::now();
    std::vector<double> last(e.instances(), 0.0);
    auto last_draw = started;
    unsigned patch_changes = 0;
    while (g_stop_signal.load() == 0 && !client.finished() && !client.server_gone() &&
           !e.faulted() && !client.period_changed() && !client.hung()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        for (unsigned asked = g_patch_change_signals.load(); patch_changes != asked;
             ++patch_changes)
            e.patch_change();
        auto now = std::chrono::steady_clock::now();
        if (draw && now - last_draw >= std::chrono::milliseconds(250)) {
            draw_status(client, now - started, now - last_draw, last);
            last_draw = now;
        }
    }
    const bool returned = client.halt();
    const std::string stopped = why_stopped(client, returned);
    if (returned)
        client.stop();
    else
        client.abandon();
    if (draw)
        std::fprintf(stderr, "\n");
    restore.now();
    if (e.faulted() && returned)
        throw InputError(e.fault());
    PlayStats s = client.stats();
    char line[256];
    std::snprintf(line, sizeof line,
                  "played %.2f s (%llu periods): %llu xruns, DSP load %.1f%% mean, %.1f%% max\n",
                  static_cast<double>(s.frames) / client.rate(),
                  static_cast<unsigned long long>(s.periods),
                  static_cast<unsigned long long>(s.xruns), s.mean_load, s.max_load);
    log << line;
    if (s.midi_refused)
        log << s.midi_refused << " MIDI input message" << (s.midi_refused == 1 ? "" : "s")
            << " refused (system exclusive, undefined, cut short, or past "
            << LiveEngine::kMidiPerPeriod << " in a period)\n";
    if (options.count_allocations)
        log << "allocations in the process callback: " << s.allocations << "\n";
    // What was played up to an early stop is recorded too, then the stop is
    // told as the error.
    if (recorder) {
        std::vector<std::string> notes;
        if (s.midi_refused)
            notes.push_back(std::to_string(s.midi_refused) +
                            " MIDI input messages were refused live (not recorded).");
        if (!stopped.empty())
            notes.push_back("The run stopped early: " + stopped + ".");
        try {
            recorder->finish(log, notes);
        } catch (const InputError &err) {
            if (stopped.empty())
                throw;
            throw InputError(stopped + "; " + err.what());
        }
    }
    if (!stopped.empty())
        throw InputError(stopped);
    return s;
}

} // namespace secli
