// validate_test.cpp - the validator finds each fault of the self-test
// plug-ins in the check meant for it, and passes the well-behaved one.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>

#include "plugin_path.h"
#include "sevalidate/validate.h"
#include <nlohmann/json.hpp>

#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#endif

namespace {

using sevalidate::Outcome;

std::string selftest(const char *name)
{
    return se_test::plugin_path((std::string("sevalidate_selftest_") + name).c_str());
}

// A self-test, or one of the faulty gains ("gain_...").
std::string fixture(const char *name)
{
    return std::string(name).rfind("gain_", 0) == 0
               ? se_test::plugin_path((std::string("sevalidate_") + name).c_str())
               : selftest(name);
}

TEST(Validate, GoodPluginPassesEveryCheck)
{
    for (const std::string &check : sevalidate::check_names()) {
        if (check == "realtime.alloc")
            continue; // needs the counting hooks of the sevalidate executable
        if (check == "sleep.idle")
            continue; // it never sleeps: warned (below)
        sevalidate::CheckResult r = sevalidate::run_check_here(selftest("good"), check, 12345);
        EXPECT_EQ(r.outcome, Outcome::Pass)
            << check << ": " << sevalidate::outcome_name(r.outcome) << "\n"
            << r.details;
    }
}

// Faults that leave the process running: found in this process, each in
// the check whose failure condition it breaks, with the reason.
struct Finding {
    const char *plugin;
    const char *check;
    const char *text; // part of the details
};

TEST(Validate, FindsEachFaultInItsCheck)
{
    static const Finding table[] = {
        {"extra_export", "static.exports", "selftestDebugHook"},
        {"any_index", "static.properties", "getModuleProperties(1) answered 1"},
        {"bad_default", "static.pins", "default \"D\""},
        {"process_info", "static.process_info", "word 0 is 2"},
        {"close_announces", "lifecycle.create_close", "never opened"},
        {"ignores_pin_count", "lifecycle.zero_pins", "no such DSP pin"},
        {"status_on_input", "lifecycle.open_close", "announced for input pin 0"},
        {"nondet", "lifecycle.instances", "differ on output pin"},
        {"big_blocks", "lifecycle.rates_blocks", "holds 0x7F800000"},
        {"answers_unknown", "lifecycle.dispatch_codes", "answered 1"},
        {"outside", "buffers.stretch", "changed by the call"},
        {"input", "buffers.stretch", "input pin 0"},
        {"badmidi", "timing.splits", "invalid message 0x00FF3C90"},
        {"overflows", "hostile.audio", "do not need finite"},
        {"nondet", "determinism.repeat", "differs first"},
        {"split", "determinism.splits", "whole blocks vs"},
        {"gui_answers", "gui.operations", "answered 1"},
        {"idle_left_on", "gui.idle", "still asked for after GUI_OP_CLOSE"},
        {"writes_undeclared", "gui.undeclared_pins", "write pin"},
        {"echo_loop", "gui.echo", "never settle"},
        {"bad_bool", "gui.dsp_messages", "bool pin written 7"},
        {"gain_sleeps_streaming", "sleep.invariance", "honouring HOST_SLEEP, with \"Signal\""},
        {"gain_announces_changed", "sleep.statuses", "announced STATUS_CHANGED at clock"},
    };
    std::set<std::string> covered;
    for (const Finding &f : table) {
        sevalidate::CheckResult r = sevalidate::run_check_here(fixture(f.plugin), f.check, 7);
        EXPECT_EQ(r.outcome, Outcome::Fail) << f.plugin << " " << f.check << "\n" << r.details;
        EXPECT_NE(r.details.find(f.text), std::string::npos) << f.plugin << " " << f.check << "\n"
                                                             << r.details;
        covered.insert(f.check);
    }
    // Every check has a self-test that makes it fail: the ones above, the
    // allocation check (sevalidate.selftest_alloc), hostile.choices (crash
    // and hang, below) and sleep.idle, which only warns (below).
    covered.insert("realtime.alloc");
    covered.insert("hostile.choices");
    covered.insert("sleep.idle");
    for (const std::string &check : sevalidate::check_names())
        EXPECT_TRUE(covered.count(check)) << check << " has no self-test that makes it fail";
}

TEST(Validate, FaultsStayInTheirOwnChecks)
{
    // The split-dependent module is deterministic, the non-deterministic one
    // writes only inside its stretches.
    EXPECT_EQ(sevalidate::run_check_here(selftest("split"), "determinism.repeat", 7).outcome,
              Outcome::Pass);
    EXPECT_EQ(sevalidate::run_check_here(selftest("nondet"), "buffers.stretch", 7).outcome,
              Outcome::Pass);
}

// A module called block after block while its inputs and outputs hold
// still is warned; one whose output moves, or that sleeps, is not.
TEST(Validate, NeverSleepingWhileIdleIsWarned)
{
    sevalidate::CheckResult r = sevalidate::run_check_here(fixture("good"), "sleep.idle", 7);
    EXPECT_EQ(r.outcome, Outcome::Warning) << r.details;
    EXPECT_NE(r.details.find("never asked HOST_SLEEP"), std::string::npos) << r.details;
    for (const char *quiet : {"nondet", "gain_announces_changed"}) {
        r = sevalidate::run_check_here(fixture(quiet), "sleep.idle", 7);
        EXPECT_EQ(r.outcome, Outcome::Pass) << quiet << "\n" << r.details;
    }
}

TEST(Validate, AllocationCheckWarnsWhereItCannotCount)
{
    // Counting needs the hooks of the sevalidate executable; this test
    // executable has none, so the check cannot decide and says why.
    sevalidate::CheckResult r = sevalidate::run_check_here(selftest("alloc"), "realtime.alloc", 7);
    EXPECT_EQ(r.outcome, Outcome::Warning) << r.details;
    EXPECT_NE(r.details.find("cannot be counted"), std::string::npos) << r.details;
}

// run_validation with its two streams.
struct Cli {
    int status;
    std::string out, err;
};

Cli cli(const std::vector<std::string> &args)
{
    std::ostringstream out, err;
    int status = sevalidate::run_validation(args, out, err);
    return {status, out.str(), err.str()};
}

// A traits file in the temporary folder.
std::string traits_file(const std::string &name, const std::string &text)
{
    const std::string path =
        (std::filesystem::temp_directory_path() / ("sevalidate_test_" + name + ".json")).string();
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

// What a module's author declares decides how its split-dependent output is
// judged; a traits file for another identifier changes nothing.
TEST(Validate, TraitsFileDecidesTheSplitComparison)
{
    static const struct {
        const char *what, *text;
        Outcome outcome;
        const char *detail;
    } table[] = {
        {"no_file", nullptr, Outcome::Fail, "declares \"split\" in its traits file"},
        {"dependent", R"({"identifier": "Another Author Split v1", "split": "dependent",
                          "split_reason": "carries the call length"})",
         Outcome::Warning, "carries the call length"},
        {"levels", R"({"identifier": "Another Author Split v1", "split": "levels"})", Outcome::Fail,
         "levels"},
        {"other_module", R"({"identifier": "Someone Else v2", "split": "dependent"})",
         Outcome::Fail, "no traits file"},
    };
    for (const auto &c : table) {
        std::vector<std::string> files;
        if (c.text)
            files.push_back(traits_file(c.what, c.text));
        sevalidate::CheckResult r =
            sevalidate::run_check_here(selftest("split_renamed"), "determinism.splits", 7, files);
        EXPECT_EQ(r.outcome, c.outcome) << c.what << "\n" << r.details;
        EXPECT_NE(r.details.find(c.detail), std::string::npos) << c.what << "\n" << r.details;
    }
}

// Where a traits file narrows a check, the report says how and why, in the
// text (a pass included) and in the JSON; a module without one is narrowed
// nowhere.
TEST(Validate, NarrowedChecksAreShown)
{
    const std::string rpn = se_test::plugin_path("cv_to_rpn"); // its traits file beside it
    Cli r = cli({rpn, "--include", "^determinism.splits$", "--seed", "3", "--json", "-"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::string declared = "inputs driven only as declared (\"Gate\" low_at_start, "
                                 "\"Value CV\" moving), by traits file ";
    EXPECT_NE(r.err.find("pass     determinism.splits"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("narrowed: " + declared), std::string::npos) << r.err;
    const nlohmann::json j = nlohmann::json::parse(r.out);
    ASSERT_EQ(j["results"].size(), 1u);
    ASSERT_EQ(j["results"][0]["narrowed"].size(), 1u) << j.dump();
    const std::string line = j["results"][0]["narrowed"][0];
    EXPECT_EQ(line.rfind(declared, 0), 0u) << line;
    EXPECT_NE(line.find(": the stretch at clock 0 is skipped"), std::string::npos) << line;

    r = cli({selftest("good"), "--include", "^determinism.splits$", "--json", "-"});
    EXPECT_EQ(r.err.find("narrowed"), std::string::npos) << r.err;
    EXPECT_TRUE(nlohmann::json::parse(r.out)["results"][0]["narrowed"].empty()) << r.out;
}

// Without --traits, the traits file beside the plug-in applies, as the
// build lays out each module with its own.
TEST(Validate, TraitsFileBesideThePluginApplies)
{
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / "sevalidate_test_beside";
    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path plugin = dir / fs::path(selftest("split_renamed")).filename();
    fs::copy_file(selftest("split_renamed"), plugin);
    const std::vector<std::string> args = {plugin.string(), "--include", "determinism.splits",
                                           "--seed", "7"};
    Cli without = cli(args);
    EXPECT_EQ(without.status, 1) << without.out << without.err;
    std::ofstream(fs::path(plugin).replace_extension(".traits.json"), std::ios::binary)
        << R"({"identifier": "Another Author Split v1", "split": "dependent", "split_reason": "carries the call length"})";
    Cli beside = cli(args);
    EXPECT_EQ(beside.status, 0) << beside.out << beside.err;
    EXPECT_NE(beside.out.find("carries the call length"), std::string::npos) << beside.out;
    fs::remove_all(dir);
}

TEST(Validate, TraitsFileNamesOnlyPinsOfTheModule)
{
    std::string f =
        traits_file("pins", R"({"identifier": "sevalidate.selftest.0", "finite_needs": ["Out"],
                                            "partial_outputs": ["Missing"]})");
    sevalidate::CheckResult r = sevalidate::run_check_here(selftest("good"), "static.pins", 7, {f});
    EXPECT_EQ(r.outcome, Outcome::Fail) << r.details;
    EXPECT_NE(r.details.find("\"Out\", not an audio input"), std::string::npos) << r.details;
    EXPECT_NE(r.details.find("\"Missing\", not an audio output"), std::string::npos) << r.details;
}

// A traits file that cannot be used stops the run before any check, with
// one line naming the file and the fault.
TEST(Validate, BadTraitsFilesCannotRun)
{
    static const struct {
        const char *what, *text, *error;
    } table[] = {
        {"not_json", "{\"identifier\": ", "not JSON"},
        {"list", "[1, 2]", "one JSON object"},
        {"no_identifier", R"({"split": "levels"})", "\"identifier\" is missing"},
        {"unknown_key", R"({"identifier": "x", "splits": "levels"})", "unknown key \"splits\""},
        {"bad_split", R"({"identifier": "x", "split": "sometimes"})",
         "\"sometimes\" is not one of"},
        {"bad_drive", R"({"identifier": "x", "split_inputs": {"In": "wobbly"}})",
         "\"wobbly\" is not one of"},
        {"names_not_list", R"({"identifier": "x", "finite_needs": "In"})", "list of pin names"},
        {"overflow", R"({"identifier": "x", "split_reason": 1e400})",
         "not JSON (after \"split_reason\"): [json.exception.out_of_range.406]"},
        {"twice", R"({"identifier": "x", "split": "levels", "split": "dependent"})",
         "\"split\" is given twice"},
        {"twice_inside", R"({"identifier": "x", "split_inputs": {"In": "zero", "In": "any"}})",
         "\"In\" in \"split_inputs\" is given twice"},
        {"too_long", nullptr, "larger than 64 KiB"},
        {"unused", R"({"identifier": "Nobody's Module v1"})",
         "\"Nobody's Module v1\" is no given plug-in's identifier"},
    };
    for (const auto &c : table) {
        const std::string text =
            c.text ? c.text
                   : R"({"identifier": "x", "split_reason": ")" + std::string(65536, 'x') + "\"}";
        const std::string file = traits_file(c.what, text);
        Cli r = cli({selftest("good"), "--traits", file});
        EXPECT_EQ(r.status, 2) << c.what;
        EXPECT_NE(r.err.find(c.error), std::string::npos) << c.what << ": " << r.err;
        EXPECT_NE(r.err.find("traits file " + file + ": "), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    // Only a regular file is read: a folder here, a FIFO and a device
    // below, each refused before anything waits or grows.
    Cli r = cli({selftest("good"), "--traits", std::filesystem::temp_directory_path().string()});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("not a regular file"), std::string::npos) << r.err;
    r = cli({selftest("good"), "--traits", "/no/such/file.json"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("cannot be read"), std::string::npos) << r.err;

    // One file per --traits: a plug-in after it stays a plug-in (the child
    // command line on Windows has that order).
    r = cli({"--traits", traits_file("fine", R"({"identifier": "sevalidate.selftest.0"})"),
             selftest("good"), "--include", "^none$"});
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("no check matches"), std::string::npos) << r.err;
}

// A child that writes without end is stopped at the cap, before it fills
// the temporary folder, and the check is a crash that says why.
TEST(Validate, WhatAChildWritesIsCapped)
{
    sevalidate::CheckResult r =
        sevalidate::run_check_isolated(selftest("chatters"), "lifecycle.open_close", 7, 60.0);
    EXPECT_EQ(r.outcome, Outcome::Crash) << r.details;
    EXPECT_NE(r.details.find("wrote more than 4 MiB"), std::string::npos) << r.details;
}

#if !defined(_WIN32)
bool gone(long pid)
{
    return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// What a check starts ends with it: a process left in the child's group,
// and one in a session of its own whose parent has gone.
TEST(Validate, ProcessesACheckStartsEndWithIt)
{
    const std::string file =
        (std::filesystem::temp_directory_path() / ("sevalidate_pids_" + std::to_string(getpid())))
            .string();
    std::filesystem::remove(file);
    setenv("SELFTEST_PID_FILE", file.c_str(), 1);
    sevalidate::CheckResult r = sevalidate::run_check_isolated(selftest("leaves_processes"),
                                                               "lifecycle.open_close", 7, 60.0);
    unsetenv("SELFTEST_PID_FILE");
    std::vector<long> pids;
    std::ifstream in(file);
    for (long pid; in >> pid;)
        pids.push_back(pid);
    EXPECT_EQ(r.outcome, Outcome::Pass) << r.details;
    EXPECT_EQ(pids.size(), 2u) << r.details;
    for (long pid : pids) {
        EXPECT_TRUE(gone(pid)) << "process " << pid << " is left";
        kill(static_cast<pid_t>(pid), SIGKILL); // whatever the outcome, none stays
    }
    std::filesystem::remove(file);
}

// A FIFO or a device is no traits file, found beside a plug-in or given:
// refused at once (reading one would wait for a writer, or never end).
TEST(Validate, TraitsFilesThatAreNoFilesAreRefusedAtOnce)
{
    namespace fs = std::filesystem;
    const fs::path dir =
        fs::temp_directory_path() / ("sevalidate_fifo_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path plugin = dir / fs::path(selftest("good")).filename();
    fs::copy_file(selftest("good"), plugin);
    const fs::path fifo = fs::path(plugin).replace_extension(".traits.json");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<std::string> runs[] = {{plugin.string(), "--include", "^static"},
                                             {selftest("good"), "--traits", fifo.string()},
                                             {selftest("good"), "--traits", "/dev/zero"}};
    for (const auto &args : runs) {
        Cli r = cli(args);
        EXPECT_EQ(r.status, 2) << args.back();
        EXPECT_NE(r.err.find("not a regular file"), std::string::npos) << r.err;
    }
    fs::remove_all(dir);
}

// Crashes and hangs need the child process (fork on Linux; on Windows the
// child is the validator's own executable, exercised by the sweep tests).
TEST(Validate, CrashAndHangAreCaughtInTheChild)
{
    sevalidate::CheckResult crash =
        sevalidate::run_check_isolated(selftest("crash"), "hostile.choices", 7, 60.0);
    EXPECT_EQ(crash.outcome, Outcome::Crash) << crash.details;

    sevalidate::CheckResult hang =
        sevalidate::run_check_isolated(selftest("hang"), "hostile.choices", 7, 3.0);
    EXPECT_EQ(hang.outcome, Outcome::Timeout) << hang.details;

    sevalidate::CheckResult fine =
        sevalidate::run_check_isolated(selftest("good"), "hostile.choices", 7, 60.0);
    EXPECT_EQ(fine.outcome, Outcome::Pass) << fine.details;
}

TEST(Validate, CommandLineReportsSeedRepeatLineAndExitCode)
{
    Cli r = cli({selftest("outside"), "--seed", "99", "--include", "^buffers\\.stretch$"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("seed 99"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("repeat: sevalidate"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("--seed 99 --include '^buffers\\.stretch$'"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");

    r = cli({selftest("good"), "--seed", "99", "--exclude", "^(gui|realtime)"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
}

// What a CI job reads: JSON alone on standard output (the report on
// standard error), failed checks only when asked, and the same outcomes
// whether the checks run one at a time or several at once.
TEST(Validate, OutputForMachines)
{
    Cli r = cli({selftest("outside"), "--seed", "5", "--level", "2", "--json", "-", "--only-failed",
                 "-j", "3"});
    EXPECT_EQ(r.status, 1) << r.err;
    nlohmann::json j = nlohmann::json::parse(r.out); // nothing but the JSON
    EXPECT_EQ(j["seed"], 5);
    EXPECT_EQ(j["level"], 2);
    ASSERT_FALSE(j["results"].empty());
    for (const auto &e : j["results"])
        EXPECT_NE(e["outcome"], "pass") << e.dump();
    EXPECT_EQ(j["summary"]["checks"], sevalidate::check_names(2).size());
    EXPECT_GT(j["summary"]["failed"].get<int>(), 0);
    EXPECT_NE(r.err.find("fail     buffers.stretch"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("pass "), std::string::npos) << r.err;

    auto outcomes = [](const std::string &report) {
        std::vector<std::string> lines;
        std::istringstream in(report);
        for (std::string line; std::getline(in, line);)
            if (line.rfind("  ", 0) == 0 && line.size() > 40 &&
                line.compare(line.size() - 2, 2, " s") == 0)
                lines.push_back(line.substr(0, 38)); // outcome and check, not the time
        return lines;
    };
    Cli one = cli({selftest("nondet"), "--seed", "8", "--level", "2"});
    Cli four = cli({selftest("nondet"), "--seed", "8", "--level", "2", "-j", "4"});
    EXPECT_EQ(one.status, 1);
    EXPECT_EQ(four.status, 1);
    EXPECT_EQ(outcomes(one.out), outcomes(four.out));
    EXPECT_EQ(outcomes(one.out).size(), sevalidate::check_names(2).size());
}
#endif

#if defined(SEVALIDATE_BIN)
// The sevalidate executable with its output, as a user runs it.
struct ToolRun {
    int status;
    std::string out, err;
};

std::string slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

ToolRun sevalidate_run(const std::string &args, const std::string &env = "")
{
    static int serial = 0;
    const std::string base =
        (std::filesystem::temp_directory_path() /
         ("sevalidate_run_" + std::to_string(getpid()) + "_" + std::to_string(serial++)))
            .string();
    std::string cmd = env + " '" SEVALIDATE_BIN "' " + args + " >'" + base + ".out' 2>'" + base +
                      ".err' </dev/null";
    int raw = std::system(cmd.c_str());
    ToolRun r{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(base + ".out"), slurp(base + ".err")};
    std::filesystem::remove(base + ".out");
    std::filesystem::remove(base + ".err");
    return r;
}

// Children's results go through a private folder that is gone when the
// validator exits, and a result file is never written through a link.
TEST(Validate, TemporaryFilesArePrivate)
{
    namespace fs = std::filesystem;
    const fs::path tmp = fs::temp_directory_path() / ("sevalidate_tmp_" + std::to_string(getpid()));
    fs::remove_all(tmp);
    fs::create_directories(tmp);
    const fs::path victim = tmp / "victim";
    std::ofstream(victim) << "keep";
    fs::create_symlink(victim, tmp / "planted.result");

    ToolRun r =
        sevalidate_run("'" + selftest("good") + "' --seed 3 --include '^(static|lifecycle)'",
                       "TMPDIR='" + tmp.string() + "'");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    std::vector<std::string> left;
    for (const auto &e : fs::directory_iterator(tmp))
        left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"planted.result", "victim"}))
        << "the private folder stays behind";

    r = sevalidate_run("--single-check static.exports --result-file '" +
                       (tmp / "planted.result").string() + "' '" + selftest("good") + "'");
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(r.err.find("cannot create"), std::string::npos) << r.err;
    EXPECT_EQ(slurp(victim.string()), "keep");
    fs::remove_all(tmp);
}
#endif

#if defined(SEVALIDATE_BIN)
// The children of process `parent` (its main thread forks the checks).
std::vector<pid_t> children_of(pid_t parent)
{
    std::istringstream in(
        slurp("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children"));
    std::vector<pid_t> out;
    for (pid_t pid; in >> pid;)
        out.push_back(pid);
    return out;
}

// INT, TERM and HUP while a check hangs: its child ends, the private folder
// and the partial JSON file are removed, one line says so, and the exit
// status is 128 + the signal.
TEST(Validate, StopSignalsEndTheChecksAndRemoveTheirFiles)
{
    namespace fs = std::filesystem;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        const fs::path tmp =
            fs::temp_directory_path() /
            ("sevalidate_stop_" + std::to_string(getpid()) + "_" + std::to_string(sig));
        fs::remove_all(tmp);
        fs::create_directories(tmp / "private");
        const std::string json = (tmp / "r.json").string(), err = (tmp / "err").string();
        const std::string hang = selftest("hang");
        pid_t validator = fork();
        if (validator == 0) {
            setenv("TMPDIR", (tmp / "private").c_str(), 1);
            for (int s : {SIGINT, SIGTERM, SIGHUP})
                signal(s, SIG_DFL);
            const int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, 2);
            execl(SEVALIDATE_BIN, SEVALIDATE_BIN, hang.c_str(), "--timeout", "30", "--json",
                  json.c_str(), "--include", "^hostile\\.choices$", "--seed", "1",
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        std::vector<pid_t> checks;
        for (int k = 0; k < 1000 && checks.empty(); ++k) {
            usleep(10000);
            checks = children_of(validator);
        }
        ASSERT_EQ(checks.size(), 1u) << "no check's child within 10 s";
        usleep(100000);
        kill(validator, sig);
        int status = 0;
        waitpid(validator, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + sig) << sig << " " << status;
        const std::string said = slurp(err);
        EXPECT_NE(said.find("stopped by SIG"), std::string::npos) << said;
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        EXPECT_TRUE(gone(checks[0])) << "the hung check's child is left";
        kill(checks[0], SIGKILL);
        std::vector<std::string> left;
        for (const auto &e : fs::recursive_directory_iterator(tmp))
            left.push_back(e.path().filename().string());
        std::sort(left.begin(), left.end());
        EXPECT_EQ(left, (std::vector<std::string>{"err", "private"})) << sig;
        fs::remove_all(tmp);
    }
}
#endif

// Every way the validation cannot run: exit code 2, one line on standard
// error naming the fault, nothing on standard output.
TEST(Validate, CannotRun)
{
    const std::string good = selftest("good");
    static const struct {
        std::vector<std::string> args;
        const char *error;
    } table[] = {
        {{}, "no plug-in given"},
        {{"/no/such/plugin.so"}, "no plug-in file /no/such/plugin.so"},
        {{"@good", "--bogus"}, "--bogus"},
        {{"@good", "--include", "("}, "bad regular expression"},
        {{"@good", "--seed", "abc"}, "--seed"},
        {{"@good", "--seed", "-5"}, "--seed"},
        {{"@good", "--seed", "12x"}, "--seed"},
        {{"@good", "--timeout", "abc"}, "--timeout"},
        {{"@good", "--timeout", "nan"}, "--timeout"},
        {{"@good", "--timeout", "0"}, "--timeout"},
        {{"@good", "--level", "0"}, "--level"},
        {{"@good", "--level", "6"}, "--level"},
        {{"@good", "-j", "0"}, "--jobs"},
        {{"@good", "--include", "^no such check$"}, "no check matches"},
        {{"@good", "--level", "1", "--include", "determinism"}, "no check matches"},
        {{"@good", "--json", "/no/such/folder/results.json"}, "--json"},
    };
    for (const auto &c : table) {
        std::vector<std::string> args = c.args;
        for (std::string &a : args)
            if (a == "@good")
                a = good;
        Cli r = cli(args);
        const std::string what = args.empty() ? "(no arguments)" : args.back();
        EXPECT_EQ(r.status, 2) << what;
        EXPECT_EQ(r.out, "") << what;
        EXPECT_NE(r.err.find(c.error), std::string::npos) << what << ": " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << what << ": " << r.err;
    }
}

TEST(Validate, HelpAndLevels)
{
    Cli r = cli({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char *option : {"--seed", "--level", "--traits", "--json", "--only-failed", "--jobs",
                               "--timeout", "Exit code"})
        EXPECT_NE(r.out.find(option), std::string::npos) << option << "\n" << r.out;
    EXPECT_EQ(r.out.find("--single-check"), std::string::npos) << "the child's options stay hidden";

    // Each level runs a superset of the one below; 3 runs every check.
    size_t below = 0;
    for (int level = 1; level <= sevalidate::kTopLevel; ++level) {
        const size_t n = sevalidate::check_names(level).size();
        EXPECT_GE(n, below) << level;
        below = n;
    }
    EXPECT_LT(sevalidate::check_names(1).size(), sevalidate::check_names(2).size());
    EXPECT_EQ(sevalidate::check_names(3), sevalidate::check_names());
    r = cli({"--list", "--level", "1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(static_cast<size_t>(std::count(r.out.begin(), r.out.end(), '\n')),
              sevalidate::check_names(1).size());
}

} // namespace

// On Windows the validator starts each check's child as this executable
// again, with --single-check: such a run is the validator's child side, as
// in sevalidate's own main, not another run of the tests.
int main(int argc, char **argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (std::find(args.begin(), args.end(), "--single-check") != args.end())
        return sevalidate::run_validation(args, std::cout, std::cerr);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
