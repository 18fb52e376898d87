// live_record.cpp - the recording of a live run and its offline replay.
#include "live/live_record.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sndfile.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "alloc_probe.h"
#include "common/errors.h"
#include "common/interrupt.h"
#include "common/safe_names.h"
#include "live/live_ring.h"
#include "output/output_dir.h"
#include "output/wav_out.h"

namespace secli {
namespace {

struct MidiRecord {
    uint64_t clock;
    uint32_t port;
    int32_t message;
};

struct CarryRecord {
    uint64_t clock;
    LiveCarry carry;
};

const char kJackPrefix[] = "jack:";
// A MidiRecord of this port is a patch change asked for live.
constexpr uint32_t kPatchChangePort = UINT32_MAX;

// FNV-1a over the samples' bits.
constexpr uint64_t kDigestStart = 1469598103934665603ull;
uint64_t digest(uint64_t h, const float *samples, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        uint32_t bits;
        std::memcpy(&bits, &samples[i], sizeof bits);
        h = (h ^ bits) * 1099511628211ull;
    }
    return h;
}

// The digest of a WAV file's samples; 0 if it cannot be read.
uint64_t file_digest(const std::string &path)
{
    SF_INFO info{};
    SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f || info.channels != 1) {
        if (f)
            sf_close(f);
        return 0;
    }
    uint64_t h = kDigestStart;
    std::vector<float> block(65536);
    for (sf_count_t n;
         (n = sf_read_float(f, block.data(), static_cast<sf_count_t>(block.size()))) > 0;)
        h = digest(h, block.data(), static_cast<size_t>(n));
    sf_close(f);
    return h;
}

} // namespace

struct LiveRecorder::Impl {
    Patch patch;
    SessionOptions options;
    double rate;
    uint32_t period;
    std::vector<std::string> audio_names, midi_names;
    std::unique_ptr<OutputDir> dir;
    // A tape per audio input: a private WAV beside the set, read by the
    // replay and removed after it (or at an interrupt).
    std::vector<std::string> tape_paths;
    std::vector<std::unique_ptr<WavOut>> tapes;
    std::vector<std::vector<std::pair<uint64_t, int32_t>>> midi; // per MIDI input port
    std::vector<uint64_t> patch_changes;                         // clocks
    std::vector<std::vector<CarriedValue>> carried;              // per instance
    const LiveEngine *engine = nullptr;
    uint64_t source_span = 0;
    uint64_t patch_changes_seen = 0; // callback only

    SpscRing<float> audio; // per period: every input's samples, one after the other
    SpscRing<MidiRecord> midi_ring;
    SpscRing<CarryRecord> carry_ring;
    std::atomic<uint64_t> recorded{0}; // frames handed over whole
    // Per audio output, a digest of what was played (callback only, read
    // after the run); unchecked once a period came without outputs.
    std::vector<uint64_t> played;
    bool check_played = true;
    std::vector<std::string> out_names;
    std::atomic<bool> lost{false}; // a ring was full: the recording is spoiled
    std::atomic<bool> stop{false};
    std::thread writer;
    size_t next_tape = 0;    // writer only
    std::string write_error; // the writer's, read after join
    bool finished = false;

    Impl(size_t audio_capacity) : audio(audio_capacity), midi_ring(1 << 16), carry_ring(1 << 14) {}
    void write_loop();
    void drain(std::vector<float> &block);
    void remove_tapes();
};

LiveRecorder::LiveRecorder(const Patch &patch, const LiveEngine &engine, double rate,
                           uint32_t period, const SessionOptions &options)
    : m(new Impl(std::max<size_t>(1, engine.audio_inputs().size()) *
                 static_cast<size_t>(std::ceil(rate * kRingSeconds))))
{
    m->patch = patch;
    m->options = options;
    m->rate = rate;
    m->period = period;
    m->audio_names = engine.audio_inputs();
    m->midi_names = engine.midi_inputs();
    m->midi.resize(m->midi_names.size());
    m->carried.resize(engine.instances());
    m->out_names = engine.audio_outputs();
    m->engine = &engine;
    m->source_span = engine.source_span();
    m->patch_changes_seen = engine.patch_changes_applied();
    m->played.assign(m->out_names.size(), kDigestStart);
    m->dir.reset(new OutputDir(options.out, options.force, "--record"));
    // Every set has these two: a folder holding an earlier run is refused
    // now rather than after the whole live run.
    for (const char *name : {"report.html", "events.jsonl"})
        if (!options.force && access(m->dir->path(name).c_str(), F_OK) == 0)
            throw InputError(m->dir->path(name) + " exists; use --force to overwrite");
    for (const std::string &name : m->audio_names) {
        std::string path = m->dir->dir() + "/.sehost-" + file_stem("jack", name) + ".XXXXXX.wav";
        int fd = mkstemps(&path[0], 4);
        if (fd < 0)
            throw InputError(m->dir->dir() + ": cannot create a temporary file for the input " +
                             name);
        close(fd);
        remove_on_interrupt(path);
        m->tape_paths.push_back(path);
        m->tapes.emplace_back(new WavOut(path, rate));
    }
    m->writer = std::thread([this] { m->write_loop(); });
}

LiveRecorder::~LiveRecorder()
{
    if (m->writer.joinable()) {
        m->stop.store(true);
        m->writer.join();
    }
    m->tapes.clear();
    m->remove_tapes();
    if (!m->finished && m->dir)
        m->dir->abandon();
}

void LiveRecorder::Impl::remove_tapes()
{
    for (const std::string &p : tape_paths) {
        unlink(p.c_str());
        keep_on_interrupt(p);
    }
    tape_paths.clear();
}

void LiveRecorder::period(uint32_t frames, const float *const *audio_in,
                          const LiveMidiList *midi_in, const float *const *audio_out) noexcept
{
    Impl &im = *m;
    // A period longer than the patch's is not processed by the engine either.
    if (im.lost.load(std::memory_order_relaxed) || frames == 0 || frames > im.period)
        return;
    const uint64_t start = im.recorded.load(std::memory_order_relaxed);
    const size_t inputs = im.audio_names.size();
    // The whole period or nothing: the writer reads whole periods.
    const uint64_t applied = im.engine->patch_changes_applied();
    size_t messages = applied != im.patch_changes_seen ? 1 : 0;
    for (size_t k = 0; k < im.midi_names.size(); ++k)
        messages += midi_in[k].count;
    const size_t carries = im.engine->carried();
    // The writer takes whole periods: a shorter last one goes in whole too,
    // and the replay reads no further than the frames recorded.
    if (im.audio.capacity() - im.audio.size() < inputs * im.period ||
        im.midi_ring.capacity() - im.midi_ring.size() < messages ||
        im.carry_ring.capacity() - im.carry_ring.size() < carries) {
        im.lost.store(true, std::memory_order_relaxed);
        return;
    }
    for (size_t k = 0; k < inputs; ++k)
        im.audio.push(audio_in[k], im.period);
    for (size_t k = 0; k < carries; ++k)
        im.carry_ring.push(CarryRecord{start, im.engine->carried(k)});
    if (applied != im.patch_changes_seen) {
        im.patch_changes_seen = applied;
        im.midi_ring.push(MidiRecord{start, kPatchChangePort, 0});
    }
    for (size_t k = 0; k < im.midi_names.size(); ++k)
        for (size_t i = 0; i < midi_in[k].count; ++i)
            im.midi_ring.push(MidiRecord{start + midi_in[k].items[i].frame,
                                         static_cast<uint32_t>(k), midi_in[k].items[i].message});
    if (!audio_out)
        im.check_played = false;
    else
        for (size_t k = 0; k < im.played.size(); ++k)
            im.played[k] = digest(im.played[k], audio_out[k], frames);
    im.recorded.store(start + frames, std::memory_order_release);
}

// The callback pushes each input's period in turn, so the ring holds
// period-long chunks of input 0, 1, ... n-1, 0, 1, ...
void LiveRecorder::Impl::drain(std::vector<float> &block)
{
    const size_t chunk = period;
    while (!audio_names.empty() && audio.size() >= chunk) {
        audio.pop(block.data(), chunk);
        tapes[next_tape]->write(block.data(), chunk);
        next_tape = (next_tape + 1) % tapes.size();
    }
    MidiRecord r;
    while (midi_ring.pop(r))
        if (r.port == kPatchChangePort)
            patch_changes.push_back(r.clock);
        else
            midi[r.port].emplace_back(r.clock, r.message);
    CarryRecord c;
    while (carry_ring.pop(c))
        carried[c.carry.instance].push_back(CarriedValue{c.clock, c.carry.pin, c.carry.value});
}

void LiveRecorder::Impl::write_loop()
{
    sevalidate::alloc_probe::exempt_this_thread();
    std::vector<float> block(period);
    try {
        while (!stop.load()) {
            drain(block);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        drain(block);
    } catch (const std::exception &e) {
        write_error = e.what();
        lost.store(true);
    }
}

uint64_t LiveRecorder::frames() const
{
    return m->recorded.load(std::memory_order_acquire);
}

void LiveRecorder::finish(std::ostream &log, const std::vector<std::string> &notes)
{
    m->stop.store(true);
    m->writer.join();
    if (!m->write_error.empty())
        throw InputError("--record: " + m->write_error);
    if (m->lost.load())
        throw InputError("--record: the writer fell behind the audio; nothing was written to " +
                         m->dir->dir());
    for (auto &t : m->tapes)
        t->close();
    const uint64_t frames = m->recorded.load();
    if (frames == 0)
        throw InputError("--record: nothing was played; nothing was written to " + m->dir->dir());

    // The patch as it was played: the inputs from the tapes and the MIDI
    // that came in beside its own timed inputs, no split blocks. Patch
    // changes and settings the run did not reach are left out.
    Patch replay = m->patch;
    replay.rate = m->rate;
    replay.block = static_cast<int>(m->period);
    replay.duration = TimeSpec{0, true, frames};
    replay.source_span = TimeSpec{0, true, m->source_span}; // ramps as they were played
    replay.split_seed.reset();
    // GUI sides answer in their own time live: what they carried to DSP
    // sides is replayed at the clocks it arrived there.
    replay.carried_live = true;
    for (size_t n = 0; n < replay.modules.size(); ++n)
        replay.modules[n].carried = std::move(m->carried[n]);
    for (SourceSpec &s : replay.sources)
        if (s.definition.rfind(kJackPrefix, 0) == 0) {
            std::string port = s.definition.substr(sizeof kJackPrefix - 1);
            for (size_t k = 0; k < m->audio_names.size(); ++k)
                if (m->audio_names[k] == port) {
                    s.shown = s.definition; // the tape stands in for the live input
                    s.definition = m->tape_paths[k];
                }
        }
    for (ModuleSpec &d : replay.modules) {
        // The patch's MIDI file goes in as a list, ahead of what was played,
        // so that messages at one clock keep their order.
        if (d.midi_file) {
            MidiFileCursor file(d.midi_file, m->rate);
            for (MidiIn mi; file.next(mi);)
                d.midi.push_back(mi);
            d.midi_file.reset();
        }
        auto &pcs = d.patch_changes;
        pcs.erase(std::remove_if(pcs.begin(), pcs.end(),
                                 [&](const auto &pc) { return pc.first.clock(m->rate) >= frames; }),
                  pcs.end());
        d.at.erase(
            std::remove_if(d.at.begin(), d.at.end(),
                           [&](const TimedSetting &t) { return t.time.clock(m->rate) >= frames; }),
            d.at.end());
        for (uint64_t clock : m->patch_changes)
            pcs.emplace_back(TimeSpec{0, true, clock}, "a patch change asked for live");
        for (size_t k = 0; k < m->midi_names.size(); ++k)
            if (m->midi_names[k].compare(0, d.name.size() + 1, d.name + ".") == 0) {
                for (auto [clock, message] : m->midi[k])
                    d.midi.push_back(MidiIn{TimeSpec{0, true, clock}, message});
                if (d.midi_where.empty())
                    d.midi_where = "MIDI input " + m->midi_names[k];
            }
    }
    m->finished = true; // the session commits or abandons the folder
    SessionOptions options = m->options;
    options.notes = notes;
    run_session(replay, options, log, *m->dir);

    // The replay gives what was played; checked on the audio outputs.
    if (!m->check_played)
        return;
    std::vector<std::string> differing;
    for (size_t k = 0; k < m->out_names.size(); ++k) {
        const std::string &port = m->out_names[k];
        size_t dot = port.find('.');
        std::string path =
            m->dir->path(file_stem(port.substr(0, dot), port.substr(dot + 1)) + ".wav");
        if (file_digest(path) != m->played[k])
            differing.push_back(port);
    }
    if (!differing.empty())
        log << "warning: the recording of " << quoted_list(differing)
            << " differs from what was played\n";
    else
        log << "the recorded audio equals what was played\n";
}

} // namespace secli
