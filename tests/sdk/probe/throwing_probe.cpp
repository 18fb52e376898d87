// A test module whose hooks throw: from its constructor (when the host data
// asks for it), Open, a message, its process function, MIDI, a function run
// by an event, Close, and on the GUI side a DSP message and Close. Before
// each throw it tells the host (kThrowing), and its destructors tell the
// host they ran (kDestroyed), so a test sees that each throw happened and
// that nothing of it reached the host.
#include <cstdlib>
#include <stdexcept>

#include "SEGUI_base.h"
#include "SEModule_base.h"
#include "se_module_exports.h"
#include "throwing_protocol.h"

namespace {
const se_sdk::ModuleIdentity kIdentity = {"Throwing Probe", "sdk_throwing_test_module",
                                          "Test module", 0, 2240};

[[noreturn]] void fail(const char *where)
{
#if defined(__cpp_exceptions)
    throw std::runtime_error(where);
#else
    static_cast<void>(where);
    std::abort();
#endif
}
} // namespace

class Module : public SEModule_base
{
public:
    Module(se_host_callback callback, void *host_data) : SEModule_base(callback, host_data)
    {
        if (host_data == THROWING_IN_CONSTRUCTOR)
            throw_now("constructor");
    }
    ~Module() override { CallHost(THROWING_DESTROYED); }

    void Open() override
    {
        SEModule_base::Open();
        InstallProcess<&Module::process_throw>();
        RunAt<&Module::run_throw>(0);
        throw_now("Open");
    }
    void Close() override { throw_now("Close"); }
    void OnMessage(int32_t, int32_t, void *) override { throw_now("OnMessage"); }
    void OnMidi(uint32_t, int32_t, int16_t) override { throw_now("OnMidi"); }

    void process_throw(int32_t, int32_t) { throw_now("process"); }
    void run_throw() { throw_now("run function"); }

private:
    void throw_now(const char *where)
    {
        CallHost(THROWING_ABOUT_TO_THROW);
        fail(where);
    }
};

class GuiModule : public SEGUI_base
{
public:
    using SEGUI_base::SEGUI_base;
    ~GuiModule() override { CallHost(THROWING_DESTROYED); }

    void OnDspMessage(int32_t, int32_t, void *) override { throw_now("OnDspMessage"); }
    void Close() override { throw_now("GUI Close"); }

private:
    void throw_now(const char *where)
    {
        CallHost(THROWING_ABOUT_TO_THROW);
        fail(where);
    }
};

SE_MODULE_EXPORTS(kIdentity, Module, GuiModule)
