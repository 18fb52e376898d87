// SEPin.h - the DSP side's handle on one pin of one module instance.
//
// The pin never copies its value: the value lives in the module member named
// by the pin declaration (or in the pin's own small store) and the host
// writes and reads it there.
#ifndef SE_PIN_H
#define SE_PIN_H

#include "se_plugin.h"

class SEModule_base;

class SEPin
{
public:
    SEPin() = default;
    virtual ~SEPin() = default;
    SEPin(const SEPin &) = delete;
    SEPin &operator=(const SEPin &) = delete;

    // Binds the pin.  A null variable gives the pin storage of its own by
    // data type: 16 bits for DT_CHOICE, 8 for DT_BOOLEAN, the host's buffer
    // address for DT_FSAMPLE, 32 bits for DT_FLOAT32 and code 8, none else.
    void Attach(SEModule_base *module, int32_t index, int32_t datatype, void *variable);

    // Binds a pin that carries nothing to or from the module: one the host
    // made beyond the declarations (`host_pin`: statuses arrive and are kept,
    // the module is not told) or one it did not make (nothing reaches the
    // host: statuses and MIDI sent are dropped, it reads as unconnected and
    // silent).
    void AttachInert(SEModule_base *module, int32_t index, bool host_pin);

    // Handles an EV_PIN_STATUS event: store, tell the module, and turn a
    // single change (STATUS_CHANGED) into STATUS_STILL once handled.
    void ReceiveStatus(int32_t status);

    // Announces a new status; a non-audio output's variable must already hold
    // the new value, since the host reads it during this call.  Defined with
    // SEModule_base (inline: a module's sample loop calls the host directly).
    inline void SendStatus(uint32_t time_stamp, int32_t status);

    // Sends a packed MIDI message; time_stamp must not lie in the past.
    inline void SendMidi(uint32_t time_stamp, int32_t message);

    bool IsConnected();

    // The sample of a DT_FSAMPLE pin at the current sample clock: the first
    // sample of a process call, or the sample at an event's time stamp.
    float CurrentSample();

    int32_t PinIndex() const { return m_pin_index; }
    int32_t Status() const { return m_status; }
    int32_t DataType() const { return m_datatype; }
    void *Variable() const { return m_variable; }
    SEModule_base *Module() const { return m_module; }

private:
    void *m_variable = nullptr;
    SEModule_base *m_module = nullptr;
    int32_t m_pin_index = 0;
    int32_t m_status = STATUS_STILL;
    int32_t m_datatype = 0;
    bool m_declared = true; // the module declared it: it hears its statuses
    bool m_host_pin = true; // the host made it: requests about it go there
    // The pin's own storage: 4 bytes in the 32-bit target (a buffer address
    // widens with the pointer on other processors).
    union {
        int16_t choice;
        uint8_t boolean;
        int32_t word;
        float real;
        float *buffer;
    } m_store{};
};

#endif
