// report.cpp - the HTML report: a page per run with, per instance, its
// figures, the value every input pin starts from and the plots of its pins.
// Pins whose plots would be equal (a panel switch's untouched ways, or an
// output and the input of its name that carry one signal) share one plot.
#include "report/report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "report/report_plots.h"

namespace secli {
namespace {

std::string fmt(double v)
{
    return general_text(v, 3);
}

// "Controls on Parent 3 (in)" -> "Controls on Parent # (in)": pins of one family.
std::string family(const std::string &name)
{
    std::string f;
    for (char c : name)
        if (!(c >= '0' && c <= '9'))
            f += c;
        else if (f.empty() || f.back() != '#')
            f += '#';
    return f;
}

// Equal plots of pins of one family are drawn once.
bool same_plot(const Trace &a, const Trace &b)
{
    return family(a.pin) == family(b.pin) && a.kind == b.kind && a.input == b.input &&
           a.datatype == b.datatype && a.labels == b.labels && a.lo == b.lo && a.hi == b.hi &&
           a.steps == b.steps && a.marks == b.marks;
}

// A fixed input shows in the settings table, not as a flat plot.
bool shown(const Trace &t)
{
    return !(t.input && (t.kind == "value" || t.kind == "gui") && t.steps.size() <= 1);
}

// A GUI output and the GUI input of the same name ("X (in)") that held the
// same values all along are one signal offered both ways (a panel switch's
// "Controls on Parent" pairs): one plot, "X (out and in)", among the outputs.
std::vector<Trace> join_pairs(const std::vector<Trace> &traces)
{
    std::vector<Trace> out = traces;
    std::vector<bool> gone(out.size(), false);
    for (Trace &o : out) {
        if (o.kind != "gui" || o.input)
            continue;
        for (size_t j = 0; j < out.size(); ++j) {
            const Trace &i = out[j];
            if (!gone[j] && i.kind == "gui" && i.input && i.pin == o.pin + " (in)" &&
                i.datatype == o.datatype && i.steps == o.steps) {
                gone[j] = true;
                o.pin += " (out and in)";
                break;
            }
        }
    }
    std::vector<Trace> kept;
    for (size_t j = 0; j < out.size(); ++j)
        if (!gone[j])
            kept.push_back(out[j]);
    return kept;
}

std::string instance_plots(const InstanceRecord &r, const PlotFrame &f)
{
    std::string s;
    const std::vector<Trace> traces = join_pairs(r.traces);
    std::vector<bool> done(traces.size(), false);
    for (int pass = 0; pass < 2; ++pass) // inputs first, then outputs
        for (size_t i = 0; i < traces.size(); ++i) {
            const Trace &t = traces[i];
            if (done[i] || t.input != (pass == 0) || !shown(t))
                continue;
            std::vector<std::string> names{t.pin};
            for (size_t j = i + 1; j < traces.size(); ++j)
                if (!done[j] && same_plot(t, traces[j])) {
                    done[j] = true;
                    names.push_back(traces[j].pin);
                }
            s += plot_trace(t, fold_names(names), f);
        }
    return s;
}

} // namespace

std::string render_report(const Patch &p, uint64_t samples,
                          const std::vector<InstanceRecord> &records, const std::string &title,
                          const std::vector<ReportFile> &files,
                          const std::vector<std::string> &notes)
{
    const double total = static_cast<double>(std::max<uint64_t>(samples, 1));
    std::ostringstream o;
    o << "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>" << esc(title)
      << "</title><style>"
      << "body{font-family:sans-serif;margin:20px;color:#222;max-width:1000px}"
      << "h2{border-bottom:1px solid "
         "#ccc;margin-top:32px}table{border-collapse:collapse;margin:6px 0}"
      << "td,th{border:1px solid #ddd;padding:2px 8px;text-align:left;font-size:13px}"
      << ".bg{fill:#f7f7f7;stroke:#ddd}.axis{stroke:#aaa}.grid{stroke:#e4e4e4}.wave{stroke:#1f5fa8;"
         "stroke-width:1}"
      << ".step{fill:none;stroke:#c0392b;stroke-width:1.5}.mark{stroke:#27ae60;stroke-width:1.5;"
         "opacity:.7}"
      << ".note{fill:#8e44ad}.notes{stroke:#8e44ad;stroke-width:1}.dots{stroke:#27ae60;stroke-"
         "width:3}"
      << ".curve{fill:none;stroke-width:1.5}.c0{stroke:#d35400}.c1{stroke:#2980b9}.c2{stroke:#"
         "16a085}"
      << ".c3{stroke:#8e44ad}.c4{stroke:#7f8c8d}.c5{stroke:#2c3e50}"
      << ".pc{stroke:#e67e22;stroke-width:1.5;stroke-dasharray:4 3}"
      << ".pin{font-size:13px;font-weight:bold}.sub{font-size:11px;fill:#666}.tick{font-size:10px;"
         "fill:#555}"
      << ".lbl{font-size:10px;fill:#222;paint-order:stroke;stroke:#fff;stroke-width:3px}"
      << ".legend{font-size:12px;color:#666;margin:2px "
         "0}svg{display:block;margin-top:4px}</style></head><body>";
    o << "<h1>" << esc(title) << "</h1><p>" << esc(p.origin) << ": " << fmt(samples / p.rate)
      << " s at " << p.rate << " Hz, blocks of " << p.block << " samples"
      << (p.split_seed ? ", split at random (seed " + std::to_string(*p.split_seed) + ")"
                       : std::string())
      << ", host version " << p.host_version << ".</p>";
    for (const std::string &note : notes)
        o << "<p>" << esc(note) << "</p>";
    o << "<table><tr><th>file</th><th>what</th></tr>";
    for (const ReportFile &file : files)
        o << "<tr><td><a href=\"" << esc(file.name) << "\">" << esc(file.name) << "</a></td><td>"
          << esc(file.what) << "</td></tr>";
    o << "</table>";
    size_t index = 0; // records follow the patch's modules
    for (const InstanceRecord &r : records) {
        o << "<section class=\"instance\" id=\"" << esc(r.name) << "\"><h2>" << esc(r.name)
          << " <small>(" << esc(r.plugin) << ": " << esc(r.module_name) << ")</small></h2>";
        double asleep = r.blocks ? 100.0 * r.blocks_asleep / r.blocks : 0;
        o << "<table><tr><th>process calls</th><th>blocks asleep</th><th>statuses "
             "sent</th><th>MIDI sent</th>"
          << "<th>GUI writes</th><th>messages to GUI</th><th>sleep requests</th></tr><tr><td>"
          << r.process_calls << "</td><td>" << r.blocks_asleep << " of " << r.blocks << " ("
          << fmt(asleep) << " %)</td><td>" << r.statuses << "</td><td>" << r.midi_sent
          << "</td><td>" << r.gui_writes << "</td><td>" << r.to_gui << "</td><td>" << r.sleeps
          << "</td></tr></table>";
        if (!r.settings.empty()) {
            o << "<table class=\"settings\"><tr><th>input pin</th><th>value at the "
                 "start</th><th>from</th></tr>";
            for (const PinSetting &ps : r.settings)
                o << "<tr><td>" << esc(ps.pin) << "</td><td>" << esc(ps.value) << "</td><td>"
                  << esc(ps.origin) << "</td></tr>";
            o << "</table>";
        }
        PlotFrame f{total, p.rate, {}};
        if (index < p.modules.size())
            for (const auto &pc : p.modules[index].patch_changes)
                f.patch_changes.push_back(pc.first.clock(p.rate));
        std::sort(f.patch_changes.begin(), f.patch_changes.end());
        ++index;
        o << instance_plots(r, f) << time_axis(f);
        if (!f.patch_changes.empty()) {
            o << "<p class=\"legend\">Dashed lines: patch changes at ";
            for (size_t i = 0; i < f.patch_changes.size() && i < 20; ++i)
                o << (i ? ", " : "") << fmt(f.patch_changes[i] / p.rate) << " s";
            o << (f.patch_changes.size() > 20 ? " and more" : "") << ".</p>";
        }
        o << "</section>";
    }
    o << "</body></html>\n";
    return o.str();
}

} // namespace secli
