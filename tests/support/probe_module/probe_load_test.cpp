// Loads the probe plug-in the way a host does, straight through the
// platform loader: proves that plugin_path() names the built file on every
// preset (under wine too) and that both exports resolve by their plain names.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "plugin_path.h"
#include "se_plugin.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

class Library
{
public:
    explicit Library(const std::string &path)
    {
#ifdef _WIN32
        m_handle = LoadLibraryA(path.c_str());
#else
        m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
    }
    ~Library()
    {
        if (m_handle == nullptr)
            return;
#ifdef _WIN32
        FreeLibrary(m_handle);
#else
        dlclose(m_handle);
#endif
    }
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;

    bool loaded() const
    {
        return m_handle != nullptr;
    }

    void *symbol(const char *name) const
    {
#ifdef _WIN32
        return reinterpret_cast<void *>(GetProcAddress(m_handle, name));
#else
        return dlsym(m_handle, name);
#endif
    }

private:
#ifdef _WIN32
    HMODULE m_handle = nullptr;
#else
    void *m_handle = nullptr;
#endif
};

se_result SE_CALL quiet_host(void *, int32_t, int32_t, int32_t, void *, float)
{
    return 0;
}

TEST(ProbePlugin, LoadsByPathAndResolvesBothExports)
{
    const std::string path = se_test::plugin_path("sdk_probe");
    Library library(path);
    ASSERT_TRUE(library.loaded()) << "cannot load " << path;

    auto get_properties =
        reinterpret_cast<se_get_module_properties_fn>(library.symbol(SE_EXPORT_GET_PROPERTIES));
    auto make_module = reinterpret_cast<se_make_module_fn>(library.symbol(SE_EXPORT_MAKE_MODULE));
    ASSERT_NE(get_properties, nullptr);
    ASSERT_NE(make_module, nullptr);
    // Decorated or internal names must not resolve.
    EXPECT_EQ(library.symbol("_getModuleProperties"), nullptr);
    EXPECT_EQ(library.symbol("getModuleProperties@8"), nullptr);

    ModuleProperties properties{};
    ASSERT_EQ(get_properties(0, &properties), 1);
    ASSERT_NE(properties.name, nullptr);
    EXPECT_STREQ(properties.name, "SDK Probe");
    EXPECT_EQ(get_properties(1, &properties), 0);

    // Both sides come to life and go away again inside the library's own
    // runtime (statically linked on Windows).
    auto *plug = static_cast<PlugRecord *>(make_module(0, SE_MAKE_DSP, quiet_host, nullptr));
    ASSERT_NE(plug, nullptr);
    EXPECT_EQ(plug->magic, SE_PLUG_MAGIC);
    EXPECT_EQ(plug->dispatch(plug, MOD_CLOSE, 0, 0, nullptr, 0.0f), 1);

    auto *gui = static_cast<GuiPlugRecord *>(make_module(0, SE_MAKE_GUI, quiet_host, nullptr));
    ASSERT_NE(gui, nullptr);
    EXPECT_EQ(gui->magic, SE_GUI_PLUG_MAGIC);
    EXPECT_EQ(gui->dispatcher(gui, GUI_OP_CLOSE, 0, 0, nullptr, 0.0f), 1);

    EXPECT_EQ(make_module(0, 3, quiet_host, nullptr), nullptr);
}

// A failed SDK check inside a loaded plug-in stops the process with its text
// on standard error: the child-process mechanism the SDK tests rely on.
TEST(ProbePluginDeathTest, FailedCheckStopsTheProcessWithItsText)
{
    Library library(se_test::plugin_path("sdk_probe"));
    ASSERT_TRUE(library.loaded());
    auto make_module = reinterpret_cast<se_make_module_fn>(library.symbol(SE_EXPORT_MAKE_MODULE));
    ASSERT_NE(make_module, nullptr);
    auto *plug = static_cast<PlugRecord *>(make_module(0, SE_MAKE_DSP, quiet_host, nullptr));
    ASSERT_NE(plug, nullptr);
    EXPECT_DEATH(plug->dispatch(plug, MOD_REFUSED_7, 0, 0, nullptr, 0.0f),
                 "SEModule_base.*check failed: false");
    EXPECT_EQ(plug->dispatch(plug, MOD_CLOSE, 0, 0, nullptr, 0.0f), 1);
}

TEST(ProbePlugin, PathNamesTheBuildsPluginFolder)
{
    const std::string path = se_test::plugin_path("sdk_probe");
    const std::string suffix = SE_TEST_PLUGIN_SUFFIX;
    ASSERT_GT(path.size(), suffix.size());
    EXPECT_EQ(path.compare(path.size() - suffix.size(), suffix.size(), suffix), 0);
#ifdef _WIN32
    EXPECT_EQ(path.rfind("Z:\\", 0), 0u) << path;
    EXPECT_EQ(path.find('/'), std::string::npos) << path;
#endif
    // A name that was never built does not load.
    Library missing(se_test::plugin_path("no_such_plugin"));
    EXPECT_FALSE(missing.loaded());
}

} // namespace
