// files_test.cpp - the output folder: nothing a patch says can put a file
// outside it.
#include <random>

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

} // namespace
