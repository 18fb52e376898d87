// files_test.cpp - the output folder: nothing a patch says can put a file
// outside it, two runs never mix their files, and a run that fails or is
// stopped leaves the files of the run before it as they were.
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "cli_support.h"
#include "common/errors.h"
#include "common/safe_names.h"
#include "output/output_dir.h"

namespace {

using namespace se_cli;

// Every file anywhere under `root`, as paths relative to it.
std::vector<std::string> files_under(const fs::path &root)
{
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        if (!it->is_directory())
            out.push_back(it->path().lexically_relative(root).string());
    std::sort(out.begin(), out.end());
    return out;
}

// sehost started in the background, so that a test can signal it.
struct Running {
    pid_t pid = -1;
    std::string err_path;

    explicit Running(const std::vector<std::string> &args)
    {
        err_path = fresh_dir("running_err");
        std::vector<std::string> all = {SEHOST_BIN, "--plugins", se_test::plugin_dir()};
        all.insert(all.end(), args.begin(), args.end());
        pid = ::fork();
        if (pid == 0) {
            int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(err, 2);
            std::vector<char *> argv;
            for (std::string &a : all)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }
    ~Running()
    {
        if (pid > 0) { // a test that gave up on it
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    // Exit status, or -1 if it did not exit by itself.
    int wait()
    {
        int raw = 0;
        ::waitpid(pid, &raw, 0);
        pid = -1;
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }
};

// Waits until a file whose name starts with '.' has data in `dir`.
bool temporary_file_grows(const std::string &dir)
{
    for (int i = 0; i < 2000; ++i) {
        std::error_code ec;
        for (const auto &e : fs::directory_iterator(dir, ec))
            if (e.path().filename().string()[0] == '.' && e.is_regular_file() &&
                e.file_size() > 4096)
                return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

TEST(SehostOutputNames, FileNamesAreSingleSafeComponents)
{
    struct Case {
        std::string name;
        bool safe;
    };
    const std::vector<Case> cases = {
        {"count.Index_Count.wav", true},
        {"events.jsonl", true},
        {"a+b-c_d.mid", true},
        {"", false},
        {".", false},
        {"..", false},
        {".hidden", false},
        {"a/b", false},
        {"/abs", false},
        {"a\\b", false},
        {"../up", false},
        {"a..b", false},
        {"a b", false},
        {"a:b", false},
        {"CON", false},
        {"con.wav", false},
        {"Nul.txt", false},
        {"COM1.mid", false},
        {"lpt9", false},
        {"CONSOLE.wav", true},
        {"COM10", true},
        {std::string(200, 'a'), true},
        {std::string(201, 'a'), false},
        {std::string("a\0b", 3), false},
        {"caf\xc3\xa9", false},
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
TEST(SehostOutputNames, NoInstanceOrPinNameEscapesTheFolder)
{
    std::mt19937 rng(12345);
    static const char kAlphabet[] = "./\\:_-+ aZ9\0\xff";
    const std::string alphabet(kAlphabet, sizeof kAlphabet - 1);
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

TEST(SehostOutputNames, HostileInstanceNamesAreRefusedBeforeAnythingIsWritten)
{
    fs::path root = fs::path(fresh_dir("hostile"));
    fs::create_directories(root);
    std::string out = (root / "out").string();
    const std::vector<std::string> names = {(root / "abs").string(),
                                            "../up",
                                            "sub/dir",
                                            "back\\slash",
                                            "..",
                                            ".",
                                            "",
                                            "nul",
                                            "Con",
                                            "a b",
                                            "x.y"};
    for (const std::string &name : names) {
        json patch = {{"duration", "10ms"},
                      {"modules", {{{"name", name}, {"plugin", "pitch_adjust"}}}}};
        Result r = sehost({"run", patch_file("hostile_patch", patch), "-o", out, "--force"});
        EXPECT_EQ(r.status, 2) << name;
        EXPECT_NE(r.err.find("modules[0].name"), std::string::npos) << name << ": " << r.err;
    }
    for (const std::string &f : files_under(root))
        EXPECT_EQ(f.rfind("out/", 0), 0u) << "written outside the output folder: " << f;
}

TEST(SehostOutputFolder, ASecondRunIntoAFolderInUseFailsAndChangesNothing)
{
    std::string out = fresh_dir("locked");
    ASSERT_EQ(sehost({"render", "pitch_adjust", "-d", "10ms", "-o", out}).status, 0);
    std::string before = slurp(out + "/pitch_adjust.Pitch_Adj.wav");
    int fd = ::open(out.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0); // as a running sehost holds it
    Result r = sehost(
        {"render", "pitch_adjust", "--set", "Octave=+1", "-d", "10ms", "-o", out, "--force"});
    ::close(fd);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("output folder in use by another run"), std::string::npos) << r.err;
    EXPECT_EQ(slurp(out + "/pitch_adjust.Pitch_Adj.wav"), before);
    EXPECT_EQ(files_under(out), (std::vector<std::string>{
                                    "events.jsonl", "pitch_adjust.Pitch_Adj.wav", "report.html"}));
}

// Temporary files are new files of the run's own: whatever waits at a
// predictable name (here a link to a file outside) is left alone.
TEST(SehostOutputFolder, TemporaryFilesAreCreatedAfreshUnderNamesOfTheirOwn)
{
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
    mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(static_cast<mode_t>(fs::status(out + "/events.jsonl").permissions()), 0666 & ~mask);
    EXPECT_TRUE(fs::is_symlink(fs::path(out) / ".events.jsonl.part")); // not ours to remove
}

// Stopped part-way, a run leaves the previous set: it removes its own
// temporaries when it can (INT, TERM, HUP), and the next run into the
// folder removes those of one that could not, and only those.
TEST(SehostOutputFolder, AStoppedRunLeavesThePreviousSetAndNoTemporaries)
{
    struct Case {
        int signal, status; // -1: ended by the signal
    };
    for (const Case c :
         {Case{SIGINT, 130}, Case{SIGTERM, 143}, Case{SIGHUP, 129}, Case{SIGKILL, -1},
          Case{SIGPIPE, -1}, Case{SIGUSR1, -1}, Case{SIGALRM, -1}}) {
        std::string out = fresh_dir("interrupted");
        ASSERT_EQ(sehost({"render", "pitch_adjust", "-d", "10ms", "-o", out}).status, 0);
        std::string before = slurp(out + "/pitch_adjust.Pitch_Adj.wav");
        std::ofstream(out + "/.notes") << "mine";
        fs::create_symlink("/dev/null", out + "/.x.wav.AbCdEf.part"); // named like ours
        // Long enough to be stopped part-way.
        Running run(
            {"render", "pitch_adjust", "--set", "Octave=+1", "-d", "3000s", "-o", out, "--force"});
        ASSERT_TRUE(temporary_file_grows(out));
        ::kill(run.pid, c.signal);
        EXPECT_EQ(run.wait(), c.status);
        std::string err = slurp(run.err_path);
        if (c.status > 0)
            EXPECT_NE(err.find("temporary files removed; " + out + " holds what it held before"),
                      std::string::npos)
                << err;
        else
            EXPECT_EQ(sehost({"render", "pitch_adjust", "-d", "10ms", "-o", out}).status, 2);
        EXPECT_EQ(files_under(out),
                  (std::vector<std::string>{".notes", ".x.wav.AbCdEf.part", "events.jsonl",
                                            "pitch_adjust.Pitch_Adj.wav", "report.html"}))
            << c.signal;
        EXPECT_EQ(slurp(out + "/pitch_adjust.Pitch_Adj.wav"), before);
    }
}

// The whole set is committed at the end or not at all: a report that cannot
// take its place (a folder in the way) leaves the previous WAV and events.
TEST(SehostOutputFolder, AFailedCommitLeavesThePreviousSetIntactAndSaysSo)
{
    std::string out = fresh_dir("failed_commit");
    ASSERT_EQ(sehost({"render", "pitch_adjust", "-d", "10ms", "-o", out}).status, 0);
    std::string wav = slurp(out + "/pitch_adjust.Pitch_Adj.wav"),
                events = slurp(out + "/events.jsonl");
    fs::remove(out + "/report.html");
    fs::create_directory(out + "/report.html");
    Result r = sehost(
        {"render", "pitch_adjust", "--set", "Octave=+2", "-d", "20ms", "-o", out, "--force"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("report.html"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("left as they were"), std::string::npos) << r.err;
    EXPECT_EQ(slurp(out + "/pitch_adjust.Pitch_Adj.wav"), wav);
    EXPECT_EQ(slurp(out + "/events.jsonl"), events);
    EXPECT_EQ(files_under(out),
              (std::vector<std::string>{"events.jsonl", "pitch_adjust.Pitch_Adj.wav"}));
}

} // namespace
