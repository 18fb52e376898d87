// command_line_test.cpp - the conventions of the command line: --version,
// unknown commands and options answered with the nearest name, errors that
// point to the command's own --help, global options on either side of the
// command word.
#include <regex>

#include "cli_support.h"
#include "common/suggest.h"

namespace {

using namespace se_cli;

TEST(SehostCommandLine, VersionIsThreeNumbers)
{
    Result r = sehost_bare({"--version"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(std::regex_match(r.out, std::regex("sehost [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << r.out;
}

// One document shape for one plug-in or several, with the version in it.
TEST(SehostCommandLine, InfoJsonHasOneShape)
{
    Result version = sehost_bare({"--version"});
    for (const std::vector<std::string> &names : {std::vector<std::string>{"pitch_adjust"},
                                                  {"pitch_adjust", "edge_detect", "midi_choice"}}) {
        std::vector<std::string> args = {"info", "--json"};
        args.insert(args.end(), names.begin(), names.end());
        Result r = sehost(args);
        ASSERT_EQ(r.status, 0) << r.err;
        json doc = json::parse(r.out);
        ASSERT_TRUE(doc.is_object()) << r.out;
        EXPECT_EQ("sehost " + doc["sehost_version"].get<std::string>() + "\n", version.out);
        ASSERT_TRUE(doc["plugins"].is_array());
        ASSERT_EQ(doc["plugins"].size(), names.size());
        for (size_t i = 0; i < names.size(); ++i)
            EXPECT_EQ(fs::path(doc["plugins"][i]["file"].get<std::string>()).stem(), names[i]);
    }
}

TEST(SehostCommandLine, NearestNames)
{
    const std::vector<std::string> commands = {"info", "render", "run", "demo", "validate"};
    const std::pair<const char *, const char *> cases[] = {
        {"rendr", "render"},
        {"rnuder", "render"},
        {"rneder", "render"},
        {"valdiate", "validate"},
        {"inf", "info"},
        {"xyzzy", ""},
        {"", ""},
        {"renderrrrrrr", ""},
    };
    for (const auto &[word, want] : cases)
        EXPECT_EQ(secli::nearest(word, commands), want) << word;
    EXPECT_EQ(secli::edit_distance("--durtion", "--duration"), 1u);
    EXPECT_EQ(secli::edit_distance("ab", "ba"), 1u);
    EXPECT_EQ(secli::edit_distance("abcd", "badc"), 2u);
    // Words up to 64 bytes get suggestions; longer ones none.
    const std::string name(60, 'p');
    EXPECT_EQ(secli::nearest(name + "x", {"render", name}), name);
    EXPECT_EQ(secli::nearest(name + "xxxxx", {"render", name + "xxxx"}), "");
}

// A name of any length is answered at once with one line of bounded length:
// a 10 MB plug-in name in a patch costs no table of 10 MB by 12, and is not
// printed whole.
TEST(SehostCommandLine, NamesOfAnyLengthAreAnsweredAtOnce)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer reserves more address space than the limit below";
#else
    const std::string patch = patch_file(
        "long_name", json{{"modules", {{{"name", "a"}, {"plugin", std::string(10000000, 'x')}}}}});
    const std::string err = fresh_dir("long_name") + ".err";
    const std::string cmd = "ulimit -v 400000; " + quote(SEHOST_BIN) + " --plugins " +
                            quote(se_test::plugin_dir()) + " run " + quote(patch) + " -o " +
                            quote(fresh_dir("long_name")) + " >/dev/null 2>" + quote(err);
    const int raw = std::system(("sh -c " + quote(cmd)).c_str());
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 2) << "exit " << raw;
    const std::string line = slurp(err);
    EXPECT_EQ(line.rfind("sehost: " + patch + ": modules[0].plugin: no plug-in \"xxx", 0), 0u)
        << line.substr(0, 200);
    EXPECT_NE(line.find("more bytes]"), std::string::npos);
    EXPECT_LT(line.size(), 5000u);
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1);
#endif
}

TEST(SehostCommandLine, MistakesAreNamedWithTheNearestNameAndTheHelpToRead)
{
    std::string out = fresh_dir("command_line");
    expect_refused({
        {{"rendr", "pitch_adjust"},
         "unknown command \"rendr\"; did you mean \"render\"? (see sehost --help)"},
        {{"xyzzy"}, "unknown command \"xyzzy\"; commands are \"info\""},
        {{"render", "pitch_adjust", "--durtion", "1s"},
         "render: unknown option \"--durtion\"; did you mean \"--duration\"? (see sehost render "
         "--help)"},
        {{"run", "p.json", "--forse"},
         "run: unknown option \"--forse\"; did you mean \"--force\"?"},
        {{"--durtion"}, "unknown option \"--durtion\"; did you mean \"--duration\"?"},
        {{"render", "pitch_adjust", "surplus", "-o", out},
         "render: unexpected argument \"surplus\" (see sehost render --help)"},
        {{"render"}, "PLUGIN is required (see sehost render --help)"},
        {{"render", "pitch_adjust", "--rate", "5", "-o", out},
         "--rate: sample rate 5 is outside 1000 to 768000 Hz (see sehost render --help)"},
        {{"demo", "--split-max", "0", "-o", out}, "(see sehost demo --help)"},
    });
}

TEST(SehostCommandLine, GlobalOptionsBeforeOrAfterTheCommand)
{
    // A plug-in folder holding one plug-in under a name only it has.
    fs::path dir = fs::path(fresh_dir("own_plugins"));
    fs::create_directories(dir);
    fs::copy_file(
        se_test::plugin_path("pitch_adjust"),
        dir / ("only_here" + fs::path(se_test::plugin_path("pitch_adjust")).extension().string()));
    const std::vector<std::vector<std::string>> lines = {
        {"--plugins", dir.string(), "info", "only_here"},
        {"info", "only_here", "--plugins", dir.string()},
        {"info", "--plugins=" + dir.string(), "only_here"},
        {"render", "only_here", "-d", "10ms", "--plugins", dir.string(), "-o",
         (dir / "out").string()},
        {"validate", "only_here", "--plugins", dir.string(), "--include", "^static\\.exports$"},
        {"--plugins", dir.string(), "validate", "only_here", "--include", "^static\\.exports$"},
    };
    for (const auto &args : lines) {
        Result r = sehost_bare(args);
        std::string line;
        for (const auto &a : args)
            line += a + " ";
        EXPECT_EQ(r.status, 0) << line << "\n" << r.out << r.err;
    }
    Result missing = sehost_bare({"info", "only_here"});
    EXPECT_EQ(missing.status, 2) << "only_here found without --plugins";
}

} // namespace
