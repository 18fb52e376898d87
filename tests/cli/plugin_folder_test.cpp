// plugin_folder_test.cpp - the plug-in folder holds the module pack alone
// (test fixtures have their own), a mistyped name gets the nearest one, and
// a Windows DLL given to `validate` goes to the Windows validator under wine.
#include <cstdlib>

#include "cli_support.h"
#include "commands/windows_dll.h"
#include "deliverables.h"

namespace {

using namespace se_cli;

TEST(SehostPluginFolder, HoldsThePackAloneAndSuggestsTheNearestName)
{
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(se_test::plugin_dir()))
        if (e.path().extension() == SE_TEST_PLUGIN_SUFFIX) // beside them: their traits files
            names.push_back(e.path().stem().string());
    std::sort(names.begin(), names.end());
    std::vector<std::string> pack = se_test::deliverable_names();
    std::sort(pack.begin(), pack.end());
    EXPECT_EQ(names, pack);
    ASSERT_GE(pack.size(), 2u);
    expect_refused({
        {{"info", "pitch_adjst"},
         "no plug-in \"pitch_adjst\" in " + se_test::plugin_dir() +
             "; did you mean \"pitch_adjust\"?"},
        {{"render", "panel_swich4", "-o", fresh_dir("near")}, "did you mean \"panel_switch4\"?"},
        {{"info", "nothing_like_it"}, "; there are \"" + pack[0] + "\", \"" + pack[1] + "\""},
    });
}

// The smallest file that passes for a PE image.
std::string fake_dll(const std::string &name)
{
    std::string image(0x48, '\0');
    image[0] = 'M';
    image[1] = 'Z';
    image[0x3C] = 0x40;
    image.replace(0x40, 4, std::string("PE\0\0", 4));
    return input_file(name, image);
}

TEST(SehostPluginFolder, WindowsDllsAreRecognised)
{
    EXPECT_TRUE(secli::is_windows_dll(fake_dll("a.dll")));
    EXPECT_FALSE(secli::is_windows_dll(se_test::plugin_path("pitch_adjust")));
    EXPECT_FALSE(secli::is_windows_dll(input_file("mz.dll", "MZ only")));
    EXPECT_FALSE(secli::is_windows_dll("/no/such.dll"));
    EXPECT_EQ(secli::wine_path("/work/b/x.dll"), "Z:\\work\\b\\x.dll");
    EXPECT_EQ(secli::wine_path("b/x.dll"), "b\\x.dll");
}

// Sets an environment variable for one test and restores it.
struct ScopedEnv {
    std::string name, old;
    bool had;
    ScopedEnv(const std::string &n, const std::string &value) : name(n)
    {
        const char *v = std::getenv(n.c_str());
        had = v != nullptr;
        old = v ? v : "";
        setenv(n.c_str(), value.c_str(), 1);
    }
    ~ScopedEnv()
    {
        if (had)
            setenv(name.c_str(), old.c_str(), 1);
        else
            unsetenv(name.c_str());
    }
};

TEST(SehostPluginFolder, ValidateHandsWindowsDllsToWine)
{
    std::string dll = fake_dll("plugin.dll");
    fs::path bin = fs::path(fresh_dir("fake_wine"));
    fs::create_directories(bin);
    // A stand-in for wine that records what it was asked to run.
    std::string wine = (bin / "wine").string(), record = (bin / "args").string();
    std::ofstream(wine) << "#!/bin/sh\nprintf '%s\\n' \"$@\" > " << quote(record) << "\nexit 3\n";
    fs::permissions(wine, fs::perms::owner_all);
    std::string validator = input_file("sevalidate.exe", "stand-in");

    {
        ScopedEnv v("SEHOST_WIN32_VALIDATOR", (bin / "missing.exe").string());
        Result r = sehost({"validate", dll, "--seed", "5"});
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("cmake --build --preset win32 --target sevalidate"), std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find("run: wine " + (bin / "missing.exe").string() + " 'Z:"),
                  std::string::npos)
            << r.err;
    }
    {
        ScopedEnv v("SEHOST_WIN32_VALIDATOR", validator);
        ScopedEnv path("PATH", bin.string() + ":" + std::getenv("PATH"));
        Result r = sehost({"validate", dll, "--seed", "5", "--json", "/tmp/r.json"});
        EXPECT_EQ(r.status, 3) << r.err; // the validator's own status
        EXPECT_EQ(slurp(record), validator + "\n" + secli::wine_path(dll) +
                                     "\n--seed\n5\n--json\nZ:\\tmp\\r.json\n");

        r = sehost({"validate", dll, "pitch_adjust"});
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("Windows DLLs and Linux plug-ins go to separate runs"),
                  std::string::npos)
            << r.err;
    }
}

} // namespace
