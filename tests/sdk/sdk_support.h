// sdk_support.h - loading the probe module and reading what it saw.
#ifndef SDK_SUPPORT_H
#define SDK_SUPPORT_H

#include <cstring>
#include <memory>
#include <vector>

#include "plugin_library.h"
#include "probe_protocol.h"
#include "sehost/sehost.h"

namespace sdk_test {

inline std::shared_ptr<sehost::Library> probe_library()
{
    return se_test::plugin_library("sdk_test_module");
}

inline ProbePins pin_info(sehost::DspInstance &dsp)
{
    ProbePins pins;
    std::memset(&pins, 0, sizeof pins);
    dsp.dispatch(MOD_MESSAGE, 0, PROBE_PIN_INFO, &pins);
    return pins;
}

inline std::vector<ProbeEntry> hooks(sehost::DspInstance &dsp, int32_t hook)
{
    ProbeLog log;
    std::memset(&log, 0, sizeof log);
    dsp.dispatch(MOD_MESSAGE, 0, PROBE_LOG, &log);
    std::vector<ProbeEntry> out;
    for (int32_t i = 0; i < log.count; ++i)
        if (log.entries[i].hook == hook)
            out.push_back(log.entries[i]);
    return out;
}

template <class T> T read_at(const void *base, size_t offset)
{
    T v;
    std::memcpy(&v, static_cast<const char *>(base) + offset, sizeof v);
    return v;
}

constexpr bool k32 = sizeof(void *) == 4;

} // namespace sdk_test

#endif
