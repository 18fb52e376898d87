// validate_test.cpp - the validator finds each fault of the self-test
// plug-ins in the check meant for it, and passes the well-behaved one.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "plugin_path.h"
#include "sevalidate/validate.h"

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using sevalidate::Outcome;

std::string selftest(const char *name) {
    return se_test::plugin_path((std::string("sevalidate_selftest_") + name).c_str());
}

TEST(Validate, GoodPluginPassesEveryCheck) {
    for (const std::string &check : sevalidate::check_names()) {
        if (check == "realtime.alloc")
            continue; // needs the counting hooks of the sevalidate executable
        sevalidate::CheckResult r = sevalidate::run_check_here(selftest("good"), check, 12345);
        EXPECT_EQ(r.outcome, Outcome::Pass) << check << ": " << sevalidate::outcome_name(r.outcome) << "\n"
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

TEST(Validate, FindsEachFaultInItsCheck) {
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
    };
    std::set<std::string> covered;
    for (const Finding &f : table) {
        sevalidate::CheckResult r = sevalidate::run_check_here(selftest(f.plugin), f.check, 7);
        EXPECT_EQ(r.outcome, Outcome::Fail) << f.plugin << " " << f.check << "\n" << r.details;
        EXPECT_NE(r.details.find(f.text), std::string::npos) << f.plugin << " " << f.check << "\n" << r.details;
        covered.insert(f.check);
    }
    // Every check has a self-test that makes it fail: the ones above, the
    // allocation check (sevalidate.selftest_alloc) and hostile.choices
    // (crash and hang, below).
    covered.insert("realtime.alloc");
    covered.insert("hostile.choices");
    for (const std::string &check : sevalidate::check_names())
        EXPECT_TRUE(covered.count(check)) << check << " has no self-test that makes it fail";
}

TEST(Validate, FaultsStayInTheirOwnChecks) {
    // The split-dependent module is deterministic, the non-deterministic one
    // writes only inside its stretches.
    EXPECT_EQ(sevalidate::run_check_here(selftest("split"), "determinism.repeat", 7).outcome, Outcome::Pass);
    EXPECT_EQ(sevalidate::run_check_here(selftest("nondet"), "buffers.stretch", 7).outcome, Outcome::Pass);
}

TEST(Validate, AllocationCheckWarnsWhereItCannotCount) {
    // Counting needs the hooks of the sevalidate executable; this test
    // executable has none, so the check cannot decide and says why.
    sevalidate::CheckResult r = sevalidate::run_check_here(selftest("alloc"), "realtime.alloc", 7);
    EXPECT_EQ(r.outcome, Outcome::Warning) << r.details;
    EXPECT_NE(r.details.find("cannot be counted"), std::string::npos) << r.details;
}

// A traits file in the temporary folder.
std::string traits_file(const std::string &name, const std::string &text) {
    const std::string path = (std::filesystem::temp_directory_path() / ("sevalidate_test_" + name + ".json")).string();
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

// What a module's author declares decides how its split-dependent output is
// judged; a traits file for another identifier changes nothing.
TEST(Validate, TraitsFileDecidesTheSplitComparison) {
    static const struct {
        const char *what, *text;
        Outcome outcome;
        const char *detail;
    } table[] = {
        {"no_file", nullptr, Outcome::Fail, "declares \"split\" in its traits file"},
        {"dependent", R"({"identifier": "Another Author Split v1", "split": "dependent",
                          "split_reason": "carries the call length"})",
         Outcome::Warning, "carries the call length"},
        {"levels", R"({"identifier": "Another Author Split v1", "split": "levels"})", Outcome::Fail, "levels"},
        {"other_module", R"({"identifier": "Someone Else v2", "split": "dependent"})", Outcome::Fail,
         "no traits file"},
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

TEST(Validate, TraitsFileNamesOnlyPinsOfTheModule) {
    std::string f = traits_file("pins", R"({"identifier": "sevalidate.selftest.0", "finite_needs": ["Out"],
                                            "partial_outputs": ["Missing"]})");
    sevalidate::CheckResult r = sevalidate::run_check_here(selftest("good"), "static.pins", 7, {f});
    EXPECT_EQ(r.outcome, Outcome::Fail) << r.details;
    EXPECT_NE(r.details.find("\"Out\", not an audio input"), std::string::npos) << r.details;
    EXPECT_NE(r.details.find("\"Missing\", not an audio output"), std::string::npos) << r.details;
}

// A traits file that cannot be used stops the run before any check, with
// one line naming the file and the fault.
TEST(Validate, BadTraitsFilesCannotRun) {
    static const struct {
        const char *what, *text, *error;
    } table[] = {
        {"not_json", "{\"identifier\": ", "not JSON"},
        {"list", "[1, 2]", "one JSON object"},
        {"no_identifier", R"({"split": "levels"})", "\"identifier\" is missing"},
        {"unknown_key", R"({"identifier": "x", "splits": "levels"})", "unknown key \"splits\""},
        {"bad_split", R"({"identifier": "x", "split": "sometimes"})", "\"sometimes\" is not one of"},
        {"bad_drive", R"({"identifier": "x", "split_inputs": {"In": "wobbly"}})", "\"wobbly\" is not one of"},
        {"names_not_list", R"({"identifier": "x", "finite_needs": "In"})", "list of pin names"},
    };
    for (const auto &c : table) {
        std::ostringstream out;
        EXPECT_EQ(sevalidate::run_validation({selftest("good"), "--traits", traits_file(c.what, c.text)}, out), 2)
            << c.what;
        EXPECT_NE(out.str().find(c.error), std::string::npos) << c.what << ": " << out.str();
    }
    std::ostringstream out;
    EXPECT_EQ(sevalidate::run_validation({selftest("good"), "--traits", "/no/such/file.json"}, out), 2);
    EXPECT_NE(out.str().find("cannot be read"), std::string::npos) << out.str();
}

#if !defined(_WIN32)
// Crashes and hangs need the child process (fork on Linux; on Windows the
// child is the validator's own executable, exercised by the sweep tests).
TEST(Validate, CrashAndHangAreCaughtInTheChild) {
    sevalidate::CheckResult crash =
        sevalidate::run_check_isolated(selftest("crash"), "hostile.choices", 7, 60.0);
    EXPECT_EQ(crash.outcome, Outcome::Crash) << crash.details;

    sevalidate::CheckResult hang = sevalidate::run_check_isolated(selftest("hang"), "hostile.choices", 7, 3.0);
    EXPECT_EQ(hang.outcome, Outcome::Timeout) << hang.details;

    sevalidate::CheckResult fine = sevalidate::run_check_isolated(selftest("good"), "hostile.choices", 7, 60.0);
    EXPECT_EQ(fine.outcome, Outcome::Pass) << fine.details;
}

TEST(Validate, CommandLineReportsSeedRepeatLineAndExitCode) {
    std::ostringstream out;
    int rc = sevalidate::run_validation(
        {selftest("outside"), "--seed", "99", "--include", "^buffers\\.stretch$"}, out);
    EXPECT_EQ(rc, 1) << out.str();
    EXPECT_NE(out.str().find("seed 99"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("repeat: sevalidate"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("--seed 99 --include '^buffers\\.stretch$'"), std::string::npos) << out.str();

    std::ostringstream good;
    EXPECT_EQ(sevalidate::run_validation({selftest("good"), "--seed", "99", "--exclude", "^(gui|realtime)"}, good), 0)
        << good.str();
}
#endif

#if defined(SEVALIDATE_BIN)
// The sevalidate executable with its output, as a user runs it.
struct ToolRun {
    int status;
    std::string out, err;
};

std::string slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

ToolRun sevalidate_run(const std::string &args, const std::string &env = "") {
    static int serial = 0;
    const std::string base = (std::filesystem::temp_directory_path() /
                              ("sevalidate_run_" + std::to_string(getpid()) + "_" + std::to_string(serial++)))
                                 .string();
    std::string cmd = env + " '" SEVALIDATE_BIN "' " + args + " >'" + base + ".out' 2>'" + base + ".err' </dev/null";
    int raw = std::system(cmd.c_str());
    ToolRun r{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(base + ".out"), slurp(base + ".err")};
    std::filesystem::remove(base + ".out");
    std::filesystem::remove(base + ".err");
    return r;
}

// Children's results go through a private folder that is gone when the
// validator exits, and a result file is never written through a link.
TEST(Validate, TemporaryFilesArePrivate) {
    namespace fs = std::filesystem;
    const fs::path tmp = fs::temp_directory_path() / ("sevalidate_tmp_" + std::to_string(getpid()));
    fs::remove_all(tmp);
    fs::create_directories(tmp);
    const fs::path victim = tmp / "victim";
    std::ofstream(victim) << "keep";
    fs::create_symlink(victim, tmp / "planted.result");

    ToolRun r = sevalidate_run("'" + selftest("good") + "' --seed 3 --include '^(static|lifecycle)'", "TMPDIR='" +
                                                                                                  tmp.string() + "'");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    std::vector<std::string> left;
    for (const auto &e : fs::directory_iterator(tmp))
        left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"planted.result", "victim"})) << "the private folder stays behind";

    r = sevalidate_run("--single-check static.exports --result-file '" + (tmp / "planted.result").string() + "' '" +
                       selftest("good") + "'");
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(r.err.find("cannot create"), std::string::npos) << r.err;
    EXPECT_EQ(slurp(victim.string()), "keep");
    fs::remove_all(tmp);
}
#endif

TEST(Validate, UsageErrors) {
    std::ostringstream out;
    EXPECT_EQ(sevalidate::run_validation({}, out), 2);
    EXPECT_EQ(sevalidate::run_validation({"x.so", "--bogus"}, out), 2);
    EXPECT_EQ(sevalidate::run_validation({"x.so", "--include", "("}, out), 2);
}

} // namespace
