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

// Packs a channel message as the modules send it; 0 for anything else
// (system exclusive, real-time bytes), which is not delivered.
// The client library's own messages ("cannot connect to server socket")
// would stand beside ours; every failure is told in one line of ours.
void quiet(const char *) {}

int32_t pack_midi(const jack_midi_data_t *b, size_t size)
{
    if (size == 0 || b[0] < 0x80 || b[0] >= 0xF0)
        return 0;
    int32_t m = b[0];
    if (size > 1)
        m |= static_cast<int32_t>(b[1] & 0x7F) << 8;
    if (size > 2)
        m |= static_cast<int32_t>(b[2] & 0x7F) << 16;
    return m;
}

// Bytes of a packed channel message: program change and channel pressure
// have one data byte, the others two.
size_t midi_length(int32_t m)
{
    int status = m & 0xF0;
    return status == 0xC0 || status == 0xD0 ? 2 : 3;
}

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
    std::atomic<uint64_t> start_frame{0}; // the patch waits for this frame time
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

    int run(jack_nframes_t n) noexcept
    {
        namespace probe = sevalidate::alloc_probe;
        if (jack_last_frame_time(client) < start_frame.load(std::memory_order_acquire)) {
            for (jack_port_t *p : audio_out)
                std::fill_n(static_cast<float *>(jack_port_get_buffer(p, n)), n, 0.0f);
            for (jack_port_t *p : midi_out)
                jack_midi_clear_buffer(jack_port_get_buffer(p, n));
            return 0;
        }
        if (count_allocations)
            probe::arm();
        for (size_t k = 0; k < audio_in.size(); ++k)
            in_ptrs[k] = static_cast<const float *>(jack_port_get_buffer(audio_in[k], n));
        for (size_t k = 0; k < audio_out.size(); ++k)
            out_ptrs[k] = static_cast<float *>(jack_port_get_buffer(audio_out[k], n));
        for (size_t k = 0; k < midi_in.size(); ++k) {
            void *buf = jack_port_get_buffer(midi_in[k], n);
            LiveMidiList &l = midi_in_lists[k];
            l.clear();
            jack_nframes_t count = jack_midi_get_event_count(buf);
            for (jack_nframes_t i = 0; i < count; ++i) {
                jack_midi_event_t ev;
                if (jack_midi_event_get(&ev, buf, i) == 0)
                    if (int32_t m = pack_midi(ev.buffer, ev.size))
                        l.add(ev.time, m);
            }
        }
        engine->process(n, in_ptrs.data(), midi_in_lists.data(), out_ptrs.data(),
                        midi_out_lists.data());
        if (recorder)
            recorder->period(n, in_ptrs.data(), midi_in_lists.data(), out_ptrs.data());
        for (size_t k = 0; k < midi_out.size(); ++k) {
            void *buf = jack_port_get_buffer(midi_out[k], n);
            jack_midi_clear_buffer(buf);
            const LiveMidiList &l = midi_out_lists[k];
            for (size_t i = 0; i < l.count; ++i) {
                jack_midi_data_t bytes[3] = {
                    static_cast<jack_midi_data_t>(l.items[i].message & 0xFF),
                    static_cast<jack_midi_data_t>((l.items[i].message >> 8) & 0x7F),
                    static_cast<jack_midi_data_t>((l.items[i].message >> 16) & 0x7F)};
                jack_midi_event_write(buf, l.items[i].frame, bytes,
                                      midi_length(l.items[i].message));
            }
        }
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
        frames.fetch_add(n, std::memory_order_relaxed);
        return 0;
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
    jack_on_shutdown(m->client, &Impl::shutdown, m.get());
}

LiveClient::~LiveClient()
{
    stop();
    if (m->client)
        jack_client_close(m->client);
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
    return jack_get_sample_rate(m->client);
}
uint32_t LiveClient::period() const
{
    return jack_get_buffer_size(m->client);
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
    s.max_load = m->max_load.load();
    s.load = m->last_load.load();
    s.mean_load = samples ? m->load_sum.load() / static_cast<double>(samples) : 0.0;
    return s;
}

bool LiveClient::server_gone() const
{
    return m->gone.load();
}

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
    for (const std::string &w : e.ignored())
        log << "  not played live: " << w << "\n";
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

    const bool draw = options.status && isatty(STDERR_FILENO);
    const auto started = std::chrono::steady_clock::now();
    std::vector<double> last(e.instances(), 0.0);
    auto last_draw = started;
    unsigned patch_changes = 0;
    while (g_stop_signal.load() == 0 && !client.server_gone() && !e.faulted()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        for (unsigned asked = g_patch_change_signals.load(); patch_changes != asked;
             ++patch_changes)
            e.patch_change();
        auto now = std::chrono::steady_clock::now();
        if (options.seconds &&
            std::chrono::duration<double>(now - started).count() >= *options.seconds)
            break;
        if (draw && now - last_draw >= std::chrono::milliseconds(250)) {
            // The DSP load of the server, xruns, and each instance's share
            // of the time spent in the patch since the last line.
            double span = std::chrono::duration<double>(now - last_draw).count();
            last_draw = now;
            PlayStats s = client.stats();
            char line[512];
            int len =
                std::snprintf(line, sizeof line, "\r%.1f s  DSP %4.1f%% (max %4.1f%%)  xruns %llu ",
                              std::chrono::duration<double>(now - started).count(), s.load,
                              s.max_load, static_cast<unsigned long long>(s.xruns));
            for (size_t n = 0;
                 n < e.instances() && len > 0 && static_cast<size_t>(len) < sizeof line; ++n) {
                double t = e.instance_seconds(n);
                len +=
                    std::snprintf(line + len, sizeof line - static_cast<size_t>(len), " %s %.1f%%",
                                  e.instance_name(n).c_str(), 100.0 * (t - last[n]) / span);
                last[n] = t;
            }
            std::fprintf(stderr, "%s\033[K", line);
        }
    }
    client.stop();
    if (draw)
        std::fprintf(stderr, "\n");
    restore.now();
    if (e.faulted())
        throw InputError(e.fault());
    if (client.server_gone())
        throw InputError("the JACK server stopped during the run");
    PlayStats s = client.stats();
    char line[256];
    std::snprintf(line, sizeof line,
                  "played %.2f s (%llu periods): %llu xruns, DSP load %.1f%% mean, %.1f%% max\n",
                  static_cast<double>(s.frames) / client.rate(),
                  static_cast<unsigned long long>(s.periods),
                  static_cast<unsigned long long>(s.xruns), s.mean_load, s.max_load);
    log << line;
    if (options.count_allocations)
        log << "allocations in the process callback: " << s.allocations << "\n";
    if (recorder)
        recorder->finish(log);
    return s;
}

} // namespace secli
