// report.h - report.html: one self-contained page (inline SVG, no network)
// with, per instance, plots of its inputs and outputs over time, its
// settings and figures.
#ifndef SEHOST_CLI_REPORT_H
#define SEHOST_CLI_REPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "patch/patch.h"
#include "report/record.h"

namespace secli {

struct ReportFile {
    std::string name, what;
};

// `total`: the run's length in samples; `records` follow the patch's modules;
// `notes`, lines about the run as a whole, stand under the heading.
std::string render_report(const Patch &patch, uint64_t total,
                          const std::vector<InstanceRecord> &records, const std::string &title,
                          const std::vector<ReportFile> &files,
                          const std::vector<std::string> &notes = {});

} // namespace secli

#endif
