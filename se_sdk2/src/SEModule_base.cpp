#include "SEModule_base.h"

#include <cstring>
#include <new>

namespace {
const char *const kSource = "SEModule_base";

// One record per library, rewritten by every MOD_GET_PROCESS_INFO; the host
// reads it before it asks again.
ProcessInfo s_process_info;
} // namespace

SEModule_base::SEModule_base(se_host_callback callback, void *host_data)
    : m_callback(callback), m_sample_rate(44100.0f), m_block_size(1024), m_pins(nullptr),
      m_process(&SEModule_base::empty_process), m_pin_count(0), m_missing_buffers(nullptr)
{
    std::memset(&m_plug, 0, sizeof m_plug);
    m_plug.magic = SE_PLUG_MAGIC;
    m_plug.version = 1;
    m_plug.host_data = host_data;
    m_plug.object = this;
    m_plug.dispatch = &SEModule_base::dispatch_entry;
    m_plug.process = m_process;
    m_plug.event = &SEModule_base::event_entry;
}

SEModule_base::~SEModule_base()
{
    delete[] m_pins;
    delete[] m_missing_buffers;
}

// ---- C entries ------------------------------------------------------------

se_result SE_CALL SEModule_base::dispatch_entry(PlugRecord *plug, int32_t operation, int32_t index,
                                                int32_t value, void *pointer, float opt) noexcept
{
    auto *self = static_cast<SEModule_base *>(plug->object);
    return se_sdk::shield<se_result>(
        0, [&] { return self->Dispatch(operation, index, value, pointer, opt); });
}

void SE_CALL SEModule_base::event_entry(void *object, TimedEvent *e) noexcept
{
    se_sdk::shield([&] { static_cast<SEModule_base *>(object)->ProcessEvent(e); });
}

void SE_CALL SEModule_base::empty_process(void *, int32_t, int32_t) noexcept {}

// ---- dispatcher -----------------------------------------------------------

se_result SEModule_base::Dispatch(int32_t operation, int32_t index, int32_t value, void *pointer,
                                  float opt)
{
    switch (operation) {
    case MOD_OPEN:
        Open();
        return 0;
    case MOD_CLOSE:
        // The host lets go of the object whatever Close does.
        se_sdk::shield([this] { Close(); });
        delete this;
        return 1;
    case MOD_SET_SAMPLE_RATE:
        SetSampleRate(opt);
        return 0;
    case MOD_SET_BLOCK_SIZE:
        SetBlockSize(value);
        return 0;
    case MOD_GET_PIN_PROPERTIES: {
        void *ptr = pointer;
        if (ptr == nullptr)
            return 0;
        const bool declared = QueryPinProperties(index, static_cast<SEPinProperties *>(ptr));
        // A pin the patch stores must be private, an output or a GUI-side pin.
        // (The expression is written as the check reports it.)
        // clang-format off
        SE_CHECK((((SEPinProperties*)ptr)->flags & IO_PATCH_STORE) == 0 || (((SEPinProperties*)ptr)->flags & IO_PRIVATE) != 0 || ((SEPinProperties*)ptr)->direction == DR_OUT || ( ( (SEPinProperties*)ptr)->flags & IO_UI_COMMUNICATION) != 0, kSource);
        // clang-format on
        return declared ? 1 : 0;
    }
    case MOD_REFUSED_7:
    case MOD_REFUSED_10:
        // Not operations of a DSP-side module: the host broke the contract.
        SE_CHECK(false, kSource);
        return 0;
    case MOD_NOTIFY:
        OnNotify();
        if (index > 0)
            OnNotifyValue(index);
        return 0;
    case MOD_MESSAGE:
        OnMessage(value, index, pointer);
        return 0;
    case MOD_GET_PROCESS_INFO:
        s_process_info.one = 1;
        s_process_info.reference_size = static_cast<int32_t>(sizeof m_process);
        s_process_info.reference = reinterpret_cast<intptr_t>(&m_process);
        s_process_info.form = 0; // a plain function address
        return reinterpret_cast<se_result>(&s_process_info);
    default:
        return 0;
    }
}

// ---- pins -----------------------------------------------------------------

void SEModule_base::Open()
{
    const se_result count = CallHost(HOST_GET_PIN_COUNT);
    if (count > 0) {
        m_pins = new (std::nothrow) SEPin[static_cast<size_t>(count)];
        if (m_pins != nullptr)
            m_pin_count = static_cast<int32_t>(count);
    }
    const int32_t n = m_pin_count;

    // Declarations flagged IO_UI_COMMUNICATION without IO_BOTH_SIDES live on
    // the GUI side only and take no DSP index.
    auto has_dsp_pin = [](const SEPinProperties &p) {
        return (p.flags & IO_UI_COMMUNICATION) == 0 || (p.flags & IO_BOTH_SIDES) != 0;
    };

    int32_t i = 0; // next DSP pin
    int32_t j = 0; // next declaration
    SEPinProperties p;
    for (;;) {
        std::memset(&p, 0, sizeof p);
        if (!QueryPinProperties(j, &p) || i >= n)
            break;
        if (has_dsp_pin(p)) {
            m_pins[i].Attach(this, i, p.datatype, p.variable_address);
            ++i;
        }
        ++j;
    }

    // The last declaration looked at may be repeated: the host's extra pins
    // are copies of it, each with storage of its own.
    if (j > 0) {
        std::memset(&p, 0, sizeof p);
        QueryPinProperties(j - 1, &p);
        if (has_dsp_pin(p) && (p.flags & IO_REPEAT_LAST) != 0) {
            for (; i < n; ++i)
                m_pins[i].Attach(this, i, p.datatype, nullptr);
        }
    }
    // Any pins the host made beyond those are none the module declared:
    // their statuses are kept, the module never hears of them.
    for (; i < n; ++i)
        m_pins[i].AttachInert(this, i, true);
    m_missing_pin.AttachInert(this, -1, false);

    give_missing_buffers(j, has_dsp_pin);
}

// A host that makes fewer pins than the module declares (outside the
// contract) leaves the audio variables of the rest without a buffer, and a
// process function writes its outputs (and reads its inputs) all the same.
// Each such variable gets a block of zeros of its own instead: outputs
// written there go nowhere, inputs read silence. PinAt stays refused for
// those pins (with the checks, it stops the process).
template <class HasDspPin>
void SEModule_base::give_missing_buffers(int32_t first, HasDspPin has_dsp_pin)
{
    auto missing_buffer = [&](int32_t j, SEPinProperties &p) {
        std::memset(&p, 0, sizeof p);
        if (!QueryPinProperties(j, &p))
            return -1; // past the last declaration
        return has_dsp_pin(p) && p.datatype == DT_FSAMPLE && p.variable_address != nullptr ? 1 : 0;
    };
    SEPinProperties p;
    size_t wanted = 0;
    for (int32_t j = first, m; (m = missing_buffer(j, p)) >= 0; ++j)
        wanted += static_cast<size_t>(m);
    const int32_t block_size = BlockSize();
    const size_t block = block_size > 0 ? static_cast<size_t>(block_size) : 1;
    if (wanted == 0 || (m_missing_buffers = new (std::nothrow) float[wanted * block]()) == nullptr)
        return;
    float *next = m_missing_buffers;
    for (int32_t j = first, m; (m = missing_buffer(j, p)) >= 0; ++j) {
        if (m == 0)
            continue;
        *static_cast<float **>(p.variable_address) = next;
        next += block;
    }
}

SEPin *SEModule_base::PinAt(int32_t index)
{
    SE_CHECK(m_pins != 0, kSource);
    // A host that made fewer pins than the module declares is outside the
    // contract: with the checks, the process stops here.
    SE_CHECK(index >= 0 && index < m_pin_count, kSource);
    // Without them, a missing pin is one that reaches nobody.
    if (index < 0 || index >= m_pin_count)
        return &m_missing_pin;
    return &m_pins[index];
}

// ---- events ---------------------------------------------------------------

void SEModule_base::ProcessEvent(TimedEvent *e)
{
    SE_CHECK(e->time_stamp == SampleClock(), kSource);
    switch (e->kind) {
    case EV_PIN_STATUS:
        PinAt(static_cast<int32_t>(e->data))->ReceiveStatus(e->value);
        break;
    case EV_MIDI:
        OnMidi(e->time_stamp, e->value, static_cast<int16_t>(e->value16 & 0xFFFF));
        break;
    case EV_RUN_FUNCTION:
        reinterpret_cast<se_run_function>(e->data)(this);
        break;
    default: // EV_PATCH_CHANGE carries nothing for the base
        break;
    }
}

void SEModule_base::InstallProcess(se_process_entry function)
{
    if (function == m_process)
        return;
    m_process = function;
    m_plug.process = function;
    CallHost(HOST_PROCESS_CHANGED);
}

void SEModule_base::PostEvent(uint32_t time_stamp, int32_t kind, int32_t value, int32_t value16,
                              intptr_t data)
{
    const uint32_t p_time_stamp = time_stamp;
    SE_CHECK(p_time_stamp >= SampleClock(), kSource);
    TimedEvent e;
    e.time_stamp = time_stamp;
    e.kind = kind;
    e.value = value;
    e.value16 = value16;
    e.data = data;
    e.link = 0;
    CallHost(HOST_POST_EVENT, 0, 0, &e);
}

void SEModule_base::RunAt(uint32_t time_stamp, se_run_function function)
{
    PostEvent(time_stamp, EV_RUN_FUNCTION, 0, 0, reinterpret_cast<intptr_t>(function));
}

// ---- host -----------------------------------------------------------------

uint32_t SEModule_base::SampleClock()
{
    return static_cast<uint32_t>(CallHost(HOST_GET_SAMPLE_CLOCK));
}

// ---- default hooks --------------------------------------------------------

void SEModule_base::OnPinStatusChange(SEPin *) {}
void SEModule_base::Close() {}
void SEModule_base::ReservedHook() {}
void SEModule_base::SetSampleRate(float rate)
{
    m_sample_rate = rate;
}
void SEModule_base::SetBlockSize(int32_t size)
{
    m_block_size = size;
}
float SEModule_base::SampleRate()
{
    return m_sample_rate;
}
int32_t SEModule_base::BlockSize()
{
    return m_block_size;
}
bool SEModule_base::QueryPinProperties(int32_t, SEPinProperties *)
{
    return false;
}
int32_t SEModule_base::ReservedQueryA()
{
    return 0;
}
int32_t SEModule_base::ReservedQueryB()
{
    return 0;
}
void SEModule_base::OnNotify() {}
void SEModule_base::OnNotifyValue(int32_t) {}
void SEModule_base::OnMidi(uint32_t, int32_t, int16_t) {}
void SEModule_base::OnMessage(int32_t, int32_t, void *) {}
