// report.h - report.html: one self-contained page (inline SVG, no network)
// with, per instance, plots of its inputs and outputs over time, its
// settings and figures.
#ifndef SEHOST_CLI_REPORT_H
#define SEHOST_CLI_REPORT_H

#include <string>
#include <vector>

#include "runner.h"

namespace secli {

struct ReportFile {
    std::string name, what;
};

std::string render_report(const Runner &runner, const std::string &title,
                          const std::vector<ReportFile> &files);

} // namespace secli

#endif
