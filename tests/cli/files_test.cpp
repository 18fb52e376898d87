// files_test.cpp - the output folder: nothing a patch says can put a file
// outside it, two runs never mix their files, and a run that fails or is
// stopped leaves the files of the run before it as they were.
#include <fcntl.h>
#include <random>
#include <sys/file.h>
#include <unistd.h>

#include "cli_support.h"
#include "errors.h"
#include "output_dir.h"

namespace {

using namespace se_cli;

std::string patch_file(const std::string &name, const json &patch) {
    fs::path p = fs::path(fresh_dir(name)).parent_path() / (name + ".json");
    fs::create_directories(p.parent_path());
    std::ofstream(p) << patch.dump();
    return p.string();
}

// Every file anywhere under `root`, as paths relative to it.
std::vector<std::string> files_under(const fs::path &root) {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (!it->is_directory())
            out.push_back(fs::relative(it->path(), root).string());
    std::sort(out.begin(), out.end());
    return out;
}

TEST(OutputNames, FileNamesAreSingleSafeComponents) {
    struct Case {
        std::string name;
        bool safe;
    };
    const std::vector<Case> cases = {
        {"count.Index_Count.wav", true}, {"events.jsonl", true}, {"a+b-c_d.mid", true},
        {"", false}, {".", false}, {"..", false}, {".hidden", false}, {"a/b", false}, {"/abs", false},
        {"a\\b", false}, {"../up", false}, {"a..b", false}, {"a b", false}, {"a:b", false},
        {"CON", false}, {"con.wav", false}, {"Nul.txt", false}, {"COM1.mid", false}, {"lpt9", false},
        {"CONSOLE.wav", true}, {"COM10", true}, {std::string(200, 'a'), true}, {std::string(201, 'a'), false},
        {std::string("a\0b", 3), false}, {"caf\xc3\xa9", false},
    };
    secli::OutputDir dir(fresh_dir("names"), false);
    for (const Case &c : cases) {
        EXPECT_EQ(secli::is_safe_file_name(c.name), c.safe) << c.name;
        if (c.safe)
            EXPECT_EQ(fs::path(dir.path(c.name)).parent_path(), fs::path(dir.dir())) << c.name;
        else
            EXPECT_THROW(dir.path(c.name), secli::InputError) << c.name;
    }
}

// Random instance and pin names: each is refused or lands directly in the
// folder.
TEST(OutputNames, NoInstanceOrPinNameEscapesTheFolder) {
    std::mt19937 rng(12345);
    const std::string alphabet = std::string("./\\:_-+ aZ9\0\xff", 15);
    secli::OutputDir dir(fresh_dir("random_names"), false);
    int accepted = 0;
    for (int i = 0; i < 20000; ++i) {
        std::string instance, pin;
        for (size_t n = rng() % 7; n; --n)
            instance += alphabet[rng() % alphabet.size()];
        for (size_t n = rng() % 9; n; --n)
            pin += alphabet[rng() % alphabet.size()];
        try {
            secli::check_instance_name(instance, "t");
        } catch (const secli::InputError &) {
            continue;
        }
        ++accepted;
        for (const char *ext : {".wav", ".mid", ".midi.txt"}) {
            std::string name = secli::file_stem(instance, pin) + ext;
            ASSERT_TRUE(secli::is_safe_file_name(name)) << instance << " / " << pin;
            EXPECT_EQ(fs::path(dir.path(name)).parent_path(), fs::path(dir.dir()));
        }
    }
    EXPECT_GT(accepted, 1000); // the alphabet holds enough name characters
}

TEST(OutputNames, HostileInstanceNamesAreRefusedBeforeAnythingIsWritten) {
    fs::path root = fs::path(fresh_dir("hostile"));
    fs::create_directories(root);
    std::string out = (root / "out").string();
    const std::vector<std::string> names = {(root / "abs").string(), "../up", "sub/dir", "back\\slash", "..", ".",
                                            "", "nul", "Con", "a b", "x.y"};
    for (const std::string &name : names) {
        json patch = {{"duration", "10ms"}, {"modules", {{{"name", name}, {"plugin", "pitch_adjust"}}}}};
        Result r = sehost({"run", patch_file("hostile_patch", patch), "-o", out, "--force"});
        EXPECT_EQ(r.status, 2) << name;
        EXPECT_NE(r.err.find("modules[0].name"), std::string::npos) << name << ": " << r.err;
    }
    for (const std::string &f : files_under(root))
        EXPECT_EQ(f.rfind("out/", 0), 0u) << "written outside the output folder: " << f;
}

TEST(OutputFolder, ASecondRunIntoAFolderInUseFailsAndChangesNothing) {
    std::string out = fresh_dir("locked");
    ASSERT_EQ(sehost({"render", "pitch_adjust", "-d", "10ms", "-o", out}).status, 0);
    std::string before = slurp(out + "/pitch_adjust.Pitch_Adj.wav");
    int fd = ::open(out.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0); // as a running sehost holds it
    Result r = sehost({"render", "pitch_adjust", "--set", "Octave=+1", "-d", "10ms", "-o", out, "--force"});
    ::close(fd);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("output folder in use by another run"), std::string::npos) << r.err;
    EXPECT_EQ(slurp(out + "/pitch_adjust.Pitch_Adj.wav"), before);
    EXPECT_EQ(files_under(out), (std::vector<std::string>{"events.jsonl", "pitch_adjust.Pitch_Adj.wav",
                                                          "report.html"}));
}

// Temporary files are new files of the run's own: whatever waits at a
// predictable name (here a link to a file outside) is left alone.
TEST(OutputFolder, TemporaryFilesAreCreatedAfreshUnderNamesOfTheirOwn) {
    fs::path root = fresh_dir("planted");
    std::string out = (root / "out").string();
    fs::create_directories(out);
    std::ofstream(root / "victim") << "keep me";
    for (const char *name : {"pitch_adjust.Pitch_Adj.wav", "events.jsonl", "report.html"})
        fs::create_symlink(root / "victim", fs::path(out) / ("." + std::string(name) + ".part"));
    Result r = sehost({"render", "pitch_adjust", "-d", "10ms", "-o", out});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp((root / "victim").string()), "keep me");
    EXPECT_EQ(read_wav(out + "/pitch_adjust.Pitch_Adj.wav").size(), 441u);
    EXPECT_TRUE(fs::is_symlink(fs::path(out) / ".events.jsonl.part")); // not ours to remove
}

} // namespace
