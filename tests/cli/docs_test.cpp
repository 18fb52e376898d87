// docs_test.cpp - every command in the user guides runs as the guide shows
// it. Commands are taken from the Markdown itself, so a new example is
// tested as soon as it is written: fenced blocks marked `sh` must exit 0,
// blocks marked `sh fails` must fail with one line and exit status 2, and a
// block marked `json NAME` is a file the commands of that guide can use.
// Each command runs in a fresh folder holding the guide's files and a link
// build/native to this build, as if run from the top of the repository.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Example {
    std::string guide;   // file name
    int line = 0;        // where the command starts
    std::string command; // continuation lines joined
    bool fails = false;
    std::map<std::string, std::string> files; // the guide's `json NAME` blocks
};

// How a test names its example in listings: where it stands.
void PrintTo(const Example &e, std::ostream *os)
{
    *os << e.guide << ":" << e.line;
}

struct Guide {
    std::vector<Example> examples;
    std::vector<std::string> stray; // commands outside a fenced block
};

Guide read_guide(const fs::path &path)
{
    Guide g;
    std::ifstream in(path);
    std::string line, info, body, pending;
    bool in_block = false;
    int number = 0, pending_line = 0;
    std::map<std::string, std::string> files;
    std::vector<Example> found;
    while (std::getline(in, line)) {
        ++number;
        if (line.rfind("```", 0) == 0) {
            if (!in_block) {
                in_block = true;
                info = line.substr(3);
                body.clear();
                continue;
            }
            in_block = false;
            if (info.rfind("json ", 0) == 0)
                files[info.substr(5)] = body;
            continue;
        }
        if (!in_block) {
            std::string t = line.substr(line.find_first_not_of(' ') == std::string::npos
                                            ? line.size()
                                            : line.find_first_not_of(' '));
            if (t.rfind("build/native/bin/sehost ", 0) == 0 || t.rfind("sehost ", 0) == 0)
                g.stray.push_back(path.filename().string() + ":" + std::to_string(number) + ": " +
                                  t);
            continue;
        }
        body += line + "\n";
        if (info != "sh" && info != "sh fails")
            continue;
        if (pending.empty())
            pending_line = number;
        bool more = !line.empty() && line.back() == '\\';
        pending += more ? line.substr(0, line.size() - 1) : line;
        if (more)
            continue;
        if (pending.find_first_not_of(' ') != std::string::npos)
            found.push_back(
                Example{path.filename().string(), pending_line, pending, info == "sh fails", {}});
        pending.clear();
    }
    for (Example &e : found)
        e.files = files;
    g.examples = found;
    return g;
}

std::vector<fs::path> guides()
{
    std::vector<fs::path> out;
    for (const auto &entry : fs::directory_iterator(SE_DOCS_DIR))
        if (entry.path().extension() == ".md")
            out.push_back(entry.path());
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<Example> all_examples()
{
    std::vector<Example> out;
    for (const fs::path &p : guides())
        for (const Example &e : read_guide(p).examples)
            out.push_back(e);
    return out;
}

std::string slurp(const fs::path &p)
{
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class SehostGuideCommand : public testing::TestWithParam<Example>
{};

TEST_P(SehostGuideCommand, RunsAsShown)
{
    const Example &e = GetParam();
    ASSERT_EQ(e.command.rfind("build/native/bin/sehost ", 0), 0u)
        << e.guide << ":" << e.line
        << ": examples call the built binary as the guides say: " << e.command;
    fs::path dir = fs::temp_directory_path() / ("sehost_docs_" + std::to_string(getpid()) + "_" +
                                                e.guide + "_" + std::to_string(e.line));
    fs::remove_all(dir);
    fs::create_directories(dir / "build");
    fs::create_directory_symlink(SE_BUILD_DIR, dir / "build" / "native");
    for (const auto &[name, text] : e.files)
        std::ofstream(dir / name) << text;
    std::string cmd =
        "cd '" + dir.string() + "' && (" + e.command + ") >stdout.txt 2>stderr.txt </dev/null";
    int raw = std::system(cmd.c_str());
    int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    std::string err = slurp(dir / "stderr.txt");
    if (e.fails) {
        EXPECT_EQ(status, 2) << e.guide << ":" << e.line << ": " << e.command;
        EXPECT_EQ(err.rfind("sehost: ", 0), 0u) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << "one line: " << err;
    } else {
        EXPECT_EQ(status, 0) << e.guide << ":" << e.line << ": " << e.command << "\n" << err;
    }
    if (!HasFailure())
        fs::remove_all(dir);
}

std::string example_name(const testing::TestParamInfo<Example> &info)
{
    std::string n = info.param.guide.substr(0, info.param.guide.find('.')) + "_line" +
                    std::to_string(info.param.line);
    for (char &c : n)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return n;
}

INSTANTIATE_TEST_SUITE_P(Guides, SehostGuideCommand, testing::ValuesIn(all_examples()),
                         example_name);

// The guides of sehost and of the modules show commands, and no guide has
// one outside a block the tests read.
TEST(SehostGuides, EveryExampleIsInATestedBlock)
{
    size_t guides_seen = 0;
    for (const fs::path &p : guides()) {
        Guide g = read_guide(p);
        ++guides_seen;
        if (p.filename() == "sehost.md" || p.filename() == "modules.md") {
            EXPECT_FALSE(g.examples.empty()) << p << " shows no command";
        }
        for (const std::string &s : g.stray)
            ADD_FAILURE() << "a command outside a sh block, not tested: " << s;
    }
    EXPECT_GE(guides_seen, 2u);
}

} // namespace
