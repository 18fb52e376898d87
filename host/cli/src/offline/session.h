// session.h - one run into an output folder: WAV, MIDI, events.jsonl and
// report.html, every file renamed into place only when complete.
#ifndef SEHOST_CLI_SESSION_H
#define SEHOST_CLI_SESSION_H

#include <ostream>
#include <string>
#include <vector>

#include "patch/patch.h"

namespace secli {

struct SessionOptions {
    std::string out = "sehost-out";
    bool force = false;
    bool progress = true; // drawn only when standard error is a terminal
    std::string title = "sehost report";
    std::vector<std::string> notes; // told under the report's heading
};

// Prints what was written and where the report is. InputError on failure
// (temporary files removed).
void run_session(const Patch &patch, const SessionOptions &options, std::ostream &log);

class OutputDir;
// The same into a folder the caller took already (a live recording holds
// it from its start); the folder's files are committed or abandoned here.
void run_session(const Patch &patch, const SessionOptions &options, std::ostream &log,
                 OutputDir &dir);

} // namespace secli

#endif
