// SEModule_base.h - the DSP half of the module SDK.
//
// A module derives from SEModule_base, declares its pins in
// QueryPinProperties, installs one process function per behaviour and reacts
// to pin-status changes.  The base owns the PlugRecord through which the host
// reaches the object and the callback through which the object reaches the
// host; it turns the host's numbered operations into the virtual hooks below.
#ifndef SE_MODULE_BASE_H
#define SE_MODULE_BASE_H

#include "SEPin.h"
#include "se_check.h"
#include "se_plugin.h"
#include "se_shield.h"

class SEModule_base;

namespace se_sdk {
// Turns a member process function into the plain address the host calls
// with (object, start, count): one indirect call per stretch. A stretch
// whose function throws ends there; the host sees a call that returned.
template <auto F> struct process_thunk;
template <class M, void (M::*F)(int32_t, int32_t)> struct process_thunk<F> {
    static void SE_CALL call(void *object, int32_t start, int32_t count) noexcept
    {
        shield([&] { (static_cast<M *>(static_cast<SEModule_base *>(object))->*F)(start, count); });
    }
};
// The same for a function run by an EV_RUN_FUNCTION event.
template <auto F> struct run_thunk;
template <class M, void (M::*F)()> struct run_thunk<F> {
    static void SE_CALL call(void *object) noexcept
    {
        shield([&] { (static_cast<M *>(static_cast<SEModule_base *>(object))->*F)(); });
    }
};
} // namespace se_sdk

class SEModule_base
{
public:
    SEModule_base(se_host_callback callback, void *host_data);
    virtual ~SEModule_base();
    SEModule_base(const SEModule_base &) = delete;
    SEModule_base &operator=(const SEModule_base &) = delete;

    // ---- virtual hooks, in the order of their slots -----------------------
    virtual void OnPinStatusChange(SEPin *pin);
    virtual void ProcessEvent(TimedEvent *e);
    virtual se_result Dispatch(int32_t operation, int32_t index, int32_t value, void *pointer,
                               float opt);
    virtual void Open();
    virtual void Close();
    virtual void ReservedHook();
    virtual void SetSampleRate(float rate);
    virtual void SetBlockSize(int32_t size);
    virtual float SampleRate();
    virtual int32_t BlockSize();
    virtual bool QueryPinProperties(int32_t number, SEPinProperties *properties);
    virtual int32_t ReservedQueryA();
    virtual int32_t ReservedQueryB();
    virtual void OnNotify();
    virtual void OnNotifyValue(int32_t index);
    virtual void OnMidi(uint32_t time_stamp, int32_t message, int16_t extra);
    virtual void OnMessage(int32_t value, int32_t index, void *pointer);

    // ---- services for modules --------------------------------------------
    // Inline, as are SEPin's sends below: a message sent from a sample loop
    // is then one call, the host's, not three frames deep.
    se_result CallHost(int32_t request, int32_t index = 0, int32_t value = 0,
                       void *pointer = nullptr, float opt = 0.0f)
    {
        if (m_callback == nullptr)
            return 0;
        return m_callback(&m_plug, request, index, value, pointer, opt);
    }
    uint32_t SampleClock();
    SEPin *PinAt(int32_t index);

    void InstallProcess(se_process_entry function);
    template <auto F> void InstallProcess() { InstallProcess(&se_sdk::process_thunk<F>::call); }

    void PostEvent(uint32_t time_stamp, int32_t kind, int32_t value, int32_t value16,
                   intptr_t data);
    void RunAt(uint32_t time_stamp, se_run_function function);
    template <auto F> void RunAt(uint32_t time_stamp)
    {
        RunAt(time_stamp, &se_sdk::run_thunk<F>::call);
    }

    PlugRecord *Plug() { return &m_plug; }
    int32_t PinCount() const { return m_pin_count; }

    // The three C entries stored in the PlugRecord. No exception leaves
    // them: an operation that throws answers 0, an event that throws is
    // dropped where it threw (MOD_CLOSE still destroys the object).
    static se_result SE_CALL dispatch_entry(PlugRecord *plug, int32_t operation, int32_t index,
                                            int32_t value, void *pointer, float opt) noexcept;
    static void SE_CALL event_entry(void *object, TimedEvent *e) noexcept;
    static void SE_CALL empty_process(void *object, int32_t start, int32_t count) noexcept;

protected:
    se_host_callback m_callback;
    PlugRecord m_plug;
    float m_sample_rate;
    int32_t m_block_size;
    SEPin *m_pins;
    // The current process function, as the plain address in m_plug.process.
    se_process_entry m_process;
    int32_t m_pin_count; // number of elements of m_pins

private:
    template <class HasDspPin> void give_missing_buffers(int32_t first, HasDspPin has_dsp_pin);

    // Blocks of zeros for the audio variables of declared pins the host did
    // not make, and the pin PinAt answers for an index it did not make (when
    // the checks are off).
    float *m_missing_buffers;
    SEPin m_missing_pin;
};

inline void SEPin::SendStatus(uint32_t time_stamp, int32_t status)
{
    if (m_host_pin)
        m_module->CallHost(HOST_SET_PIN_STATUS, m_pin_index, status,
                           SE_CLOCK_TO_POINTER(time_stamp));
}

inline void SEPin::SendMidi(uint32_t time_stamp, int32_t message)
{
    const uint32_t sampleclock = time_stamp; // the name a failed check prints
    SE_CHECK(sampleclock >= m_module->SampleClock(), "SEPin");
    if (m_host_pin)
        m_module->CallHost(HOST_SEND_MIDI, m_pin_index, message, SE_CLOCK_TO_POINTER(time_stamp));
}

#endif
