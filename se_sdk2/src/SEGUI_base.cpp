#include "SEGUI_base.h"

#include <cstring>
#include <new>

#include "se_check.h"
#include "se_shield.h"

namespace {
const char *const kSource = "SEGUI_base";
}

SEGUI_base::SEGUI_base(se_host_callback callback, void *host_data) : seaudioMaster(callback)
{
    std::memset(&m_plug, 0, sizeof m_plug);
    m_plug.magic = SE_GUI_PLUG_MAGIC;
    m_plug.version = 1;
    m_plug.dispatcher = &SEGUI_base::dispatch_entry;
    m_plug.host_data = host_data;
    m_plug.object = this;
}

SEGUI_base::~SEGUI_base() = default;

se_result SE_CALL SEGUI_base::dispatch_entry(GuiPlugRecord *plug, int32_t operation, int32_t index,
                                             int32_t value, void *pointer, float opt) noexcept
{
    auto *self = static_cast<SEGUI_base *>(plug->object);
    return se_sdk::shield<se_result>(
        0, [&] { return self->Dispatch(operation, index, value, pointer, opt); });
}

se_result SEGUI_base::Dispatch(int32_t operation, int32_t index, int32_t value, void *pointer,
                               float opt)
{
    const SEPoint point{index, value};
    switch (operation) {
    case GUI_OP_INITIALISE:
        Initialise(index == 1);
        return 0;
    case GUI_OP_CLOSE:
        // The host lets go of the object whatever Close does.
        se_sdk::shield([this] { Close(); });
        delete this;
        return 1;
    case 2:
        OnGuiOperation2(index, pointer);
        return 0;
    case 3:
        OnGuiOperation3(pointer, opt, point);
        return 0;
    case 4:
        OnGuiOperation4(pointer, opt, point);
        return 0;
    case 5:
        OnGuiOperation5(pointer, opt, point);
        return 0;
    case GUI_OP_DSP_MESSAGE:
        OnDspMessage(value, index, pointer);
        return 0;
    case GUI_OP_PIN_VALUE_CHANGED:
        OnPinValueChanged(GuiPinHandle(index, this));
        return 0;
    case 8:
        OnGuiOperation8(pointer);
        return 0;
    case 9:
        OnGuiOperation9(pointer);
        return 0;
    case GUI_OP_IDLE:
        return OnIdle() ? 1 : 0;
    case 11:
        OnGuiOperation11(index);
        return 0;
    case 12:
        OnGuiOperation12(index);
        return 0;
    default:
        return 0;
    }
}

se_result SEGUI_base::CallHost(int32_t request, int32_t index, int32_t value, void *pointer,
                               float opt)
{
    // A conforming host always passes a callback; the report names line 134.
    SE_CHECK_AT(seaudioMaster, kSource, 134);
    return seaudioMaster(&m_plug, request, index, value, pointer, opt);
}

se_result SEGUI_base::HostRequest8(int32_t index, int32_t value, void *pointer)
{
    return CallHost(GUI_HOST_REQUEST_8, index, value, pointer);
}
se_result SEGUI_base::HostRequest18(void *pointer)
{
    return CallHost(GUI_HOST_REQUEST_18, 0, 0, pointer);
}
se_result SEGUI_base::HostRequest19(void *pointer)
{
    return CallHost(GUI_HOST_REQUEST_19, 0, 0, pointer);
}
bool SEGUI_base::HostRequest20(void *pointer)
{
    return CallHost(GUI_HOST_REQUEST_20, 0, 0, pointer) != 0;
}

void SEGUI_base::Initialise(bool) {}
void SEGUI_base::Close() {}
void SEGUI_base::OnGuiOperation2(int32_t, void *) {}
void SEGUI_base::OnGuiOperation3(void *, float, SEPoint) {}
void SEGUI_base::OnGuiOperation4(void *, float, SEPoint) {}
void SEGUI_base::OnGuiOperation5(void *, float, SEPoint) {}
void SEGUI_base::OnGuiOperation8(void *) {}
void SEGUI_base::OnGuiOperation9(void *) {}
bool SEGUI_base::OnIdle()
{
    return false;
}
void SEGUI_base::OnGuiOperation11(int32_t) {}
void SEGUI_base::OnGuiOperation12(int32_t) {}
void SEGUI_base::OnDspMessage(int32_t, int32_t, void *) {}
void SEGUI_base::OnPinValueChanged(GuiPinHandle) {}

// ---- pin handles ------------------------------------------------------------

int32_t GuiPinHandle::GetValueInt()
{
    int32_t slot = 0;
    m_owner->CallHost(GUI_HOST_GET_PIN_VALUE, m_index, 0, &slot);
    return slot;
}

float GuiPinHandle::GetValueFloat()
{
    float slot = 0.0f;
    m_owner->CallHost(GUI_HOST_GET_PIN_VALUE, m_index, 0, &slot);
    return slot;
}

void GuiPinHandle::SetValueInt(int32_t v)
{
    m_owner->CallHost(GUI_HOST_SET_PIN_VALUE, m_index, v, nullptr, 0.0f);
}

void GuiPinHandle::SetValueFloat(float v)
{
    m_owner->CallHost(GUI_HOST_SET_PIN_VALUE, m_index, 0, nullptr, v);
}

void GuiPinHandle::SetValueText(const char *text)
{
    m_owner->CallHost(GUI_HOST_SET_PIN_TEXT, m_index, 0, const_cast<char *>(text));
}
