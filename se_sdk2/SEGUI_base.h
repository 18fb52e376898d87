// SEGUI_base.h - the GUI half of the module SDK.
//
// The GUI side draws nothing: it reads and writes pin values through the
// host, is told when they change, gets idle ticks while it asks for them and
// receives the numbers its own DSP side sends.  Pins are named here by their
// declaration number, not by the DSP side's SEPin numbering.
#ifndef SE_GUI_BASE_H
#define SE_GUI_BASE_H

#include <string>

#include "se_plugin.h"

class SEGUI_base;

// A pair of integers made from an operation's index (x) and value (y).
struct SEPoint {
    int32_t x;
    int32_t y;
};

// Names one pin from the GUI side.  It holds no value: every read and write
// is one host request made at once.  Handles are used at once, not kept.
class GuiPinHandle
{
public:
    GuiPinHandle(int32_t index, SEGUI_base *owner) : m_index(index), m_owner(owner) {}

    int32_t Index() const { return m_index; }

    int32_t GetValueInt();       // GUI_HOST_GET_PIN_VALUE, slot read as integer
    float GetValueFloat();       // GUI_HOST_GET_PIN_VALUE, slot read as float
    void SetValueInt(int32_t v); // GUI_HOST_SET_PIN_VALUE, value v, opt 0.0 (bools: 1/0)
    void SetValueFloat(float v); // GUI_HOST_SET_PIN_VALUE, value 0, opt v
    void SetValueText(const char *text);
    std::string GetValueText();        // empty when the host has no text
    std::u16string GetValueWideText(); // empty when the host reports no length

private:
    int32_t m_index;
    SEGUI_base *m_owner;
};

class SEGUI_base
{
public:
    SEGUI_base(se_host_callback callback, void *host_data);
    virtual ~SEGUI_base();
    SEGUI_base(const SEGUI_base &) = delete;
    SEGUI_base &operator=(const SEGUI_base &) = delete;

    // ---- virtual hooks, in the order of their slots -----------------------
    virtual se_result Dispatch(int32_t operation, int32_t index, int32_t value, void *pointer,
                               float opt);
    virtual void Initialise(bool flag);
    virtual void Close();
    virtual void OnGuiOperation2(int32_t index, void *pointer);
    virtual void OnGuiOperation3(void *pointer, float opt, SEPoint point);
    virtual void OnGuiOperation4(void *pointer, float opt, SEPoint point);
    virtual void OnGuiOperation5(void *pointer, float opt, SEPoint point);
    virtual void OnGuiOperation8(void *pointer);
    virtual void OnGuiOperation9(void *pointer);
    virtual bool OnIdle();
    virtual void OnGuiOperation11(int32_t index);
    virtual void OnGuiOperation12(int32_t index);
    virtual void OnDspMessage(int32_t value, int32_t index, void *pointer);
    virtual void OnPinValueChanged(GuiPinHandle pin);

    // ---- services for modules --------------------------------------------
    se_result CallHost(int32_t request, int32_t index = 0, int32_t value = 0,
                       void *pointer = nullptr, float opt = 0.0f);
    GuiPinHandle GetPin(int32_t index) { return GuiPinHandle(index, this); }

    // Host requests offered by the base and passed through unchanged.
    se_result HostRequest8(int32_t index, int32_t value, void *pointer);
    se_result HostRequest18(void *pointer);
    se_result HostRequest19(void *pointer);
    bool HostRequest20(void *pointer);

    GuiPlugRecord *Plug() { return &m_plug; }

    // The C entry stored in the GuiPlugRecord: an operation that throws
    // answers 0 (GUI_OP_CLOSE still destroys the object).
    static se_result SE_CALL dispatch_entry(GuiPlugRecord *plug, int32_t operation, int32_t index,
                                            int32_t value, void *pointer, float opt) noexcept;

protected:
    se_host_callback seaudioMaster;
    GuiPlugRecord m_plug;
};

#endif
