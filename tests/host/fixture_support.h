// fixture_support.h - loading the fixture plug-in and reading its logs.
#ifndef HOST_FIXTURE_SUPPORT_H
#define HOST_FIXTURE_SUPPORT_H

#include <cstring>
#include <memory>
#include <vector>

#include "fixture_protocol.h"
#include "plugin_path.h"
#include "sehost/sehost.h"

namespace host_test {

inline std::shared_ptr<sehost::Library> fixture()
{
    static std::shared_ptr<sehost::Library> lib =
        sehost::Library::load(se_test::plugin_path("host_fixture"));
    return lib;
}

inline sehost::HostConfig small_blocks()
{
    sehost::HostConfig c;
    c.block_size = 256;
    c.sample_rate = 48000.0f;
    return c;
}

inline FixLog log_of(sehost::DspInstance &dsp)
{
    auto log = std::make_unique<FixLog>();
    std::memset(log.get(), 0, sizeof *log);
    dsp.dispatch(MOD_MESSAGE, 0, FIX_LOG, log.get());
    return *log;
}

inline std::vector<FixEntry> entries(sehost::DspInstance &dsp, int32_t what)
{
    FixLog log = log_of(dsp);
    std::vector<FixEntry> out;
    for (int32_t i = 0; i < log.count; ++i)
        if (log.entries[i].what == what)
            out.push_back(log.entries[i]);
    return out;
}

inline void misbehave(sehost::DspInstance &dsp, int32_t action)
{
    dsp.dispatch(MOD_MESSAGE, action, FIX_MISBEHAVE);
}

inline FixGuiLog gui_log(sehost::GuiInstance &gui)
{
    FixGuiLog log;
    std::memset(&log, 0, sizeof log);
    gui.dispatch(FIX_GUI_LOG, 0, 0, &log);
    return log;
}

} // namespace host_test

#endif
