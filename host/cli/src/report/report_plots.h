// report_plots.h - the plots of report.html as inline SVG. Every plot has a
// title line, a y axis with ticks in its unit and the run's patch changes
// marked. Whatever the run's length or message count, a plot draws a bounded
// envelope: one column per pixel of the time axis, never an element per
// sample or per message.
#ifndef SEHOST_CLI_REPORT_PLOTS_H
#define SEHOST_CLI_REPORT_PLOTS_H

#include <cstdint>
#include <string>
#include <vector>

#include "report/record.h"

namespace secli {

// Where a plot's time axis lies: total samples over the drawing width.
struct PlotFrame {
    double total = 1;                    // samples in the run
    double rate = 44100;                 // samples per second
    std::vector<uint64_t> patch_changes; // clocks, marked on every plot
};

// The plot (or plots: a MIDI lane with notes and parameter values gives
// two) of one trace. `title` names the pin or the pins folded into it.
std::string plot_trace(const Trace &t, const std::string &title, const PlotFrame &f);

// The time axis under an instance's plots, in seconds.
std::string time_axis(const PlotFrame &f);

// Round tick values covering lo..hi, at most `most` of them (at least 2).
std::vector<double> nice_ticks(double lo, double hi, int most);

// One title for pins whose plots are equal: "Controls on Parent 2, 4-6",
// "1, 3 Switch (Animation)". Names with no common frame are listed.
std::string fold_names(const std::vector<std::string> &names);

// "C4" for note 60.
std::string note_name(int note);

// v as printf's "%.Nf" and "%.Ng" write it.
std::string fixed_text(double v, int decimals);
std::string general_text(double v, int digits);

// Texts drawn in SVG, escaped.
std::string esc(const std::string &s);

} // namespace secli

#endif
