// report.cpp - the HTML report. Audio is drawn as a min/max envelope per
// column, values and GUI pins as steps, MIDI as marks with decoded labels.
#include "report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "writers.h"

namespace secli {
namespace {

constexpr double kW = 960, kH = 80, kLeft = 170;

std::string esc(const std::string &s) {
    std::string o;
    for (char c : s) {
        switch (c) {
        case '&': o += "&amp;"; break;
        case '<': o += "&lt;"; break;
        case '>': o += "&gt;"; break;
        case '"': o += "&quot;"; break;
        default: o += c;
        }
    }
    return o;
}

std::string num(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.1f", v);
    return b;
}

std::string fmt(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.3g", v);
    return b;
}

struct Frame {
    double total;
    double x(uint64_t clock) const { return kLeft + (kW - kLeft - 10) * std::min(1.0, clock / total); }
};

std::string svg_open(const std::string &title, const std::string &sub) {
    return "<svg width=\"" + num(kW) + "\" height=\"" + num(kH + 10) + "\" viewBox=\"0 0 " + num(kW) + " " +
           num(kH + 10) + "\"><rect x=\"" + num(kLeft) + "\" y=\"5\" width=\"" + num(kW - kLeft - 10) +
           "\" height=\"" + num(kH) + "\" class=\"bg\"/><text x=\"4\" y=\"30\" class=\"pin\">" + esc(title) +
           "</text><text x=\"4\" y=\"48\" class=\"sub\">" + esc(sub) + "</text>";
}

std::string audio_plot(const Trace &t, const Frame &f) {
    double peak = 0.1;
    for (size_t i = 0; i < t.lo.size(); ++i)
        if (std::isfinite(t.lo[i]))
            peak = std::max({peak, std::fabs(double(t.lo[i])), std::fabs(double(t.hi[i]))});
    auto y = [&](double v) { return 5 + kH / 2 - v / peak * (kH / 2 - 3); };
    std::string s = svg_open(t.pin, std::string(t.input ? "audio in" : "audio out") + ", \u00b1" + fmt(peak) + " V");
    s += "<line x1=\"" + num(kLeft) + "\" x2=\"" + num(kW - 10) + "\" y1=\"" + num(y(0)) + "\" y2=\"" + num(y(0)) +
         "\" class=\"axis\"/>";
    double colw = (kW - kLeft - 10) / t.lo.size();
    std::string path;
    for (size_t i = 0; i < t.lo.size(); ++i) {
        if (!std::isfinite(t.lo[i]))
            continue;
        double x = kLeft + colw * (i + 0.5);
        double y1 = y(t.hi[i]), y2 = y(t.lo[i]);
        if (y2 - y1 < 1)
            y2 = y1 + 1;
        path += "M" + num(x) + " " + num(y1) + "V" + num(y2);
    }
    s += "<path d=\"" + path + "\" class=\"wave\"/></svg>";
    return s;
}

std::string step_plot(const Trace &t, const Frame &f) {
    std::vector<std::pair<uint64_t, double>> steps = t.steps;
    std::stable_sort(steps.begin(), steps.end(), [](auto &a, auto &b) { return a.first < b.first; });
    double lo = 0, hi = 1;
    for (auto &st : steps) {
        lo = std::min(lo, st.second);
        hi = std::max(hi, st.second);
    }
    auto y = [&](double v) { return 5 + kH - 4 - (v - lo) / (hi - lo) * (kH - 18); };
    std::string kind = t.kind == "gui" ? "GUI pin" : std::string("value ") + (t.input ? "in" : "out");
    std::string s = svg_open(t.pin, kind + ", " + fmt(lo) + " to " + fmt(hi));
    if (steps.empty())
        return s + "<text x=\"" + num(kLeft + 8) + "\" y=\"48\" class=\"sub\">no changes</text></svg>";
    std::string path = "M" + num(f.x(steps[0].first)) + " " + num(y(steps[0].second));
    for (size_t i = 1; i < steps.size(); ++i)
        path += "H" + num(f.x(steps[i].first)) + "V" + num(y(steps[i].second));
    path += "H" + num(kW - 10);
    s += "<path d=\"" + path + "\" class=\"step\"/>";
    if (steps.size() <= 80) {
        double last_x = -100;
        for (auto &st : steps) {
            double x = f.x(st.first);
            if (x - last_x < 22)
                continue;
            last_x = x;
            long v = std::lround(st.second);
            std::string label = v >= 0 && static_cast<size_t>(v) < t.labels.size() && !t.labels[v].empty()
                                    ? t.labels[v]
                                    : fmt(st.second);
            s += "<text x=\"" + num(x + 2) + "\" y=\"" + num(y(st.second) - 3) + "\" class=\"lbl\">" + esc(label) +
                 "</text>";
        }
    }
    return s + "</svg>";
}

std::string midi_plot(const Trace &t, const Frame &f) {
    std::string s = svg_open(t.pin, std::string("MIDI ") + (t.input ? "in" : "out") + ", " +
                                        std::to_string(t.mark_count) + " messages");
    RpnDecoder rpn;
    double row_end[3] = {-1e9, -1e9, -1e9}; // labels in three rows, none overlapping
    for (auto &[clock, msg] : t.marks) {
        double x = f.x(clock);
        std::string decoded = rpn.feed(msg);
        std::string label = decoded.empty() ? describe_midi(msg) : decoded;
        label.erase(std::unique(label.begin(), label.end(), [](char a, char b) { return a == ' ' && b == ' '; }),
                    label.end());
        s += "<line x1=\"" + num(x) + "\" x2=\"" + num(x) + "\" y1=\"" + num(kH - 20) + "\" y2=\"" + num(kH + 4) +
             "\" class=\"mark\"><title>" + esc(label) + "</title></line>";
        if ((msg & 0xF0) == 0xB0 && decoded.empty())
            continue; // parts of a parameter message: labelled once, when complete
        for (int row = 0; row < 3; ++row) {
            if (x < row_end[row])
                continue;
            s += "<text x=\"" + num(x + 2) + "\" y=\"" + num(18 + 13 * row) + "\" class=\"lbl\">" + esc(label) +
                 "</text>";
            row_end[row] = x + 5.2 * label.size() + 8;
            break;
        }
    }
    return s + "</svg>";
}

std::string time_axis(const Frame &f, double rate) {
    double seconds = f.total / rate;
    double step = std::pow(10, std::floor(std::log10(seconds)));
    if (seconds / step < 4)
        step /= 2;
    std::string s = "<svg width=\"" + num(kW) + "\" height=\"20\">";
    for (double t = 0; t <= seconds + 1e-9; t += step) {
        double x = f.x(static_cast<uint64_t>(t * rate));
        s += "<line x1=\"" + num(x) + "\" x2=\"" + num(x) + "\" y1=\"0\" y2=\"6\" class=\"axis\"/><text x=\"" +
             num(x - 8) + "\" y=\"17\" class=\"sub\">" + fmt(t) + " s</text>";
    }
    return s + "</svg>";
}

} // namespace

std::string render_report(const Runner &runner, const std::string &title, const std::vector<ReportFile> &files) {
    const Patch &p = runner.patch();
    Frame f{static_cast<double>(std::max<uint64_t>(runner.total_samples(), 1))};
    std::ostringstream o;
    o << "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>" << esc(title) << "</title><style>"
      << "body{font-family:sans-serif;margin:20px;color:#222;max-width:1000px}"
      << "h2{border-bottom:1px solid #ccc;margin-top:32px}table{border-collapse:collapse;margin:6px 0}"
      << "td,th{border:1px solid #ddd;padding:2px 8px;text-align:left;font-size:13px}"
      << ".bg{fill:#f7f7f7;stroke:#ddd}.axis{stroke:#aaa}.wave{stroke:#1f5fa8;stroke-width:1}"
      << ".step{fill:none;stroke:#c0392b;stroke-width:1.5}.mark{stroke:#27ae60;stroke-width:1.5}"
      << ".pin{font-size:13px;font-weight:bold}.sub{font-size:11px;fill:#666}.lbl{font-size:10px;fill:#333}"
      << "svg{display:block}</style></head><body>";
    o << "<h1>" << esc(title) << "</h1><p>" << esc(p.origin) << ": " << fmt(runner.total_samples() / p.rate)
      << " s at " << p.rate << " Hz, blocks of " << p.block << " samples"
      << (p.split_seed ? ", split at random (seed " + std::to_string(*p.split_seed) + ")" : std::string())
      << ", host version " << p.host_version << ".</p>";
    o << "<table><tr><th>file</th><th>what</th></tr>";
    for (const ReportFile &file : files)
        o << "<tr><td><a href=\"" << esc(file.name) << "\">" << esc(file.name) << "</a></td><td>" << esc(file.what)
          << "</td></tr>";
    o << "</table>";
    for (const InstanceRecord &r : runner.records()) {
        o << "<h2>" << esc(r.name) << " <small>(" << esc(r.plugin) << ": " << esc(r.module_name) << ")</small></h2>";
        double asleep = r.blocks ? 100.0 * r.blocks_asleep / r.blocks : 0;
        o << "<table><tr><th>process calls</th><th>blocks asleep</th><th>statuses sent</th><th>MIDI sent</th>"
          << "<th>GUI writes</th><th>messages to GUI</th><th>sleep requests</th></tr><tr><td>" << r.process_calls
          << "</td><td>" << r.blocks_asleep << " of " << r.blocks << " (" << fmt(asleep) << " %)</td><td>"
          << r.statuses << "</td><td>" << r.midi_sent << "</td><td>" << r.gui_writes << "</td><td>" << r.to_gui
          << "</td><td>" << r.sleeps << "</td></tr></table>";
        if (!r.settings.empty()) {
            o << "<table><tr><th>setting</th><th>value</th></tr>";
            for (auto &[pin, value] : r.settings)
                o << "<tr><td>" << esc(pin) << "</td><td>" << esc(value) << "</td></tr>";
            o << "</table>";
        }
        for (int pass = 0; pass < 2; ++pass) // inputs first, then outputs
            for (const Trace &t : r.traces) {
                if (t.input != (pass == 0))
                    continue;
                if (t.input && (t.kind == "value" || t.kind == "gui") && t.steps.size() <= 1)
                    continue; // a fixed setting: shown in the table above
                if (t.kind == "audio")
                    o << audio_plot(t, f);
                else if (t.kind == "midi")
                    o << midi_plot(t, f);
                else
                    o << step_plot(t, f);
            }
        o << time_axis(f, p.rate);
    }
    o << "</body></html>\n";
    return o.str();
}

} // namespace secli
