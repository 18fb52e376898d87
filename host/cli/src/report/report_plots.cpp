// report_plots.cpp - drawing traces. Audio comes as the runner's min/max
// buckets; value and GUI traces are reduced to one column per pixel (the
// value entering the column, its low and high within it and the value
// leaving it); MIDI lanes are split into notes (bars on a note axis),
// RPN/NRPN values (the 14-bit value curve each parameter carries) and other
// messages (marks with labels packed in rows that stay inside the plot).
#include "report/report_plots.h"

#include <algorithm>
#include <bitset>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <map>

#include "common/text.h"
#include "midi/midi_text.h"
#include "se_plugin.h"

namespace secli {

// The precision-given forms of std::to_chars write what printf writes for
// "%.*f" and "%.*g" (the value's exact decimal expansion, rounded), without
// the format parser: a report writes thousands of coordinates.
std::string fixed_text(double v, int decimals)
{
    char b[400];
    return std::string(b,
                       std::to_chars(b, b + sizeof b, v, std::chars_format::fixed, decimals).ptr);
}

std::string general_text(double v, int digits)
{
    char b[64];
    return std::string(b,
                       std::to_chars(b, b + sizeof b, v, std::chars_format::general, digits).ptr);
}

namespace {

constexpr double kW = 960, kLeft = 96, kRight = kW - 14, kTop = 24, kH = 80;
constexpr double kBottom = kTop + kH;
constexpr int kCols = static_cast<int>(kRight - kLeft);
constexpr double kCharW = 6.2;     // width of a 10px label character, generously
constexpr size_t kMaxLabels = 240; // per plot
constexpr size_t kMaxBars = 3000;  // note bars before notes fold to an envelope
constexpr int kCurves = 6;         // parameter curves per lane; more share the last

std::string num(double v)
{
    return fixed_text(v, 1);
}

std::string fmt(double v)
{
    return general_text(v, 4);
}

int column(const PlotFrame &f, uint64_t clock)
{
    double c = std::floor(static_cast<double>(clock) / f.total * kCols);
    return static_cast<int>(std::clamp(c, 0.0, kCols - 1.0));
}

double colx(int c)
{
    return kLeft + c + 0.5;
}

// Labels that never overlap each other and stay inside the plot: a label
// takes the first of its candidate heights where its box is free, lies left
// of its mark when it would pass the right edge, and is cut short when wider
// than the plot; with no room it is left out (the mark's tooltip has it).
class Labels
{
public:
    std::string place(double x, const std::vector<double> &ys, std::string text)
    {
        if (m_boxes.size() >= kMaxLabels)
            return {};
        size_t most = static_cast<size_t>((kRight - kLeft - 4) / kCharW);
        if (text.size() > most)
            text = text.substr(0, most - 1) + "~";
        double w = kCharW * text.size();
        double left = x + 2 > kRight - w ? std::max(kLeft + 1, x - 2 - w) : x + 2;
        for (double y : ys) {
            y = std::clamp(y, kTop + 10, kBottom - 2);
            Box b{left, left + w, y - 9, y + 2};
            if (std::any_of(m_boxes.begin(), m_boxes.end(),
                            [&](const Box &o) { return o.overlaps(b); }))
                continue;
            m_boxes.push_back(b);
            return "<text x=\"" + num(left) + "\" y=\"" + num(y) + "\" class=\"lbl\">" + esc(text) +
                   "</text>";
        }
        return {};
    }

private:
    struct Box {
        double l, r, t, b;
        bool overlaps(const Box &o) const
        {
            return l < o.r + 3 && o.l < r + 3 && t < o.b && o.t < b;
        }
    };
    std::vector<Box> m_boxes;
};

struct Axis {
    double lo, hi;
    double y(double v) const { return kBottom - 3 - (v - lo) / (hi - lo) * (kH - 6); }
};

std::string open_plot(const std::string &title, const std::string &sub, const std::string &kind)
{
    return "<svg class=\"plot\" data-kind=\"" + kind + "\" width=\"" + num(kW) + "\" height=\"" +
           num(kBottom + 6) + "\" viewBox=\"0 0 " + num(kW) + " " + num(kBottom + 6) +
           "\"><text x=\"4\" y=\"16\"><tspan class=\"pin\">" + esc(title) +
           "</tspan><tspan class=\"sub\" dx=\"10\">" + esc(sub) + "</tspan></text><rect x=\"" +
           num(kLeft) + "\" y=\"" + num(kTop) + "\" width=\"" + num(kRight - kLeft) +
           "\" height=\"" + num(kH) + "\" class=\"bg\"/>";
}

// Ticks on the left edge with their labels (unit included), and light grid lines.
std::string y_ticks(const Axis &a, const std::vector<std::pair<double, std::string>> &ticks)
{
    std::string s;
    for (const auto &[v, label] : ticks) {
        if (v < a.lo - 1e-9 || v > a.hi + 1e-9)
            continue;
        double y = a.y(v);
        std::string text = label;
        size_t most = static_cast<size_t>((kLeft - 12) / kCharW);
        if (text.size() > most)
            text = text.substr(0, most - 1) + "~";
        s += "<line x1=\"" + num(kLeft - 4) + "\" x2=\"" + num(kRight) + "\" y1=\"" + num(y) +
             "\" y2=\"" + num(y) + "\" class=\"grid\"/><text x=\"" + num(kLeft - 6) + "\" y=\"" +
             num(y + 3.5) + "\" class=\"tick\" text-anchor=\"end\">" + esc(text) + "<title>" +
             esc(label) + "</title></text>";
    }
    return s;
}

std::string patch_change_marks(const PlotFrame &f)
{
    std::string s;
    int last = -1;
    for (uint64_t pc : f.patch_changes) {
        int c = column(f, pc);
        if (c == last)
            continue;
        last = c;
        s += "<line x1=\"" + num(colx(c)) + "\" x2=\"" + num(colx(c)) + "\" y1=\"" + num(kTop) +
             "\" y2=\"" + num(kBottom) + "\" class=\"pc\"><title>patch change at " +
             fmt(pc / f.rate) + " s</title></line>";
    }
    return s;
}

// Steps reduced to columns: the value entering, the range within, the value leaving.
struct StepCol {
    bool any = false;
    double first = 0, last = 0, lo = 0, hi = 0;
};

std::vector<StepCol> step_columns(const std::vector<std::pair<uint64_t, double>> &steps,
                                  const PlotFrame &f)
{
    std::vector<StepCol> cols(kCols);
    for (const auto &[clock, v] : steps) {
        if (!std::isfinite(v)) // a GUI float may hold anything; not drawable
            continue;
        StepCol &c = cols[static_cast<size_t>(column(f, clock))];
        if (!c.any)
            c = StepCol{true, v, v, v, v};
        c.last = v;
        c.lo = std::min(c.lo, v);
        c.hi = std::max(c.hi, v);
    }
    return cols;
}

std::string step_path(const std::vector<StepCol> &cols, const Axis &a, const std::string &cls)
{
    std::string path;
    for (int c = 0; c < kCols; ++c) {
        const StepCol &k = cols[static_cast<size_t>(c)];
        if (!k.any)
            continue;
        double x = c == 0 ? kLeft : colx(c);
        path += path.empty() ? "M" + num(x) + " " + num(a.y(k.first))
                             : "H" + num(x) + "V" + num(a.y(k.first));
        if (k.lo < k.hi)
            path += "M" + num(x) + " " + num(a.y(k.lo)) + "V" + num(a.y(k.hi)) + "M" + num(x) +
                    " " + num(a.y(k.last));
        else if (k.last != k.first)
            path += "V" + num(a.y(k.last));
    }
    if (path.empty())
        return {};
    return "<path d=\"" + path + "H" + num(kRight) + "\" class=\"" + cls + "\"/>";
}

std::string choice_label(const Trace &t, double v)
{
    long i = std::lround(v);
    if (t.datatype == DT_BOOLEAN)
        return v != 0 ? "ON" : "OFF";
    if (i >= 0 && static_cast<size_t>(i) < t.labels.size() &&
        !t.labels[static_cast<size_t>(i)].empty() && i == v)
        return t.labels[static_cast<size_t>(i)];
    return fmt(v);
}

std::string audio_plot(const Trace &t, const std::string &title, const PlotFrame &f)
{
    double lo = 0, hi = 0;
    for (size_t i = 0; i < t.lo.size(); ++i)
        if (std::isfinite(t.lo[i])) {
            lo = std::min(lo, double(t.lo[i]));
            hi = std::max(hi, double(t.hi[i]));
        }
    if (hi - lo < 1e-6) {
        lo -= 1;
        hi += 1;
    }
    std::vector<double> ticks = nice_ticks(lo, hi, 5);
    if (ticks.size() >= 2 && ticks.back() < hi) // a tick above the highest value too
        ticks.push_back(ticks.back() + (ticks[1] - ticks[0]));
    Axis a{std::min(lo, ticks.front()), std::max(hi, ticks.back())};
    std::string s =
        open_plot(title, std::string(t.input ? "audio in" : "audio out") + ", volts", "audio");
    std::vector<std::pair<double, std::string>> labelled;
    for (double v : ticks)
        labelled.emplace_back(v, fmt(v) + " V");
    s += y_ticks(a, labelled);
    double colw = (kRight - kLeft) / std::max<size_t>(t.lo.size(), 1);
    std::string path;
    for (size_t i = 0; i < t.lo.size(); ++i) {
        if (!std::isfinite(t.lo[i]))
            continue;
        double x = kLeft + colw * (i + 0.5);
        double top = t.hi[i], bottom = t.lo[i];
        if (i > 0 && std::isfinite(t.lo[i - 1])) { // join a jump from the column before
            top = std::max(top, double(t.lo[i - 1]));
            bottom = std::min(bottom, double(t.hi[i - 1]));
        }
        double y1 = a.y(top), y2 = a.y(bottom);
        if (y2 - y1 < 1)
            y2 = y1 + 1;
        path += "M" + num(x) + " " + num(y1) + "V" + num(y2);
    }
    if (!path.empty())
        s += "<path d=\"" + path + "\" class=\"wave\"/>";
    return s + patch_change_marks(f) + "</svg>";
}

std::string step_plot(const Trace &t, const std::string &title, const PlotFrame &f)
{
    std::vector<std::pair<uint64_t, double>> steps = t.steps;
    std::stable_sort(steps.begin(), steps.end(),
                     [](auto &a, auto &b) { return a.first < b.first; });
    double lo = INFINITY, hi = -INFINITY;
    for (auto &st : steps)
        if (std::isfinite(st.second)) {
            lo = std::min(lo, st.second);
            hi = std::max(hi, st.second);
        }
    bool choice = !t.labels.empty(), boolean = t.datatype == DT_BOOLEAN;
    bool whole = choice || t.datatype == DT_CHOICE; // an index without a list too
    if (boolean || lo > hi) {
        lo = std::min(0.0, lo);
        hi = std::max(1.0, hi);
    }
    if (hi - lo < 1e-9) { // one value all along: the axis reaches zero
        lo = std::min(lo, 0.0);
        hi = std::max(hi, 0.0);
        if (hi - lo < 1e-9)
            hi = lo + 1;
    }
    std::string kind =
        t.kind == "gui" ? "GUI pin" : std::string("value ") + (t.input ? "in" : "out");
    std::string what = boolean  ? "bool"
                       : choice ? "choice (list entries)"
                       : whole  ? "choice (number)"
                                : "number";
    std::string s = open_plot(title, kind + ", " + what, t.kind);
    std::vector<std::pair<double, std::string>> ticks;
    if (boolean) {
        ticks = {{0, "OFF"}, {1, "ON"}};
    } else {
        for (double v : nice_ticks(lo, hi, choice ? 4 : 5))
            if (!whole || v == std::floor(v))
                ticks.emplace_back(v, choice ? choice_label(t, v) : fmt(v));
        lo = std::min(lo, ticks.front().first);
        hi = std::max(hi, ticks.back().first);
    }
    Axis a{lo, hi};
    s += y_ticks(a, ticks);
    if (steps.empty())
        return s + "<text x=\"" + num(kLeft + 8) + "\" y=\"" + num(kTop + kH / 2) +
               "\" class=\"sub\">no value yet</text>" + patch_change_marks(f) + "</svg>";
    s += step_path(step_columns(steps, f), a, "step");
    // Labels of the values taken, while there are few enough to read.
    if (steps.size() <= 80) {
        Labels labels;
        double prev = NAN;
        for (auto &st : steps) {
            if (st.second == prev)
                continue;
            prev = st.second;
            double x = kLeft + (kRight - kLeft) * std::min(1.0, st.first / f.total);
            s += labels.place(x, {a.y(st.second) - 3, a.y(st.second) + 11},
                              choice_label(t, st.second));
        }
    }
    return s + patch_change_marks(f) + "</svg>";
}

// ---------------------------------------------------------------- MIDI

struct ParamValue {
    uint64_t clock;
    int curve;
    int value;
};

struct MidiLane {
    std::vector<std::pair<uint64_t, int32_t>> other; // messages neither notes nor parameter parts
    std::vector<std::string> curve_names;            // "NRPN ch 1 #74"
    std::vector<ParamValue> values;
    struct Bar {
        uint64_t from, to;
        int note;
    };
    std::vector<Bar> bars;
    size_t notes_on = 0;
};

bool parameter_part(int32_t m)
{
    if ((m & 0xF0) != 0xB0)
        return false;
    int cc = (m >> 8) & 0x7F;
    return cc == 101 || cc == 100 || cc == 99 || cc == 98 || cc == 6 || cc == 38;
}

MidiLane split_lane(const Trace &t, const PlotFrame &f)
{
    std::vector<std::pair<uint64_t, int32_t>> marks = t.marks;
    std::stable_sort(marks.begin(), marks.end(),
                     [](auto &a, auto &b) { return a.first < b.first; });
    MidiLane lane;
    RpnDecoder rpn;
    std::map<std::string, int> curves;
    int64_t on_since[16][128];
    for (auto &row : on_since)
        std::fill(std::begin(row), std::end(row), -1);
    auto end_note = [&](int ch, int note, uint64_t clock) {
        if (on_since[ch][note] >= 0)
            lane.bars.push_back({static_cast<uint64_t>(on_since[ch][note]), clock, note});
        on_since[ch][note] = -1;
    };
    for (auto &[clock, m] : marks) {
        int status = m & 0xF0, ch = m & 15, d1 = (m >> 8) & 0x7F, d2 = (m >> 16) & 0x7F;
        RpnValue decoded;
        if (rpn.feed(m, decoded)) {
            std::string name = std::string(decoded.nrpn ? "NRPN" : "RPN") + " ch " +
                               std::to_string(decoded.channel) + " #" +
                               std::to_string(decoded.param);
            auto it = curves.find(name);
            if (it == curves.end()) {
                int index = std::min<int>(static_cast<int>(curves.size()), kCurves - 1);
                if (index == kCurves - 1 && static_cast<int>(lane.curve_names.size()) == kCurves)
                    lane.curve_names.back() = "other parameters";
                else
                    lane.curve_names.push_back(name);
                it = curves.emplace(name, index).first;
            }
            lane.values.push_back({clock, it->second, decoded.value});
            continue;
        }
        if (parameter_part(m))
            continue;
        if (status == 0x90 && d2 > 0) {
            end_note(ch, d1, clock);
            on_since[ch][d1] = static_cast<int64_t>(clock);
            ++lane.notes_on;
        } else if (status == 0x80 || status == 0x90) {
            end_note(ch, d1, clock);
        } else {
            if (status == 0xB0 && (d1 == 120 || d1 == 123))
                for (int n = 0; n < 128; ++n)
                    end_note(ch, n, clock);
            lane.other.emplace_back(clock, m);
        }
    }
    for (int ch = 0; ch < 16; ++ch)
        for (int n = 0; n < 128; ++n)
            end_note(ch, n, static_cast<uint64_t>(f.total));
    return lane;
}

std::string short_midi(int32_t m)
{
    std::string d = describe_midi(m);
    d.erase(std::unique(d.begin(), d.end(), [](char a, char b) { return a == ' ' && b == ' '; }),
            d.end());
    int status = m & 0xF0, d1 = (m >> 8) & 0x7F;
    if (status == 0xB0 && d1 == 123)
        return "all notes off ch " + std::to_string((m & 15) + 1);
    return d;
}

// Other messages: a mark per column that holds any, labelled in rows.
std::string other_marks(const MidiLane &lane, const PlotFrame &f, Labels &labels,
                        const std::vector<double> &rows)
{
    std::string s;
    size_t i = 0;
    while (i < lane.other.size()) {
        int c = column(f, lane.other[i].first);
        size_t j = i;
        while (j < lane.other.size() && column(f, lane.other[j].first) == c)
            ++j;
        std::string label = short_midi(lane.other[i].second);
        std::string more = j - i > 1 ? " (+" + std::to_string(j - i - 1) + " more)" : "";
        s += "<line x1=\"" + num(colx(c)) + "\" x2=\"" + num(colx(c)) + "\" y1=\"" + num(kTop) +
             "\" y2=\"" + num(kBottom) + "\" class=\"mark\"><title>" +
             esc(fmt(lane.other[i].first / f.rate) + " s: " + label + more) + "</title></line>";
        s += labels.place(colx(c), rows, label);
        i = j;
    }
    return s;
}

std::string notes_plot(const Trace &t, const std::string &title, const MidiLane &lane,
                       const PlotFrame &f)
{
    int lo = 127, hi = 0;
    for (const auto &b : lane.bars) {
        lo = std::min(lo, b.note);
        hi = std::max(hi, b.note);
    }
    lo = std::max(0, lo - 2);
    hi = std::min(127, hi + 2);
    Axis a{lo - 0.5, hi + 0.5};
    std::string s = open_plot(title,
                              std::string("MIDI ") + (t.input ? "in" : "out") + ", " +
                                  std::to_string(t.mark_count) + " messages: notes (" +
                                  std::to_string(lane.notes_on) + " note-ons) by pitch",
                              "midi");
    std::vector<std::pair<double, std::string>> ticks;
    int step = hi - lo <= 12 ? 2 : hi - lo <= 24 ? 4 : hi - lo <= 48 ? 12 : 24; // C falls on a tick
    for (int v = (lo + step - 1) / step * step; v <= hi; v += step)
        ticks.emplace_back(v, note_name(v));
    s += y_ticks(a, ticks);
    double bar_h = std::max(2.0, (kH - 6) / (hi - lo + 1) - 1);
    // Bars by column per note, joined along runs of columns.
    std::vector<std::bitset<kCols>> on(128);
    for (const auto &b : lane.bars) {
        int c0 = column(f, b.from), c1 = std::max(c0, column(f, b.to > b.from ? b.to - 1 : b.from));
        for (int c = c0; c <= c1; ++c)
            on[static_cast<size_t>(b.note)].set(static_cast<size_t>(c));
    }
    std::string bars;
    size_t count = 0;
    for (int n = lo; n <= hi; ++n)
        for (int c = 0; c < kCols; ++c) {
            if (!on[static_cast<size_t>(n)].test(static_cast<size_t>(c)))
                continue;
            int e = c;
            while (e + 1 < kCols && on[static_cast<size_t>(n)].test(static_cast<size_t>(e + 1)))
                ++e;
            if (++count <= kMaxBars)
                bars += "<rect x=\"" + num(kLeft + c) + "\" y=\"" + num(a.y(n) - bar_h / 2) +
                        "\" width=\"" + num(e - c + 1) + "\" height=\"" + num(bar_h) +
                        "\" class=\"note\"/>";
            c = e;
        }
    if (count > kMaxBars) { // too many to draw one by one: the range sounding per column
        std::string path;
        for (int c = 0; c < kCols; ++c) {
            int nlo = -1, nhi = -1;
            for (int n = lo; n <= hi; ++n)
                if (on[static_cast<size_t>(n)].test(static_cast<size_t>(c))) {
                    nlo = nlo < 0 ? n : nlo;
                    nhi = n;
                }
            if (nlo >= 0)
                path += "M" + num(colx(c)) + " " + num(a.y(nhi) - bar_h / 2) + "V" +
                        num(a.y(nlo) + bar_h / 2);
        }
        bars = "<path d=\"" + path + "\" class=\"notes\"/>";
    }
    s += bars;
    // Note names at the start of their bars, where there is room.
    Labels labels;
    std::string marks = other_marks(lane, f, labels, {kTop + 10, kTop + 21, kTop + 32});
    for (const auto &b : lane.bars) {
        double x = kLeft + (kRight - kLeft) * std::min(1.0, b.from / f.total);
        s += labels.place(x, {a.y(b.note) - bar_h / 2 - 1.5, a.y(b.note) + bar_h / 2 + 10},
                          note_name(b.note));
    }
    s += marks;
    return s + patch_change_marks(f) + "</svg>";
}

const char *kCurveClass[kCurves] = {"curve c0", "curve c1", "curve c2",
                                    "curve c3", "curve c4", "curve c5"};

std::string values_plot(const Trace &t, const std::string &title, const MidiLane &lane,
                        const PlotFrame &f)
{
    std::string names;
    for (size_t i = 0; i < lane.curve_names.size(); ++i)
        names += (i ? ", " : "") + lane.curve_names[i];
    std::string s = open_plot(
        title,
        std::string("MIDI ") + (t.input ? "in" : "out") + ", " + std::to_string(t.mark_count) +
            " messages: " + std::to_string(lane.values.size()) + " parameter values of " + names,
        "midi");
    Axis a{0, 16383};
    s += y_ticks(a, {{0, "0"}, {4096, "4096"}, {8192, "8192"}, {12288, "12288"}, {16383, "16383"}});
    for (int k = 0; k < static_cast<int>(lane.curve_names.size()); ++k) {
        std::vector<std::pair<uint64_t, double>> steps;
        for (const ParamValue &v : lane.values)
            if (v.curve == k)
                steps.emplace_back(v.clock, v.value);
        s += step_path(step_columns(steps, f), a, kCurveClass[k]);
    }
    Labels labels;
    s += other_marks(lane, f, labels, {kTop + 10, kTop + 21, kTop + 32});
    return s + patch_change_marks(f) + "</svg>";
}

std::string messages_plot(const Trace &t, const std::string &title, const MidiLane &lane,
                          const PlotFrame &f)
{
    std::string s = open_plot(title,
                              std::string("MIDI ") + (t.input ? "in" : "out") + ", " +
                                  std::to_string(t.mark_count) + " messages by data value",
                              "midi");
    Axis a{0, 127};
    s += y_ticks(a, {{0, "0"}, {32, "32"}, {64, "64"}, {96, "96"}, {127, "127"}});
    if (lane.other.empty())
        return s + "<text x=\"" + num(kLeft + 8) + "\" y=\"" + num(kTop + kH / 2) +
               "\" class=\"sub\">no messages</text>" + patch_change_marks(f) + "</svg>";
    // The data value of each message (the second data byte where there is one).
    std::vector<std::pair<uint64_t, double>> data;
    for (auto &[clock, m] : lane.other) {
        int status = m & 0xF0;
        bool one = status == 0xC0 || status == 0xD0;
        data.emplace_back(clock, one ? (m >> 8) & 0x7F : (m >> 16) & 0x7F);
    }
    std::string path;
    std::vector<StepCol> cols = step_columns(data, f);
    for (int c = 0; c < kCols; ++c)
        if (cols[static_cast<size_t>(c)].any)
            path += "M" + num(colx(c)) + " " + num(a.y(cols[static_cast<size_t>(c)].hi) - 1.5) +
                    "V" + num(a.y(cols[static_cast<size_t>(c)].lo) + 1.5);
    s += "<path d=\"" + path + "\" class=\"dots\"/>";
    Labels labels;
    s += other_marks(lane, f, labels, {kTop + 10, kTop + 21, kTop + 32});
    return s + patch_change_marks(f) + "</svg>";
}

std::string midi_plots(const Trace &t, const std::string &title, const PlotFrame &f)
{
    MidiLane lane = split_lane(t, f);
    std::string s;
    if (!lane.bars.empty())
        s += notes_plot(t, title, lane, f);
    if (!lane.values.empty()) {
        MidiLane values = lane;
        if (!lane.bars.empty())
            values.other.clear(); // marked on the notes already
        s += values_plot(t, title, values, f);
    }
    if (s.empty())
        s = messages_plot(t, title, lane, f);
    return s;
}

} // namespace

std::string esc(const std::string &text)
{
    const std::string s = valid_utf8(text); // a plug-in's names may hold any bytes
    std::string o;
    for (char c : s) {
        switch (c) {
        case '&':
            o += "&amp;";
            break;
        case '<':
            o += "&lt;";
            break;
        case '>':
            o += "&gt;";
            break;
        case '"':
            o += "&quot;";
            break;
        default:
            o += c;
        }
    }
    return o;
}

std::string note_name(int note)
{
    static const char *names[12] = {"C",  "C#", "D",  "D#", "E",  "F",
                                    "F#", "G",  "G#", "A",  "A#", "B"};
    return names[note % 12] + std::to_string(note / 12 - 1);
}

std::vector<double> nice_ticks(double lo, double hi, int most)
{
    most = std::max(most, 2);
    if (!(hi > lo) || !std::isfinite(lo) || !std::isfinite(hi))
        return {std::isfinite(lo) ? lo : 0.0};
    double raw = (hi - lo) / (most - 1), mag = std::pow(10, std::floor(std::log10(raw))),
           step = mag * 10;
    for (double m : {1.0, 2.0, 2.5, 5.0, 10.0})
        if (mag * m >= raw) {
            step = mag * m;
            break;
        }
    std::vector<double> out;
    // Bounded by count too: a step below the values' resolution would not move v.
    for (double v = std::floor(lo / step + 1e-9) * step;
         (v <= hi + step * 1e-9 || out.size() < 2) && static_cast<int>(out.size()) <= most;
         v += step)
        out.push_back(std::fabs(v) < step * 1e-9 ? 0.0 : v);
    while (static_cast<int>(out.size()) > most + 1)
        out.pop_back();
    return out;
}

std::string fold_names(const std::vector<std::string> &names)
{
    if (names.size() < 2)
        return names.empty() ? std::string() : names[0];
    size_t pre = names[0].size(), suf = names[0].size();
    for (const std::string &n : names) {
        size_t i = 0;
        while (i < pre && i < n.size() && n[i] == names[0][i])
            ++i;
        pre = i;
        size_t j = 0;
        while (j < suf && j < n.size() && n[n.size() - 1 - j] == names[0][names[0].size() - 1 - j])
            ++j;
        suf = j;
    }
    // Never split a number: "Parent 12" and "Parent 13" differ in "12", "13".
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    while (pre > 0 && digit(names[0][pre - 1]))
        --pre;
    while (suf > 0 && digit(names[0][names[0].size() - suf]))
        --suf;
    std::vector<std::string> middles;
    bool numbers = true;
    for (const std::string &n : names) {
        if (pre + suf > n.size()) { // no frame: the names as they are
            std::string all;
            for (const std::string &x : names)
                all += (all.empty() ? "" : ", ") + x;
            return all;
        }
        middles.push_back(n.substr(pre, n.size() - pre - suf));
        numbers = numbers && !middles.back().empty() && middles.back().size() < 6 &&
                  std::all_of(middles.back().begin(), middles.back().end(), digit);
    }
    std::string list;
    for (size_t i = 0; i < middles.size(); ++i) {
        size_t j = i;
        if (numbers) // runs of consecutive numbers: "4-6"
            while (j + 1 < middles.size() && std::stoi(middles[j + 1]) == std::stoi(middles[j]) + 1)
                ++j;
        std::string run = j > i + 1 ? "-" + middles[j] : j == i + 1 ? ", " + middles[j] : "";
        list += (list.empty() ? "" : ", ") + middles[i] + run;
        i = j;
    }
    return names[0].substr(0, pre) + list + names[0].substr(names[0].size() - suf);
}

std::string plot_trace(const Trace &t, const std::string &title, const PlotFrame &f)
{
    if (t.kind == "audio")
        return audio_plot(t, title, f);
    if (t.kind == "midi")
        return midi_plots(t, title, f);
    return step_plot(t, title, f);
}

std::string time_axis(const PlotFrame &f)
{
    double seconds = f.total / f.rate;
    std::vector<double> ticks = nice_ticks(0, seconds, 9);
    // A viewBox as the plots have, so that it scales with them.
    std::string s = "<svg class=\"time\" width=\"" + num(kW) + "\" height=\"22\" viewBox=\"0 0 " +
                    num(kW) + " 22\">";
    for (double t : ticks) {
        if (t > seconds * (1 + 1e-9))
            break;
        double x = kLeft + (kRight - kLeft) * std::min(1.0, t / seconds);
        s += "<line x1=\"" + num(x) + "\" x2=\"" + num(x) +
             "\" y1=\"0\" y2=\"6\" class=\"axis\"/><text x=\"" + num(x) +
             "\" y=\"17\" class=\"tick\" text-anchor=\"" + (x > kRight - 20 ? "end" : "middle") +
             "\">" + fmt(t) + " s</text>";
    }
    return s + "</svg>";
}

} // namespace secli
