// report_test.cpp - report.html read back as a reader would see it: the
// plots of each instance (their axes, labels, marks and curves), the table
// of every input pin's value, equal plots folded, and a size that does not
// grow with the number of MIDI messages.
#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <regex>
#include <set>

#include "cli_support.h"
#include "report/report_plots.h"

namespace {

using namespace se_cli;

// ---------------------------------------------------------------- reading the page

// (std::regex recurses per character: long paths are read by hand.)
std::string attr(const std::string &tag, const std::string &name)
{
    size_t at = tag.find(" " + name + "=\"");
    if (at == std::string::npos || at > tag.find('>'))
        return {};
    at += name.size() + 3;
    return tag.substr(at, tag.find('"', at) - at);
}

double num_attr(const std::string &tag, const std::string &name)
{
    std::string v = attr(tag, name);
    EXPECT_FALSE(v.empty()) << name << " missing in " << tag.substr(0, 120);
    return v.empty() ? NAN : std::stod(v);
}

// Every element `<name ...>` (with its text up to the closing tag for text elements).
std::vector<std::string> elements(const std::string &svg, const std::string &name)
{
    std::vector<std::string> out;
    for (size_t at = svg.find("<" + name + " "); at != std::string::npos;
         at = svg.find("<" + name + " ", at + 1)) {
        size_t end = name == "text" ? svg.find("</text>", at) : svg.find('>', at);
        out.push_back(svg.substr(at, end - at));
    }
    return out;
}

std::string text_of(const std::string &element)
{
    std::string t = element.substr(element.find('>') + 1);
    return t.substr(0, t.find('<'));
}

std::string unescape(std::string s)
{
    const std::pair<std::string, std::string> entities[] = {
        {"&amp;", "&"}, {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}};
    for (const auto &[from, to] : entities)
        for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + 1))
            s.replace(at, from.size(), to);
    return s;
}

struct Plot {
    std::string svg, title, sub, kind;
    double left = NAN, right = NAN, top = NAN, bottom = NAN; // the plotting area
};

struct Section {
    std::string html;
    std::vector<Plot> plots;
    std::vector<std::vector<std::string>> settings; // rows of the input pin table
};

Section section(const std::string &page, const std::string &instance)
{
    Section s;
    size_t at = page.find("<section class=\"instance\" id=\"" + instance + "\"");
    EXPECT_NE(at, std::string::npos) << "no section for " << instance;
    if (at == std::string::npos)
        return s;
    s.html = page.substr(at, page.find("</section>", at) - at);
    for (size_t p = s.html.find("<svg class=\"plot\""); p != std::string::npos;
         p = s.html.find("<svg class=\"plot\"", p + 1)) {
        Plot plot;
        plot.svg = s.html.substr(p, s.html.find("</svg>", p) - p);
        plot.kind = attr(plot.svg, "data-kind");
        std::smatch m;
        std::regex title("class=\"pin\">([^<]*)</tspan><tspan class=\"sub\"[^>]*>([^<]*)<");
        if (std::regex_search(plot.svg, m, title)) {
            plot.title = unescape(m[1]);
            plot.sub = unescape(m[2]);
        }
        for (const std::string &rect : elements(plot.svg, "rect"))
            if (attr(rect, "class") == "bg") {
                plot.left = num_attr(rect, "x");
                plot.top = num_attr(rect, "y");
                plot.right = plot.left + num_attr(rect, "width");
                plot.bottom = plot.top + num_attr(rect, "height");
            }
        s.plots.push_back(plot);
    }
    size_t table = s.html.find("<table class=\"settings\">");
    if (table != std::string::npos) {
        std::string t = s.html.substr(table, s.html.find("</table>", table) - table);
        std::regex row("<tr><td>([^<]*)</td><td>([^<]*)</td><td>([^<]*)</td></tr>");
        for (std::sregex_iterator i(t.begin(), t.end(), row), e; i != e; ++i)
            s.settings.push_back({unescape((*i)[1]), unescape((*i)[2]), unescape((*i)[3])});
    }
    return s;
}

const Plot *find_plot(const Section &s, const std::string &title, const std::string &kind = "")
{
    for (const Plot &p : s.plots)
        if (p.title == title && (kind.empty() || p.kind == kind))
            return &p;
    ADD_FAILURE() << "no plot \"" << title << "\"";
    return nullptr;
}

// Points of a path's M/H/V commands, in order.
std::vector<std::pair<double, double>> path_points(const std::string &d)
{
    std::vector<std::pair<double, double>> out;
    double x = 0, y = 0;
    const char *p = d.c_str();
    while (*p) {
        char c = *p++;
        char *end = nullptr;
        double v = std::strtod(p, &end);
        if (end == p)
            break;
        p = end;
        if (c == 'M') {
            x = v;
            y = std::strtod(p, &end);
            p = end;
        } else if (c == 'H') {
            x = v;
        } else if (c == 'V') {
            y = v;
        } else {
            ADD_FAILURE() << "unexpected path command " << c;
            break;
        }
        out.emplace_back(x, y);
    }
    return out;
}

std::string render_report(const std::string &name, std::vector<std::string> args)
{
    std::string out = fresh_dir(name);
    args.insert(args.end(), {"-o", out});
    Result r = sehost(args);
    EXPECT_EQ(r.status, 0) << r.err;
    return slurp(out + "/report.html");
}

json pins_of(const std::string &plugin)
{
    Result r = sehost({"info", plugin, "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    json info = json::parse(r.out);
    if (info.is_object() && info.contains("plugins"))
        info = info["plugins"];
    if (info.is_array())
        info = info[0];
    return info["pins"];
}

// A patch with a plot of every kind: audio, value, bool and choice GUI
// pins, MIDI notes, RPN/NRPN values and other MIDI messages.
const char *kEveryKind = R"json({
  "rate": 44100, "block": 256, "duration": "1s",
  "sources": {"ramp": "ramp:0:10", "gate": "const:5"},
  "modules": [
    {"name": "rpn", "plugin": "cv_to_rpn", "set": {"Bit Depth": "14", "Parameter#": "74"}},
    {"name": "router", "plugin": "midi_choice",
     "midi": ["0.1s=on 1 60 100", "0.3s=off 1 60", "0.5s=on 1 67 90", "0.999s=cc 1 7 127"]},
    {"name": "toggle", "plugin": "bool_volts", "at": [{"time": "0.5s", "set": {"Bool (PatchMem)": "ON"}}]},
    {"name": "count", "plugin": "pulse_counter",
     "set": {"Pulse/Osc In": "sine:8:4.9", "Active": "ON", "Mode": "Fwd+Back", "End": "3"}}
  ],
  "connections": [["gate", "rpn.Gate"], ["ramp", "rpn.Value CV"]]
})json";

std::string every_kind_report()
{
    static std::string page;
    if (page.empty()) {
        std::string dir = fresh_dir("every_kind_patch");
        fs::create_directories(dir);
        std::ofstream(dir + "/patch.json") << kEveryKind;
        page = render_report("every_kind", {"run", dir + "/patch.json"});
    }
    return page;
}

// ---------------------------------------------------------------- the plots

TEST(SehostReport, EveryPlotHasYTicksInItsUnit)
{
    std::string page = every_kind_report();
    const std::regex volts("-?[0-9.]+ V"), number("-?[0-9.]+"), note("[A-G]#?-?[0-9]"),
        whole("[0-9]+");
    struct Case {
        const char *instance, *title;
        const std::regex *tick;
        std::set<std::string> must; // ticks that must be there
    };
    const Case cases[] = {
        {"rpn", "Value CV", &volts, {"0 V", "10 V"}},
        {"rpn", "MIDI Out", &number, {"0", "8192", "16383"}},
        {"router", "Midi In", &note, {}},
        {"router", "Add Midi Out", &note, {}},
        {"toggle", "Bool (PatchMem) (in)", nullptr, {"OFF", "ON"}},
        {"toggle", "Volts", &volts, {"0 V", "10 V"}},
        {"count",
         "Pulse/Osc In",
         &volts,
         {"-5 V", "5 V"}},                       // peaks of 4.9 V: the axis reaches the tick above
        {"count", "Index:Count", &whole, {"0"}}, // an index: no tick between two
    };
    for (const Case &c : cases) {
        Section s = section(page, c.instance);
        const Plot *p = find_plot(s, c.title);
        if (!p)
            continue;
        std::set<std::string> ticks;
        for (const std::string &t : elements(p->svg, "text"))
            if (attr(t, "class") == "tick") {
                ticks.insert(text_of(t));
                EXPECT_LT(num_attr(t, "x"), p->left)
                    << c.title << ": tick inside the plot"; // labels left of the axis
                if (c.tick) {
                    EXPECT_TRUE(std::regex_match(text_of(t), *c.tick))
                        << c.title << ": tick \"" << text_of(t) << "\"";
                }
            }
        EXPECT_GE(ticks.size(), 2u) << c.title;
        for (const std::string &m : c.must)
            EXPECT_TRUE(ticks.count(m)) << c.title << ": no tick \"" << m << "\"";
    }
    // And every plot of the page has ticks.
    for (const char *instance : {"rpn", "router", "toggle", "count"})
        for (const Plot &p : section(page, instance).plots) {
            size_t ticks = 0;
            for (const std::string &t : elements(p.svg, "text"))
                ticks += attr(t, "class") == "tick";
            EXPECT_GE(ticks, 2u) << instance << "." << p.title;
        }
}

TEST(SehostReport, LabelsStayInsideTheirPlotAndNeverOverlap)
{
    std::string page = every_kind_report();
    for (const char *instance : {"rpn", "router", "toggle", "count"})
        for (const Plot &p : section(page, instance).plots) {
            struct Box {
                double l, r, t, b;
            };
            std::vector<Box> boxes;
            for (const std::string &t : elements(p.svg, "text")) {
                if (attr(t, "class") != "lbl")
                    continue;
                // 5 px a character is less than any 10 px font draws: a label
                // that fails this is cut off by the edge for sure.
                double x = num_attr(t, "x"), y = num_attr(t, "y"), w = 5.0 * text_of(t).size();
                ASSERT_TRUE(attr(t, "text-anchor").empty() || attr(t, "text-anchor") == "start")
                    << t;
                EXPECT_GE(x, p.left) << instance << "." << p.title << ": " << t;
                EXPECT_LE(x + w, p.right) << instance << "." << p.title << ": " << t;
                EXPECT_GE(y - 8, p.top) << instance << "." << p.title << ": " << t;
                EXPECT_LE(y, p.bottom) << instance << "." << p.title << ": " << t;
                for (const Box &o : boxes)
                    EXPECT_FALSE(x < o.r && o.l < x + w && y - 8 < o.b && o.t < y)
                        << instance << "." << p.title << ": \"" << text_of(t)
                        << "\" overlaps another label";
                boxes.push_back({x, x + w, y - 8, y});
            }
        }
    // The control change at the very end is labelled, not dropped.
    Section router = section(page, "router");
    const Plot *in = find_plot(router, "Midi In");
    ASSERT_NE(in, nullptr);
    EXPECT_NE(in->svg.find(">control ch 1 cc 7 value 127</text>"), std::string::npos);
}

TEST(SehostReport, RpnStreamIsDrawnAsTheValueCurveItCarries)
{
    std::string page = every_kind_report();
    Section rpn = section(page, "rpn");
    const Plot *p = find_plot(rpn, "MIDI Out");
    ASSERT_NE(p, nullptr);
    EXPECT_NE(p->sub.find("#74"), std::string::npos) << p->sub;
    std::vector<std::string> curves;
    for (const std::string &path : elements(p->svg, "path"))
        if (attr(path, "class").rfind("curve", 0) == 0)
            curves.push_back(attr(path, "d"));
    ASSERT_EQ(curves.size(), 1u);
    // A ramp of 0 to 10 V: the value climbs from the bottom of the plot to
    // its top, never back, across the whole run.
    auto pts = path_points(curves[0]);
    ASSERT_GT(pts.size(), 100u);
    EXPECT_NEAR(pts.front().second, p->bottom, 6);
    EXPECT_NEAR(pts.back().second, p->top, 6);
    EXPECT_NEAR(pts.front().first, p->left, 8); // nothing in the first block
    EXPECT_NEAR(pts.back().first, p->right, 1);
    for (size_t i = 1; i < pts.size(); ++i) {
        EXPECT_LE(pts[i].second, pts[i - 1].second + 0.05) << "at point " << i;
        EXPECT_GE(pts[i].first, pts[i - 1].first) << "at point " << i;
    }
}

TEST(SehostReport, PatchChangesAreMarkedOnEveryLane)
{
    std::string page =
        render_report("patch_changes", {"render", "patch_pulse", "--patch-change", "0.25s",
                                        "--patch-change", "0.75s", "-d", "1s"});
    Section s = section(page, "patch_pulse");
    ASSERT_GE(s.plots.size(), 2u);
    for (const Plot &p : s.plots) {
        std::vector<double> xs;
        for (const std::string &line : elements(p.svg, "line"))
            if (attr(line, "class") == "pc")
                xs.push_back(num_attr(line, "x1"));
        ASSERT_EQ(xs.size(), 2u) << p.title;
        EXPECT_NEAR(xs[0], p.left + 0.25 * (p.right - p.left), 1.5) << p.title;
        EXPECT_NEAR(xs[1], p.left + 0.75 * (p.right - p.left), 1.5) << p.title;
    }
}

// GUI pins and value inputs changed later are drawn from the start of the
// run, from the value they hold before the first change.
TEST(SehostReport, TracesStartFromTheirInitialValue)
{
    const std::vector<std::string> cases[] = {
        {"bool_volts", "--at", "0.5s", "Bool (PatchMem)=ON"},
        {"panel_switch8", "--at", "0.5s", "3 Switch (Animation)=1"},
        {"pitch_adjust", "--at", "0.5s", "Octave=+1"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args{"render", c[0], "-d", "1s"};
        args.insert(args.end(), c.begin() + 1, c.end());
        Section s = section(render_report("gui_start_" + c[0], args), c[0]);
        size_t steps_drawn = 0;
        for (const Plot &p : s.plots) {
            if (p.kind != "gui" && p.kind != "value")
                continue;
            ++steps_drawn;
            std::vector<std::string> steps;
            for (const std::string &path : elements(p.svg, "path"))
                if (attr(path, "class") == "step")
                    steps.push_back(attr(path, "d"));
            ASSERT_EQ(steps.size(), 1u) << p.title;
            auto pts = path_points(steps[0]);
            ASSERT_FALSE(pts.empty()) << p.title;
            EXPECT_NEAR(pts.front().first, p.left, 0.5)
                << c[0] << "." << p.title << ": from " << pts.front().first;
            EXPECT_NEAR(pts.back().first, p.right, 0.5) << c[0] << "." << p.title;
        }
        EXPECT_GE(steps_drawn, 1u) << c[0];
    }
}

TEST(SehostReport, SettingsTableListsEveryInputPin)
{
    struct Case {
        const char *plugin;
        std::vector<std::string> args;
        std::map<std::string, std::pair<std::string, std::string>> expect; // pin -> value, from
    };
    const Case cases[] = {
        {"pulse_counter",
         {"--set", "Mode=Random", "--set", "Pulse/Osc In=square:4"},
         {{"Mode", {"Random", "set"}},
          {"Pulse/Osc In", {"square:4", "source"}},
          {"Start", {"1", "default"}},
          {"Active", {"OFF", "default"}},
          {"Shift/Delay (ms) +ve only", {"0 V", "default"}}}},
        {"edge_detect", {"--set", "Pulse Level=2.5"}, {{"Pulse Level", {"2.5 V", "set"}}}},
        {"cv_to_rpn",
         {"--at", "0.5s", "Channel=3"},
         {{"Channel", {"1", "default, changes later"}}}},
        {"midi_choice", {}, {{"Choice", {"0", "default"}}}},
        {"panel_switch4",
         {"--set", "Mode=Keep 1 Panel"},
         {{"Mode", {"Keep 1 Panel", "set"}}, {"2 Switch (Animation)", {"0", "default"}}}},
        {"bool_volts", {}, {{"Bool (PatchMem)", {"OFF", "default"}}}},
        {"pitch_adjust",
         {"--set", "Octave=+1"},
         {{"Octave", {"+1", "set"}}, {"Cents", {"00", "default"}}}}, // its label
    };
    for (const Case &c : cases) {
        std::vector<std::string> args{"render", c.plugin, "-d", "1s"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Section s = section(render_report(std::string("settings_") + c.plugin, args), c.plugin);
        std::vector<std::string> listed, inputs;
        for (const auto &row : s.settings) {
            listed.push_back(row[0]);
            if (row[2].rfind("wired", 0) != 0 && row[2] != "source") {
                EXPECT_FALSE(row[1].empty()) << c.plugin << "." << row[0] << ": no value";
            }
        }
        for (const json &pin : pins_of(c.plugin))
            if (pin["direction"] != "out" && pin["type"] != "MIDI")
                inputs.push_back(pin["name"]);
        EXPECT_EQ(listed, inputs) << c.plugin;
        for (const auto &[pin, want] : c.expect) {
            bool found = false;
            for (const auto &row : s.settings)
                if (row[0] == pin) {
                    found = true;
                    EXPECT_EQ(row[1], want.first) << c.plugin << "." << pin;
                    EXPECT_EQ(row[2], want.second) << c.plugin << "." << pin;
                }
            EXPECT_TRUE(found) << c.plugin << ": no row for " << pin;
        }
    }
}

// Folded titles back to the pins they stand for: "2, 4-6 Switch" -> 2, 4, 5, 6.
std::set<std::string> unfold(const std::string &title)
{
    std::smatch m;
    std::regex list("^(\\D*?)([0-9]+(?:(?:, |-)[0-9]+)*)(\\D*)$");
    std::set<std::string> out;
    if (!std::regex_match(title, m, list)) {
        out.insert(title);
        return out;
    }
    std::string items = m[2];
    std::regex item("([0-9]+)(?:-([0-9]+))?");
    for (std::sregex_iterator i(items.begin(), items.end(), item), e; i != e; ++i) {
        int from = std::stoi((*i)[1]), to = (*i)[2].matched ? std::stoi((*i)[2]) : from;
        for (int k = from; k <= to; ++k)
            out.insert(m[1].str() + std::to_string(k) + m[3].str());
    }
    return out;
}

TEST(SehostReport, EqualPlotsOfAPanelSwitchAreFolded)
{
    std::string page =
        render_report("fold", {"render", "panel_switch8", "--set", "1 Switch (Animation)=1", "--at",
                               "0.5s", "6 Switch (Animation)=1", "-d", "1s"});
    Section s = section(page, "panel_switch8");
    // Every way's pair of GUI pins (an output and an input of one name,
    // written together) appears in exactly one plot, and the ways that do
    // the same share one.
    std::map<std::string, int> drawn;
    for (const Plot &p : s.plots)
        for (const std::string &pin : unfold(p.title))
            ++drawn[pin];
    for (int way = 1; way <= 8; ++way)
        EXPECT_EQ(drawn["Controls on Parent " + std::to_string(way) + " (out and in)"], 1) << way;
    // Per family (switch, way shown) three histories: way 1 on then off,
    // way 6 off then on, the other six never changing.
    EXPECT_LE(s.plots.size(), 6u);
    bool folded = false;
    for (const Plot &p : s.plots)
        folded = folded || unfold(p.title).size() >= 5;
    EXPECT_TRUE(folded);
}

TEST(SehostReport, SizeStaysBoundedForLongMidiHeavyRuns)
{
    // 14-bit values from a fast sine: a few messages per sample.
    auto report = [](const std::string &name, const char *duration) {
        return render_report(name,
                             {"render", "cv_to_rpn", "--set", "Gate=const:5", "--set",
                              "Value CV=sine:40:5:5", "--set", "Bit Depth=14", "-d", duration});
    };
    std::string short_run = report("size_short", "0.1s"), long_run = report("size_long", "0.6s");
    Section s = section(long_run, "cv_to_rpn");
    const Plot *p = find_plot(s, "MIDI Out");
    ASSERT_NE(p, nullptr);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(p->sub, m, std::regex("([0-9]+) messages")));
    EXPECT_GT(std::stol(m[1]), 25000);
    EXPECT_LT(long_run.size(), short_run.size() * 3 / 2) << "grows with the run";
    EXPECT_LT(long_run.size(), 400000u);
    size_t drawn = elements(p->svg, "line").size() + elements(p->svg, "path").size() +
                   elements(p->svg, "text").size();
    EXPECT_LT(drawn, 300u);
}

// ---------------------------------------------------------------- pieces

TEST(SehostReportPieces, FoldNames)
{
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"Controls on Parent 2", "Controls on Parent 4", "Controls on Parent 5",
          "Controls on Parent 6"},
         "Controls on Parent 2, 4-6"},
        {{"1 Switch (Animation) (in)", "3 Switch (Animation) (in)"},
         "1, 3 Switch (Animation) (in)"},
        {{"Parent 12", "Parent 13"}, "Parent 12, 13"},
        {{"Add Midi Out[1]", "Add Midi Out[2]", "Add Midi Out[3]"}, "Add Midi Out[1-3]"},
        {{"Gate", "Value CV"}, "Gate, Value CV"},
        {{"Mode"}, "Mode"},
    };
    for (const auto &[names, folded] : cases)
        EXPECT_EQ(secli::fold_names(names), folded);
}

// The plots' numbers are written without printf, and read as its formats:
// halves on either side of a rounding, tiny and huge values, negative zero,
// values that are no numbers, and a long run of random bit patterns.
TEST(SehostReportPieces, NumbersReadAsThePrintfFormats)
{
    std::vector<double> values = {0.0,       -0.0,   0.05,     0.15,      0.25,   0.35,
                                  -0.25,     2.5,    99.95,    99.949,    1e-5,   123456,
                                  1.2345e5,  9.9995, 1e300,    -1e300,    5e-324, 1e21,
                                  0.1 + 0.2, 479.5,  INFINITY, -INFINITY, NAN};
    std::mt19937_64 rng(7);
    for (int i = 0; i < 20000; ++i) {
        uint64_t bits = rng();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        values.push_back(v);
        values.push_back(static_cast<double>(static_cast<int64_t>(bits >> 40) - (1 << 23)) / 64);
    }
    for (double v : values) {
        char want[400];
        std::snprintf(want, sizeof want, "%.1f", v);
        ASSERT_EQ(secli::fixed_text(v, 1), want) << v;
        for (int digits : {3, 4}) {
            std::snprintf(want, sizeof want, "%.*g", digits, v);
            ASSERT_EQ(secli::general_text(v, digits), want) << v;
        }
    }
}

TEST(SehostReportPieces, NiceTicks)
{
    struct Case {
        double lo, hi;
        int most;
        std::vector<double> ticks;
    };
    const Case cases[] = {
        {0, 10, 5, {0, 2.5, 5, 7.5, 10}},
        {-5, 5, 5, {-5, -2.5, 0, 2.5, 5}},
        {0, 1, 5, {0, 0.25, 0.5, 0.75, 1}},
        {0, 8, 9, {0, 1, 2, 3, 4, 5, 6, 7, 8}},
        {1, 64, 4, {0, 25, 50}},
        {-0.3, 0.7, 3, {-0.5, 0, 0.5}},
    };
    for (const Case &c : cases) {
        std::vector<double> got = secli::nice_ticks(c.lo, c.hi, c.most);
        EXPECT_EQ(got, c.ticks) << c.lo << ".." << c.hi;
    }
    // Ranges a plug-in can produce that leave no room for round steps.
    for (auto [lo, hi] : {std::pair<double, double>{1e20, std::nextafter(1e20, 1e21)},
                          {-3.4e38, 3.4e38},
                          {5, 5},
                          {NAN, 1},
                          {0, INFINITY}}) {
        std::vector<double> got = secli::nice_ticks(lo, hi, 5);
        EXPECT_GE(got.size(), 1u) << lo << ".." << hi;
        EXPECT_LE(got.size(), 6u) << lo << ".." << hi;
    }
    EXPECT_EQ(secli::note_name(60), "C4");
    EXPECT_EQ(secli::note_name(0), "C-1");
    EXPECT_EQ(secli::note_name(127), "G9");
}

} // namespace
