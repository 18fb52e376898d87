// validate_runner.cpp - the command line of the validator: which plug-ins and
// checks, how strict, how many at once, the report and the JSON file.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "check.h"
#include "fork_guard.h"
#include "private_files.h"
#include "stop_signals.h"

namespace sevalidate {

bool write_result_file(const std::string &path, const CheckResult &r, std::string &error);

namespace {

struct Options {
    std::vector<std::string> plugins, traits_files;
    std::string include, exclude, json, single, result_file;
    std::string seed_text, timeout_text = "120";
    uint64_t seed = 0;
    double timeout = 120.0;
    int level = kDefaultLevel;
    int jobs = 1;
    bool list = false, only_failed = false;
};

// A shell word that repeats the argument unchanged.
std::string shell_word(const std::string &s)
{
    if (!s.empty() &&
        s.find_first_not_of(
            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_./:-=\\") ==
            std::string::npos)
        return s;
    std::string o = "'";
    for (char c : s)
        o += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return o + "'";
}

std::string regex_quote(const std::string &s)
{
    std::string o;
    for (char c : s) {
        if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos)
            o += '\\';
        o += c;
    }
    return o;
}

uint64_t fresh_seed()
{
    uint64_t t = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    t ^= static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) << 7;
    return (name_hash(std::to_string(t)) % 4000000000ull) + 1;
}

// A seed is a plain decimal number: no sign, no spaces, no suffix.
std::string check_seed(const std::string &text)
{
    if (text.empty() || text.size() > 19 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return "must be a whole number from 0 to 9999999999999999999, not \"" + text + "\"";
    return "";
}

std::string check_timeout(const std::string &text)
{
    char *end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(v) || v <= 0.0 || v > 86400.0)
        return "must be a number of seconds above 0 and at most 86400, not \"" + text + "\"";
    return "";
}

// The parser; `program` names the command in help and errors.
void describe(CLI::App &app, Options &o)
{
    app.add_option("PLUGIN", o.plugins, "plug-in files to check")->type_name("FILE");
    app.add_option("--seed", o.seed_text,
                   "seed of every random choice (default: a fresh one, printed)")
        ->type_name("N")
        ->check([](const std::string &t) { return check_seed(t); });
    app.add_option(
           "--level", o.level,
           "strictness: 1 quick static and lifecycle checks, 2 adds single runs of both sides, "
           "3 every check, 4 every check with 4 seeds, 5 with 16 seeds and longer runs")
        ->check(CLI::Range(1, kTopLevel))
        ->capture_default_str();
    app.add_option("--include", o.include,
                   "run only checks whose name matches this regular expression")
        ->type_name("RE");
    app.add_option("--exclude", o.exclude, "skip checks whose name matches this regular expression")
        ->type_name("RE");
    app.add_option(
           "--traits", o.traits_files,
           "a module author's traits file (JSON); the one naming a plug-in's identifier applies "
           "(default: NAME.traits.json beside each plug-in, where there is one)")
        ->type_name("FILE")
        ->allow_extra_args(false); // one file per --traits: what follows is a plug-in
    app.add_option("--json", o.json,
                   "write the results as JSON to FILE, or to standard output with -")
        ->type_name("FILE");
    app.add_flag("--only-failed", o.only_failed, "report only checks that did not pass");
    app.add_option("-j,--jobs", o.jobs, "checks run at once, each in its own process")
        ->check(CLI::Range(1, 64))
        ->capture_default_str();
    app.add_option("--timeout", o.timeout_text, "seconds a check may take before it counts as hung")
        ->type_name("SECONDS")
        ->check([](const std::string &t) { return check_timeout(t); })
        ->capture_default_str();
    app.add_flag("--list", o.list, "list the checks of the level and stop");
    // The child side on Windows, and one check by hand.
    app.add_option("--single-check", o.single)->group("");
    app.add_option("--result-file", o.result_file)->group("");
}

void print_result(std::ostream &out, const CheckResult &r, const std::string &repeat)
{
    out << "  " << std::left << std::setw(8) << outcome_name(r.outcome) << " " << std::setw(26)
        << r.check << " " << std::fixed << std::setprecision(2) << r.seconds << " s\n";
    if (r.outcome != Outcome::Pass) {
        std::istringstream lines(r.details);
        std::string line;
        while (std::getline(lines, line))
            out << "           " << line << "\n";
    } else {
        for (const std::string &line : narrowed_lines(r.details))
            out << "           " << Report::kNarrowed << line << "\n";
    }
    if (!repeat.empty())
        out << "           repeat: " << repeat << "\n";
}

bool is_failure(Outcome o)
{
    return o == Outcome::Fail || o == Outcome::Crash || o == Outcome::Timeout;
}

std::string to_json(const Options &o, const std::vector<CheckResult> &results, const int counts[6])
{
    nlohmann::json j;
    j["seed"] = o.seed;
    j["level"] = o.level;
    j["results"] = nlohmann::json::array();
    for (const CheckResult &r : results) {
        if (o.only_failed && r.outcome == Outcome::Pass)
            continue;
        j["results"].push_back({{"plugin", r.plugin},
                                {"check", r.check},
                                {"outcome", outcome_name(r.outcome)},
                                {"seconds", r.seconds},
                                {"details", r.details},
                                {"narrowed", narrowed_lines(r.details)}});
    }
    j["summary"] = {{"checks", results.size()}, {"passed", counts[0]},    {"failed", counts[3]},
                    {"crashed", counts[4]},     {"timed_out", counts[5]}, {"warnings", counts[1]}};
    // Invalid UTF-8 from a plug-in's texts is replaced, not thrown.
    return j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

// The JSON file goes to a new file beside the target, renamed over it at
// the end: a run that stops half-way leaves the old file or none.
class JsonFile
{
public:
    bool open(const std::string &path, std::string &error)
    {
        m_path = path;
        m_temp = path + ".partial-" + std::to_string(fresh_seed());
        return write_new_file(m_temp, "", error);
    }
    bool commit(const std::string &text, std::string &error)
    {
        std::filesystem::remove(m_temp);
        if (!write_new_file(m_temp, text, error))
            return false;
        std::error_code ec;
        std::filesystem::rename(m_temp, m_path, ec);
        if (ec) {
            std::filesystem::remove(m_temp);
            error = "cannot write " + m_path + ": " + ec.message();
            return false;
        }
        m_temp.clear();
        return true;
    }
    ~JsonFile()
    {
        if (!m_temp.empty()) {
            std::error_code ec;
            std::filesystem::remove(m_temp, ec);
        }
    }

private:
    std::string m_path, m_temp;
};

// Runs the jobs `jobs` at a time; `done` is called in job order, from the
// calling thread, as soon as a job and all before it have finished.
template <typename Job, typename Done> void run_jobs(size_t count, int jobs, Job job, Done done)
{
    if (jobs <= 1 || count <= 1) {
        for (size_t i = 0; i < count; ++i)
            done(i, job(i));
        return;
    }
    std::vector<CheckResult> results(count);
    std::vector<bool> finished(count, false);
    std::mutex lock;
    std::condition_variable changed;
    std::atomic<size_t> next{0};
    // The job takes the fork guard itself except while it waits for its
    // child; everything else here that may allocate holds it too.
    auto worker = [&] {
        for (size_t i; (i = next++) < count;) {
            CheckResult r = job(i);
            std::lock_guard<std::mutex> guard(fork_guard());
            std::lock_guard<std::mutex> hold(lock);
            results[i] = std::move(r);
            finished[i] = true;
            changed.notify_all();
        }
    };
    std::vector<std::thread> threads;
    const size_t n = std::min(count, static_cast<size_t>(jobs));
    {
        std::lock_guard<std::mutex> guard(fork_guard());
        for (size_t t = 0; t < n; ++t)
            threads.emplace_back(worker);
    }
    for (size_t i = 0; i < count; ++i) {
        std::unique_lock<std::mutex> hold(lock);
        changed.wait(hold, [&] { return finished[i]; });
        hold.unlock();
        std::lock_guard<std::mutex> guard(fork_guard());
        CheckResult r = results[i];
        done(i, r);
    }
    for (std::thread &t : threads)
        t.join();
}

} // namespace

int run_validation(const std::vector<std::string> &args, std::ostream &out, std::ostream &err,
                   const std::vector<std::string> &reexec_prefix)
{
    const std::string program = reexec_prefix.empty() ? "sevalidate" : "sehost validate";
    Options o;
    CLI::App app{
        "checks plug-in libraries against the host contract, each check in a child process",
        program};
    describe(app, o);
    app.allow_windows_style_options(false); // a plug-in path may start with '/'
    app.footer("Exit code: 0 when no check failed (warnings allowed), 1 when a check failed, "
               "crashed or timed out, "
               "2 when the validation could not run, 128 + the signal when SIGINT, SIGTERM or "
               "SIGHUP stopped it.");
    try {
        std::vector<std::string> reversed(args.rbegin(), args.rend());
        app.parse(reversed);
    } catch (const CLI::CallForHelp &) {
        out << app.help();
        return 0;
    } catch (const CLI::ParseError &e) {
        err << program << ": " << e.what() << " (see " << program << " --help)\n";
        return 2;
    }
    if (!o.seed_text.empty())
        o.seed = std::stoull(o.seed_text);
    o.timeout = std::strtod(o.timeout_text.c_str(), nullptr);

    if (o.list) {
        for (const std::string &n : check_names(o.level))
            out << n << "\n";
        return 0;
    }
    if (o.plugins.empty()) {
        err << program << ": no plug-in given (see " << program << " --help)\n";
        return 2;
    }
    if (!o.single.empty()) { // the child side (Windows), or a check by hand
        CheckResult r = run_check_here(o.plugins[0], o.single, o.seed, o.traits_files, o.level);
        std::string error;
        if (!o.result_file.empty()) {
            if (!write_result_file(o.result_file, r, error)) {
                err << program << ": " << error << "\n";
                return 2;
            }
        } else {
            out << outcome_name(r.outcome) << "\n" << r.details << "\n";
        }
        return 0;
    }
    for (const std::string &p : o.plugins) {
        std::error_code ec;
        if (!std::filesystem::is_regular_file(p, ec)) {
            err << program << ": no plug-in file " << p << "\n";
            return 2;
        }
    }
    // Without --traits, a plug-in's own traits file is the one beside it
    // (my_module.so -> my_module.traits.json), as the build lays them out.
    if (o.traits_files.empty()) {
        for (const std::string &p : o.plugins) {
            std::error_code ec;
            std::filesystem::path beside =
                std::filesystem::path(p).replace_extension(".traits.json");
            if (std::filesystem::exists(beside, ec)) // whatever it is: read as a traits file
                o.traits_files.push_back(beside.string());
        }
    }
    for (const std::string &f : o.traits_files) {
        try {
            load_traits(f);
        } catch (const std::exception &e) {
            err << program << ": " << e.what() << "\n";
            return 2;
        }
    }
    // From here on INT, TERM and HUP end the checks' children first.
    StopSignals stop;
    auto stopped = [&](int sig) {
        remove_private_folder(); // the partial JSON file goes with json_file
        err << program << ": stopped by " << signal_name(sig)
            << "; the checks' processes ended, temporary files removed\n";
        return 128 + sig;
    };
    // Each traits file must name a given plug-in (each asked in a child).
    if (!o.traits_files.empty()) {
        std::vector<std::optional<std::string>> identifiers;
        for (const std::string &p : o.plugins)
            identifiers.push_back(identify_isolated(p, o.timeout, reexec_prefix));
        if (const int sig = stop_signal())
            return stopped(sig);
        const std::string unused = unused_traits_file(o.traits_files, identifiers);
        if (!unused.empty()) {
            err << program << ": " << unused << "\n";
            return 2;
        }
    }
    std::regex inc, exc;
    try {
        if (!o.include.empty())
            inc = std::regex(o.include);
        if (!o.exclude.empty())
            exc = std::regex(o.exclude);
    } catch (const std::regex_error &e) {
        err << program << ": bad regular expression: " << e.what() << "\n";
        return 2;
    }
    std::vector<std::string> checks;
    for (const std::string &check : check_names(o.level))
        if ((o.include.empty() || std::regex_search(check, inc)) &&
            (o.exclude.empty() || !std::regex_search(check, exc)))
            checks.push_back(check);
    if (checks.empty()) {
        err << program << ": no check matches (level " << o.level << ", see --list)\n";
        return 2;
    }
    const bool json_to_stdout = o.json == "-";
    JsonFile json_file;
    if (!o.json.empty() && !json_to_stdout) {
        std::string error;
        if (!json_file.open(o.json, error)) {
            err << program << ": --json: " << error << "\n";
            return 2;
        }
    }
    // With JSON on standard output, the report goes to standard error.
    std::ostream &report = json_to_stdout ? err : out;
    if (o.seed_text.empty())
        o.seed = fresh_seed();
    report << program << ": seed " << o.seed << ", level " << o.level << "\n";

    // How the report's repeat lines start.
    std::string command = reexec_prefix.empty() ? "sevalidate" : "sehost";
    for (const std::string &a : reexec_prefix)
        command += " " + a;
    for (const std::string &t : o.traits_files)
        command += " --traits " + shell_word(t);

    std::vector<std::pair<std::string, std::string>> jobs; // plug-in, check
    for (const std::string &plugin : o.plugins)
        for (const std::string &check : checks)
            jobs.emplace_back(plugin, check);
    std::vector<CheckResult> results;
    int counts[6] = {0, 0, 0, 0, 0, 0};
    bool could_not_run = false;
    run_jobs(
        jobs.size(), o.jobs,
        [&](size_t i) {
            return run_check_isolated(jobs[i].first, jobs[i].second, o.seed, o.timeout,
                                      reexec_prefix, o.traits_files, o.level);
        },
        [&](size_t i, const CheckResult &r) {
            if (stop_signal())
                return;
            if (i % checks.size() == 0)
                report << "== " << r.plugin << "\n";
            counts[static_cast<int>(r.outcome)]++;
            could_not_run = could_not_run || r.could_not_run;
            std::string repeat;
            if (is_failure(r.outcome))
                repeat = command + " " + shell_word(r.plugin) + " --seed " +
                         std::to_string(o.seed) +
                         (o.level != kDefaultLevel ? " --level " + std::to_string(o.level)
                                                   : std::string()) +
                         " --include " + shell_word("^" + regex_quote(r.check) + "$");
            if (!o.only_failed || r.outcome != Outcome::Pass)
                print_result(report, r, repeat);
            if (i % checks.size() == checks.size() - 1)
                report << "   " << checks.size() << " checks\n";
            results.push_back(r);
        });
    if (const int sig = stop_signal())
        return stopped(sig);
    report << program << ": " << o.plugins.size() << " plug-ins, " << results.size()
           << " checks: " << counts[0] << " passed, " << counts[3] << " failed, " << counts[4]
           << " crashed, " << counts[5] << " timed out, " << counts[1] << " warnings (seed "
           << o.seed << ") at level " << o.level << "\n";

    if (!o.json.empty()) {
        const std::string text = to_json(o, results, counts);
        std::string error;
        if (json_to_stdout) {
            out << text;
            out.flush();
        } else if (!json_file.commit(text, error)) {
            err << program << ": --json: " << error << "\n";
            return 2;
        }
    }
    if (could_not_run)
        return 2;
    return counts[3] + counts[4] + counts[5] > 0 ? 1 : 0;
}

} // namespace sevalidate
