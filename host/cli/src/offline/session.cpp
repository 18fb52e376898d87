// session.cpp - wiring a Runner to the writers of an output folder.
#include "offline/session.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <unistd.h>

#include "common/errors.h"
#include "common/notes.h"
#include "common/progress.h"
#include "common/safe_names.h"
#include "midi/midi_out.h"
#include "offline/offline_runner.h"
#include "output/events_out.h"
#include "output/output_dir.h"
#include "output/wav_out.h"
#include "report/report.h"

namespace secli {
namespace {

struct FolderSink : RunSink {
    std::vector<std::unique_ptr<WavOut>> wavs;
    std::vector<std::unique_ptr<MidiOut>> midis;
    std::unique_ptr<EventsOut> events;
    void audio(size_t output, const float *samples, size_t n) override
    {
        wavs[output]->write(samples, n);
    }
    void midi(size_t output, uint64_t stamp, int32_t message) override
    {
        midis[output]->add(stamp, message);
    }
    void event(const std::string &line) override { events->write(line); }
    void advance(uint64_t clock) override
    {
        for (auto &m : midis)
            m->advance(clock);
    }
};

} // namespace

namespace {
void write_session(Runner &runner, const Patch &patch, const SessionOptions &options,
                   std::ostream &log, OutputDir &dir,
                   std::chrono::steady_clock::time_point started);
} // namespace

namespace {
// MIDI a run of this length does not play is said, not dropped in silence.
void tell_late_midi(const Patch &patch)
{
    const uint64_t total = patch.duration.clock(patch.rate);
    char end[32];
    std::snprintf(end, sizeof end, "%g", static_cast<double>(total) / patch.rate);
    const auto count = [](uint64_t n, const char *of) {
        return std::to_string(n) + " MIDI message" + (n == 1 ? "" : "s") + " of its " + of;
    };
    for (const ModuleSpec &m : patch.modules) {
        const LateMidi late = midi_after_end(m, patch.rate, total);
        if (late.listed + late.in_file == 0)
            continue;
        std::string what = late.listed ? count(late.listed, "list") : "";
        if (late.in_file)
            what += (what.empty() ? "" : " and ") + count(late.in_file, "MIDI file");
        note("instance \"" + m.name + "\": not played, at or after the end of the run (" + end +
             " s): " + what);
    }
}
} // namespace

void run_session(const Patch &patch, const SessionOptions &options, std::ostream &log)
{
    auto started = std::chrono::steady_clock::now();
    Runner runner(patch);
    OutputDir dir(options.out, options.force);
    // (a live recording's replay ends where the playing stopped: what lies
    // after was never due, and is not told)
    tell_late_midi(patch);
    write_session(runner, patch, options, log, dir, started);
}

void run_session(const Patch &patch, const SessionOptions &options, std::ostream &log,
                 OutputDir &dir)
{
    auto started = std::chrono::steady_clock::now();
    std::unique_ptr<Runner> runner;
    try {
        runner.reset(new Runner(patch));
    } catch (...) {
        dir.abandon();
        throw;
    }
    write_session(*runner, patch, options, log, dir, started);
}

namespace {
void write_session(Runner &runner, const Patch &patch, const SessionOptions &options,
                   std::ostream &log, OutputDir &dir, std::chrono::steady_clock::time_point started)
{
    FolderSink sink;
    std::vector<ReportFile> files;
    try {
        for (const OutputPin &o : runner.audio_outputs()) {
            std::string name = file_stem(o.instance, o.pin) + ".wav";
            sink.wavs.emplace_back(new WavOut(dir.reserve(name), patch.rate));
            files.push_back(ReportFile{name, "audio output " + o.instance + "." + o.pin +
                                                 " (32-bit float, 1.0 = 10 V)"});
        }
        for (const OutputPin &o : runner.midi_outputs()) {
            std::string stem = file_stem(o.instance, o.pin);
            std::string smf = dir.reserve(stem + ".mid"), txt = dir.reserve(stem + ".midi.txt");
            sink.midis.emplace_back(new MidiOut(smf, txt, patch.rate, o.instance + "." + o.pin));
            files.push_back(ReportFile{stem + ".mid", "MIDI output " + o.instance + "." + o.pin});
            files.push_back(ReportFile{stem + ".midi.txt", "the same, readable, RPN/NRPN decoded"});
        }
        sink.events.reset(new EventsOut(dir.reserve("events.jsonl")));
        files.push_back(
            ReportFile{"events.jsonl", "every status, value, MIDI message, GUI write and sleep"});
        std::string report = dir.reserve("report.html");

        {
            ProgressBar bar(options.progress && isatty(STDERR_FILENO) &&
                            runner.total_samples() > 20 * 44100);
            runner.run(sink, bar.callback());
        }

        for (auto &w : sink.wavs)
            w->close();
        for (auto &m : sink.midis)
            m->close();
        sink.events->close();
        std::ofstream html(report, std::ios::binary);
        html << render_report(patch, runner.total_samples(), runner.records(), options.title, files,
                              options.notes);
        html.close();
        if (!html)
            throw InputError(dir.path("report.html") + ": cannot write");
        dir.commit();
    } catch (const UnsettledError &) {
        throw; // it says what the folder holds
    } catch (const InputError &e) {
        sink.wavs.clear();
        sink.midis.clear();
        sink.events.reset();
        dir.abandon();
        throw InputError(std::string(e.what()) + "; the files in " + dir.dir() +
                         " are left as they were");
    } catch (...) {
        sink.wavs.clear();
        sink.midis.clear();
        sink.events.reset();
        dir.abandon();
        throw;
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    char line[160];
    std::snprintf(line, sizeof line,
                  "rendered %.2f s of %zu instance(s) in %.2f s; %zu files in %s\n",
                  runner.total_samples() / patch.rate, runner.records().size(), seconds,
                  files.size() + 1, dir.dir().c_str());
    log << line;
    // The GUI sides' share (patch_pulse's GUI side holds its thread for a
    // fixed busy delay at every firing), so that the rest can be told apart.
    double gui = 0;
    std::string each;
    for (const InstanceRecord &r : runner.records())
        if (r.gui_seconds >= 0.0005) {
            gui += r.gui_seconds;
            std::snprintf(line, sizeof line, "%s%s %.3f s", each.empty() ? "" : ", ",
                          r.name.c_str(), r.gui_seconds);
            each += line;
        }
    if (gui >= 0.0005) {
        std::snprintf(line, sizeof line, "%.3f", gui);
        log << "of which " << line << " s in GUI sides (opening, message handlers): " << each
            << "\n";
    }
    log << "report: " << dir.path("report.html") << "\n";
}
} // namespace

} // namespace secli
