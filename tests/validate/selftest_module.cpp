// selftest_module.cpp - a small plug-in written straight against the host
// boundary, built once well-behaved and once per fault that the validator
// must find (SELFTEST_FAULT, see the table in CMakeLists.txt).
//
// Pins: 0 "In" (audio in), 1 "Mode" (choice "A,B,C"), 2 "Out" (audio out,
// half the input), 3 "Midi Out" (a note-on for every change of Mode).
#include <cstdint>
#include <cstring>
#include <new>

#include "se_plugin.h"

#ifndef SELFTEST_FAULT
#define SELFTEST_FAULT 0
#endif
#define FAULT_NONE 0
#define FAULT_WRITE_OUTSIDE 1
#define FAULT_ALLOCATES 2
#define FAULT_BAD_MIDI 3
#define FAULT_CRASH_ON_CHOICE 4
#define FAULT_NOT_DETERMINISTIC 5
#define FAULT_SPLIT_DEPENDENT 6
#define FAULT_HANGS 7
#define FAULT_WRITES_INPUT 8

#define STR2(x) #x
#define STR(x) STR2(x)

namespace {

int g_calls = 0; // shared by every instance: only FAULT_NOT_DETERMINISTIC reads it

struct Selftest {
    PlugRecord plug;
    se_host_callback host;
    float *in = nullptr;
    float *out = nullptr;
    int16_t mode = 0;
    int32_t block = 1024;
    int32_t calls = 0;

    se_result call(int32_t op, int32_t index = 0, int32_t value = 0, void *ptr = nullptr) {
        return host ? host(&plug, op, index, value, ptr, 0.0f) : 0;
    }
    uint32_t clock() { return static_cast<uint32_t>(call(HOST_GET_SAMPLE_CLOCK)); }

    void process(int32_t start, int32_t count) {
        ++calls;
        ++g_calls;
        float extra = 0.0f;
        if (SELFTEST_FAULT == FAULT_NOT_DETERMINISTIC)
            extra = static_cast<float>(g_calls) * 1e-3f;
        if (SELFTEST_FAULT == FAULT_SPLIT_DEPENDENT)
            extra = static_cast<float>(count) * 1e-3f;
        if (SELFTEST_FAULT == FAULT_ALLOCATES) {
            int *volatile p = new int(count); // volatile: the pair may not be elided
            delete p;
        }
        for (int32_t k = start; k < start + count; ++k)
            out[k] = in[k] * 0.5f + extra;
        if (SELFTEST_FAULT == FAULT_WRITE_OUTSIDE && start + count < block)
            out[start + count] = 1.0f;
        if (SELFTEST_FAULT == FAULT_WRITES_INPUT)
            in[start] = 0.25f;
    }

    void event(TimedEvent *e) {
        if (e->kind != EV_PIN_STATUS || e->data != 1)
            return;
        if (SELFTEST_FAULT == FAULT_CRASH_ON_CHOICE && (mode < 0 || mode > 2))
            *static_cast<volatile int *>(nullptr) = mode;
        if (SELFTEST_FAULT == FAULT_HANGS && mode == 32767)
            for (volatile int spin = 1; spin;) {
            }
        int32_t note = SELFTEST_FAULT == FAULT_BAD_MIDI ? 0x00FF3C90 : 0x00403C90;
        call(HOST_SEND_MIDI, 3, note, SE_CLOCK_TO_POINTER(clock()));
    }
};

void SE_CALL process_entry(void *object, int32_t start, int32_t count) {
    static_cast<Selftest *>(object)->process(start, count);
}
void SE_CALL event_entry(void *object, TimedEvent *e) { static_cast<Selftest *>(object)->event(e); }

se_result SE_CALL dispatch_entry(PlugRecord *plug, int32_t op, int32_t index, int32_t value, void *ptr, float) {
    Selftest *m = static_cast<Selftest *>(plug->object);
    switch (op) {
    case MOD_CLOSE:
        delete m;
        return 1;
    case MOD_SET_BLOCK_SIZE:
        m->block = value;
        return 0;
    case MOD_OPEN:
        m->call(HOST_GET_PIN_COUNT);
        return 0;
    case MOD_GET_PROCESS_INFO: {
        static ProcessInfo info;
        info.one = 1;
        info.reference_size = 4;
        info.reference = reinterpret_cast<intptr_t>(&m->plug.process);
        info.form = 0;
        return reinterpret_cast<se_result>(&info);
    }
    case MOD_GET_PIN_PROPERTIES: {
        SEPinProperties *p = static_cast<SEPinProperties *>(ptr);
        switch (index) {
        case 0:
            p->variable_address = &m->in;
            p->direction = DR_IN;
            p->datatype = DT_FSAMPLE;
            p->name = "In";
            p->default_value = "0";
            return 1;
        case 1:
            p->variable_address = &m->mode;
            p->direction = DR_IN;
            p->datatype = DT_CHOICE;
            p->name = "Mode";
            p->default_value = "0";
            p->list_text = "A,B,C";
            return 1;
        case 2:
            p->variable_address = &m->out;
            p->direction = DR_OUT;
            p->datatype = DT_FSAMPLE;
            p->name = "Out";
            return 1;
        case 3:
            p->direction = DR_OUT;
            p->datatype = DT_MIDI;
            p->name = "Midi Out";
            return 1;
        default:
            return 0;
        }
    }
    default:
        return 0;
    }
}

} // namespace

extern "C" SE_EXPORT_API int32_t SE_CALL getModuleProperties(int32_t index, ModuleProperties *props) {
    if (index != 0)
        return 0;
    props->name = "Validator self-test";
    props->identifier = "sevalidate.selftest." STR(SELFTEST_FAULT);
    props->about = "A module for the validator's own tests";
    props->sdk_revision = 2240;
    return 1;
}

extern "C" SE_EXPORT_API void *SE_CALL makeModule(int32_t index, int32_t type, se_host_callback host, void *data) {
    if (index != 0 || type != SE_MAKE_DSP)
        return nullptr;
    Selftest *m = new (std::nothrow) Selftest;
    if (!m)
        return nullptr;
    std::memset(&m->plug, 0, sizeof m->plug);
    m->plug.magic = SE_PLUG_MAGIC;
    m->plug.version = 1;
    m->plug.host_data = data;
    m->plug.object = m;
    m->plug.dispatch = dispatch_entry;
    m->plug.process = process_entry;
    m->plug.event = event_entry;
    m->host = host;
    return &m->plug;
}
