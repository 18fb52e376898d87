// library_test.cpp - loading, properties and the host's strictness at creation.
#include <gtest/gtest.h>

#include <string>

#include "plugin_path.h"
#include "sehost/sehost.h"

namespace {

TEST(HostLibrary, BadPathNamesThePath)
{
    const std::string path = se_test::plugin_path("no_such_plugin_here");
    try {
        sehost::Library::load(path);
        FAIL() << "loading a missing library succeeded";
    } catch (const sehost::HostError &e) {
        EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    }
}

TEST(HostLibrary, PropertiesAreCopied)
{
    auto lib = sehost::Library::load(se_test::plugin_path("host_fixture"));
    sehost::ModuleInfo info = lib->properties();
    EXPECT_EQ(info.name, "Host Fixture");
    EXPECT_EQ(info.identifier, "host fixture");
    EXPECT_EQ(info.about, "Drives the reference host's tests.\nNo sound.");
    EXPECT_EQ(info.sdk_revision, 2240);
    ModuleProperties props{};
    EXPECT_EQ(lib->get_properties_fn()(1, &props), 0);
    EXPECT_EQ(lib->make_module_fn()(0, 3, nullptr, nullptr), nullptr);
}

TEST(HostLibrary, UnknownDataTypeNamesThePin)
{
    auto lib = sehost::Library::load(se_test::plugin_path("host_fixture_bad_type"));
    try {
        sehost::DspInstance dsp(lib);
        FAIL() << "a pin of data type 3 was accepted";
    } catch (const sehost::HostError &e) {
        std::string what = e.what();
        EXPECT_NE(what.find("\"Flag\""), std::string::npos) << what;
        EXPECT_NE(what.find("data type 3"), std::string::npos) << what;
    }
}

TEST(HostLibrary, NegativeCountsAreRefused)
{
    auto lib = sehost::Library::load(se_test::plugin_path("host_fixture"));
    sehost::HostConfig config;
    config.pin_count = -1;
    EXPECT_THROW(sehost::DspInstance(lib, config), sehost::HostError);
    config.pin_count.reset();
    config.repeat_copies = -2;
    EXPECT_THROW(sehost::DspInstance(lib, config), sehost::HostError);
}

} // namespace
