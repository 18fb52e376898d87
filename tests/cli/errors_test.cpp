// errors_test.cpp - every bad input gives exit status 2 and one line that
// names what is wrong and where; no output file is left half-written.
#include <fstream>

#include "cli_support.h"

namespace {

using namespace se_cli;

std::string file_with(const std::string &name, const std::string &text)
{
    fs::path p = fs::path(fresh_dir("inputs")).parent_path() / name;
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text;
    return p.string();
}

struct BadCase {
    std::vector<std::string> args;
    std::string message; // must appear in the one line
};

TEST(SehostErrors, BadInputsExitTwoWithOneClearLine)
{
    std::string out = fresh_dir("errors");
    std::string malformed =
        file_with("malformed.json", "{\n  \"modules\": [\n    {\"name\": \"a\",, }\n  ]\n}\n");
    // The patch graph's errors are a table of their own (tests/live,
    // through both drivers); here one of them found building the patch and
    // one found running it reach the command line.
    std::string kinds = file_with("kinds.json", R"({"modules":[{"name":"a","plugin":"edge_detect"},
        {"name":"b","plugin":"midi_choice"}], "connections":[["a.Pulse Out","b.Midi In"]]})");
    std::string gui_loop =
        file_with("gui_loop.json", R"({"duration":"0.05s","modules":[{"name":"a","plugin":")" +
                                       se_test::plugin_path("gui_follower") +
                                       R"(","at":[{"time":"0.01s","set":{"In":1}}]}],
        "connections":[["a.Out","a.In"]]})");
    std::string not_wav = file_with("not.wav", "this is not audio");
    std::string not_mid = file_with("not.mid", "MThd but not really");
    const std::vector<BadCase> cases = {
        {{"info", "no_such_module"}, "no plug-in \"no_such_module\""},
        {{"info", not_wav}, "cannot load plug-in"},
        {{"info", "/usr/bin/env"}, "cannot load"},
        {{"render", "edge_detect", "--set", "Mode=Sqr"},
         "--set \"Mode=Sqr\": no pin \"Mode\"; inputs are \"Audio In\", \"Detect Mode\""},
        {{"render", "edge_detect", "--set", "Pulse Mode=Square"},
         "has no entry \"Square\"; valid: \"+Ve\", \"+Ve/-Ve\", \"Sqr\", \"Sqr+0\", \"Sqr2\""},
        {{"render", "pulse_counter", "--set", "End=65"}, "pin \"End\" has no entry \"65\""},
        {{"render", "pulse_counter", "--at", "1s", "Active=MAYBE"}, "--at 1s \"Active=MAYBE\""},
        {{"render", "pitch_adjust", "--at", "5s", "Octave=+1", "-d", "1s"},
         "after the end of the run"},
        {{"render", "pitch_adjust", "-d", "0"}, "--duration: duration is zero"},
        {{"render", "pitch_adjust", "-d", "-2s"}, "--duration: time \"-2s\" is negative"},
        {{"render", "pitch_adjust", "-d", "100000s"}, "absurd"},
        {{"render", "pitch_adjust", "--rate", "0"}, "--rate: sample rate"},
        {{"render", "pitch_adjust", "--rate", "-44100"}, "--rate: sample rate"},
        {{"render", "pitch_adjust", "--rate", "5e9"}, "\"5e9\" is not a whole number"},
        {{"render", "pitch_adjust", "--block", "0"}, "--block: block size 0"},
        {{"render", "edge_detect", "--set", "Audio In=" + not_wav}, "cannot read WAV file"},
        {{"render", "edge_detect", "--set", "Audio In=sine:abc"}, "\"abc\" is no number"},
        {{"render", "midi_choice", "--midi-file", not_mid}, "--midi-file: cannot read MIDI file"},
        {{"render", "midi_choice", "--midi", "0.5s=note 1 2"}, "--midi \"0.5s=note 1 2\""},
        {{"render", "pitch_adjust", "--midi", "0.5s=on 1 60 100"}, "has no MIDI input"},
        {{"run", malformed}, "malformed.json: line 3, column 18: malformed JSON"},
        {{"run", kinds}, "cannot wire audio output \"a.Pulse Out\" to midi input \"b.Midi In\""},
        {{"run", gui_loop}, "GUI connections from \"a.Out\" loop back on themselves"},
        {{"run", "/no/such/patch.json"}, "cannot read the patch file"},
        {{"render"}, "PLUGIN is required"},
    };
    std::vector<BadCase> all_cases = cases;
    if (fs::exists("/lib/x86_64-linux-gnu/libm.so.6")) // a library without the exports
        all_cases.push_back(
            {{"info", "/lib/x86_64-linux-gnu/libm.so.6"}, "export getModuleProperties is missing"});
    for (const BadCase &c : all_cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-o", out});
        if (c.args[0] == "info")
            args.resize(c.args.size());
        Result r = sehost(args);
        std::string all;
        for (const auto &a : c.args)
            all += a + " ";
        EXPECT_EQ(r.status, 2) << all;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << all << "\n  got: " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << all << "\n  got: " << r.err;
        EXPECT_EQ(r.err.find("terminate"), std::string::npos);
    }
    EXPECT_FALSE(fs::exists(out + "/events.jsonl"));
}

TEST(SehostErrors, ExistingFilesAreKeptWithoutForce)
{
    std::string out = fresh_dir("force");
    ASSERT_EQ(sehost({"render", "pitch_adjust", "-d", "0.1s", "-o", out}).status, 0);
    std::string before = slurp(out + "/events.jsonl");
    Result r = sehost({"render", "pitch_adjust", "-d", "0.2s", "--set", "Octave=+2", "-o", out});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("exists; use --force"), std::string::npos) << r.err;
    EXPECT_EQ(slurp(out + "/events.jsonl"), before);
    r = sehost(
        {"render", "pitch_adjust", "-d", "0.2s", "--set", "Octave=+2", "-o", out, "--force"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_wav(out + "/pitch_adjust.Pitch_Adj.wav").size(), 8820u);
    for (const auto &f : fs::directory_iterator(out))
        EXPECT_NE(f.path().extension(), ".part") << f.path();
}

} // namespace

namespace {
using namespace se_cli;

TEST(SehostValidate, PassesADeliverableAndFailsAFaultyPlugin)
{
    Result good = sehost({"validate", "pitch_adjust", "--seed", "5"});
    EXPECT_EQ(good.status, 0) << good.out << good.err;
    EXPECT_NE(good.out.find("0 failed, 0 crashed"), std::string::npos) << good.out;
    EXPECT_NE(good.out.find("(seed 5)"), std::string::npos) << good.out;

    // A test plug-in that writes outside the stretch it was given.
    Result bad =
        sehost({"validate", se_test::plugin_path("sevalidate_selftest_outside"), "--seed", "5"});
    EXPECT_EQ(bad.status, 1) << bad.out << bad.err;
    EXPECT_NE(bad.out.find("fail "), std::string::npos) << bad.out;
    EXPECT_NE(bad.out.find("--seed 5"), std::string::npos) << bad.out; // the repeat line

    Result missing = sehost({"validate", "no_such_plugin"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("no_such_plugin"), std::string::npos) << missing.err;
}
} // namespace
