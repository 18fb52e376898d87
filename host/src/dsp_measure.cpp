// dsp_measure.cpp - the hooks that time a module's process path and the
// host's answer to a request, each without the rest of the loop.
#include "dsp_measure.h"

#include "dsp_instance_impl.h"
#include "sehost/host_error.h"

namespace sehost {

void DspMeasure::process_only(DspInstance &inst, int32_t offset, int32_t count)
{
    if (!inst.m_record || !inst.m_open)
        throw HostError(inst.m_library->path() + ": process before open or after close");
    if (offset < 0 || count <= 0 || offset > inst.m_config.block_size - count)
        throw HostError(inst.m_library->path() + ": stretch " + std::to_string(offset) + " + " +
                        std::to_string(count) + " is not inside a block");
    se_process_entry entry = inst.m_record->process;
    if (!entry)
        throw HostError(inst.m_library->path() + ": process entry is null");
    dsp::CallScope scope(inst.m->in_call, inst.m->phase, Phase::Process);
    inst.m->call_clock = inst.m_clock;
    entry(inst.m_record->object, offset, count);
}

void DspMeasure::requests_in_process(DspInstance &inst, int32_t op, int32_t index, int32_t value,
                                     uint32_t n)
{
    if (!inst.m_record || !inst.m_open)
        throw HostError(inst.m_library->path() + ": request before open or after close");
    dsp::CallScope scope(inst.m->in_call, inst.m->phase, Phase::Process);
    inst.m->call_clock = inst.m_clock;
    // Called through a pointer the compiler cannot see through, as a module
    // calls the callback it was given: the call is part of the request.
    se_host_callback volatile callback = dsp::dsp_callback;
    for (uint32_t k = 0; k < n; ++k)
        callback(inst.m_record, op, index, value, SE_CLOCK_TO_POINTER(inst.m_clock + k), 0.0f);
}

} // namespace sehost
