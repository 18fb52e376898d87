#include "SEPin.h"

#include "SEModule_base.h"
#include "se_check.h"

namespace {
const char *const kSource = "SEPin";
}

void SEPin::Attach(SEModule_base *module, int32_t index, int32_t datatype, void *variable)
{
    m_module = module;
    m_pin_index = index;
    m_datatype = datatype;
    m_variable = variable;
    m_status = STATUS_STILL;
    m_declared = true;
    m_host_pin = true;
    m_store.buffer = nullptr; // clears the whole store
    if (variable != nullptr)
        return;
    switch (datatype) {
    case DT_CHOICE:
        m_store.choice = 0;
        m_variable = &m_store.choice;
        break;
    case DT_BOOLEAN:
        m_store.boolean = 0;
        m_variable = &m_store.boolean;
        break;
    case DT_FSAMPLE:
        m_store.buffer = reinterpret_cast<float *>(module->CallHost(HOST_GET_PIN_BUFFER, index));
        m_variable = &m_store.buffer;
        break;
    case DT_FLOAT32:
    case DT_WORD32:
        m_store.word = 0;
        m_variable = &m_store.word;
        break;
    default: // DT_MIDI and unused codes have no value
        break;
    }
}

void SEPin::AttachInert(SEModule_base *module, int32_t index, bool host_pin)
{
    m_module = module;
    m_pin_index = index;
    m_datatype = -1; // no data type: CurrentSample refuses it
    m_variable = nullptr;
    m_status = STATUS_STILL;
    m_store.buffer = nullptr;
    m_declared = false;
    m_host_pin = host_pin;
}

void SEPin::ReceiveStatus(int32_t status)
{
    m_status = status;
    if (m_declared)
        m_module->OnPinStatusChange(this);
    if (status == STATUS_CHANGED)
        m_status = STATUS_STILL;
}

bool SEPin::IsConnected()
{
    return m_host_pin && m_module->CallHost(HOST_IS_PIN_CONNECTED, m_pin_index) != 0;
}

float SEPin::CurrentSample()
{
    SE_CHECK(m_datatype == DT_FSAMPLE, kSource);
    if (!m_host_pin)
        return 0.0f;
    const uint32_t start =
        static_cast<uint32_t>(m_module->CallHost(HOST_GET_BUFFER_START, m_pin_index));
    const float *buffer = *static_cast<float *const *>(m_variable);
    return buffer[m_module->SampleClock() - start];
}
