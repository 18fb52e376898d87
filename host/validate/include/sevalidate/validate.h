// validate.h - the plug-in validation suite: checks a plug-in library
// against the host contract, each check in a child process of its own.
//
// Front-ends (the sevalidate executable, `sehost validate`) call
// run_validation with the arguments that follow the command name (see
// `--help`): plug-in files, --seed, --level, --include/--exclude, --traits,
// --json FILE or -, --only-failed, -j N, --timeout, --list.
//
// It prints one line per check (pass, fail, crash, timeout, warning) with
// details, the seed of the run and, for every failed check, a one-line
// command that repeats it.
//
// Child processes: on Linux every check runs in a fork()ed child; on Windows
// the front-end's own executable is started again (CreateProcess) with the
// hidden option `--single-check NAME --result-file F`, which run_validation
// handles itself.  A front-end whose validator is reached through a
// sub-command passes that sub-command as `reexec_prefix` (e.g. {"validate"}
// for `sehost validate`), so the child command line becomes
// `<exe> validate --single-check ...`.
//
// Allocation counting (real-time check) needs the counting operator new and
// malloc of the target se_validate_alloc_hooks linked into the executable;
// without them that check warns that it cannot count.
#ifndef SEVALIDATE_VALIDATE_H
#define SEVALIDATE_VALIDATE_H

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace sevalidate {

enum class Outcome { Pass, Warning, Skip, Fail, Crash, Timeout };
const char *outcome_name(Outcome o); // "pass", "warning", ...

struct CheckResult {
    std::string plugin;
    std::string check;
    Outcome outcome = Outcome::Pass;
    std::string details; // lines separated by '\n'
    double seconds = 0.0;
    bool could_not_run = false; // the validator itself failed (no folder, no child process)
};

// Strictness levels (--level): 1 quick static and lifecycle checks, 2 adds
// single runs of the DSP and GUI sides, 3 (the default) every check once,
// 4 every check with 4 seeds, 5 with 16 seeds and four times longer runs.
constexpr int kDefaultLevel = 3;
constexpr int kTopLevel = 5;

// Names of every check, in the order they run; of those a level runs.
std::vector<std::string> check_names();
std::vector<std::string> check_names(int level);

// Runs one check in this process (no isolation): for tests and for the
// child side.  A crash of the plug-in takes the caller down.
// `traits_files`: the module authors' declarations (--traits); the one
// naming the plug-in's identifier applies.
CheckResult run_check_here(const std::string &plugin, const std::string &check, uint64_t seed,
                           const std::vector<std::string> &traits_files = {},
                           int level = kDefaultLevel);

// Runs one check in a child process with a time limit.
CheckResult run_check_isolated(const std::string &plugin, const std::string &check, uint64_t seed,
                               double timeout_seconds,
                               const std::vector<std::string> &reexec_prefix = {},
                               const std::vector<std::string> &traits_files = {},
                               int level = kDefaultLevel);

// The command line: report to `out`, errors to `err`.  Exit code 0 when no
// check failed, 1 when a check failed, crashed or timed out, 2 when the
// validation could not run (usage, unreadable or unused traits file, missing
// plug-in, no check selected, unwritable JSON file, no child process), 128 +
// the signal when SIGINT, SIGTERM or SIGHUP stopped it (the checks' processes
// ended, the temporary files removed).
int run_validation(const std::vector<std::string> &args, std::ostream &out, std::ostream &err,
                   const std::vector<std::string> &reexec_prefix = {});

} // namespace sevalidate

#endif
