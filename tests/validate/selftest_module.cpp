// selftest_module.cpp - a small plug-in written straight against the host
// boundary, built once well-behaved and once per fault that the validator
// must find or a host must survive (SELFTEST_FAULT, see the table in
// CMakeLists.txt; sehost play's tests use the process call that never
// returns once Mode is C).
//
// Pins: 0 "In" (audio in), 1 "Mode" (choice "A,B,C"), 2 "Out" (audio out,
// half the input), 3 "Midi Out" (a note-on for every change of Mode), and
// two GUI-side bools: 4 "Flag" (in) and 5 "Flag Out" (out), which the GUI
// side keeps equal to "Flag".  The GUI side also sets "Flag Out" on the
// DSP message 7 and asks for idle calls while "Flag" is on.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "se_plugin.h"

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#ifndef SELFTEST_FAULT
#define SELFTEST_FAULT 0
#endif
#define FAULT_NONE               0
#define FAULT_WRITE_OUTSIDE      1
#define FAULT_ALLOCATES          2
#define FAULT_BAD_MIDI           3
#define FAULT_CRASH_ON_CHOICE    4
#define FAULT_NOT_DETERMINISTIC  5
#define FAULT_SPLIT_DEPENDENT    6
#define FAULT_HANGS              7
#define FAULT_WRITES_INPUT       8
#define FAULT_ANNOUNCES_AT_CLOSE 9
#define FAULT_STATUS_ON_INPUT    10
#define FAULT_BIG_BLOCKS         11
#define FAULT_ANSWERS_UNKNOWN    12
#define FAULT_IGNORES_PIN_COUNT  13
#define FAULT_ANY_INDEX          14
#define FAULT_BAD_DEFAULT        15
#define FAULT_PROCESS_INFO       16
#define FAULT_EXTRA_EXPORT       17
#define FAULT_OVERFLOWS          18
#define FAULT_GUI_ANSWERS        19
#define FAULT_IDLE_LEFT_ON       20
#define FAULT_WRITES_UNDECLARED  21
#define FAULT_ECHO_LOOP          22
#define FAULT_BAD_BOOL           23
#define FAULT_CHATTERS           24
#define FAULT_LEAVES_PROCESSES   25
#define FAULT_HANGS_IN_PROCESS   26

#define STR2(x) #x
#define STR(x)  STR2(x)

// Another author's module: the same code under an identifier of its own.
#if defined(SELFTEST_RENAMED)
#define SELFTEST_IDENTIFIER "Another Author Split v1"
#else
#define SELFTEST_IDENTIFIER "sevalidate.selftest." STR(SELFTEST_FAULT)
#endif

namespace {

constexpr int32_t kDeclarations = 6;
constexpr int32_t kFlag = 4, kFlagOut = 5;
constexpr int32_t kSetFlagMessage = 7;

int g_calls = 0; // shared by every instance: only FAULT_NOT_DETERMINISTIC reads it

void chatter();
void leave_processes();

struct Selftest {
    PlugRecord plug;
    se_host_callback host;
    float *in = nullptr;
    float *out = nullptr;
    int16_t mode = 0;
    int32_t block = 1024;
    int32_t calls = 0;

    se_result call(int32_t op, int32_t index = 0, int32_t value = 0, void *ptr = nullptr)
    {
        return host ? host(&plug, op, index, value, ptr, 0.0f) : 0;
    }
    uint32_t clock() { return static_cast<uint32_t>(call(HOST_GET_SAMPLE_CLOCK)); }

    void process(int32_t start, int32_t count)
    {
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
        // A table sized for the usual block: past it, garbage.
        if (SELFTEST_FAULT == FAULT_BIG_BLOCKS && block > 1024)
            extra = static_cast<float>(1e38) * 10.0f;
        if (SELFTEST_FAULT == FAULT_HANGS_IN_PROCESS && mode == 2)
            for (volatile int spin = 1; spin;) {
            }
        for (int32_t k = start; k < start + count; ++k)
            out[k] = SELFTEST_FAULT == FAULT_OVERFLOWS ? in[k] * in[k] : in[k] * 0.5f + extra;
        if (SELFTEST_FAULT == FAULT_WRITE_OUTSIDE && start + count < block)
            out[start + count] = 1.0f;
        if (SELFTEST_FAULT == FAULT_WRITES_INPUT)
            in[start] = 0.25f;
    }

    void event(TimedEvent *e)
    {
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

    void open()
    {
        if (SELFTEST_FAULT == FAULT_CHATTERS)
            chatter();
        if (SELFTEST_FAULT == FAULT_LEAVES_PROCESSES)
            leave_processes();
        const se_result pins = call(HOST_GET_PIN_COUNT);
        // Announces the output's first value; a pin the host did not give
        // must not be named.
        if (pins > 2 || SELFTEST_FAULT == FAULT_IGNORES_PIN_COUNT)
            call(HOST_SET_PIN_STATUS, 2, STATUS_STREAMING, SE_CLOCK_TO_POINTER(clock()));
        if (SELFTEST_FAULT == FAULT_STATUS_ON_INPUT)
            call(HOST_SET_PIN_STATUS, 0, STATUS_CHANGED, SE_CLOCK_TO_POINTER(clock()));
    }
};

// 64 MiB of text on standard error.
void chatter()
{
    static char line[1024];
    std::memset(line, 'x', sizeof line - 1);
    line[sizeof line - 1] = '\n';
    for (int k = 0; k < 65536; ++k)
        std::fwrite(line, 1, sizeof line, stderr);
    std::fflush(stderr);
}

// Two sleeping processes: one in the process group it was started in, one
// in a session of its own whose parent is gone (once a process).  Their
// numbers go to the file named by SELFTEST_PID_FILE, a line each, written
// by the processes that started them before open goes on.
void leave_processes()
{
#if !defined(_WIN32)
    static bool left = false; // by the first instance of the process
    const char *file = std::getenv("SELFTEST_PID_FILE");
    if (!file || left)
        return;
    left = true;
    auto note = [file](pid_t pid) {
        if (FILE *f = std::fopen(file, "a")) {
            std::fprintf(f, "%ld\n", static_cast<long>(pid));
            std::fclose(f);
        }
    };
    pid_t pid = fork();
    if (pid == 0)
        for (;;)
            pause();
    note(pid);
    pid_t between = fork();
    if (between == 0) {
        setsid();
        if ((pid = fork()) == 0)
            for (;;)
                pause();
        note(pid);
        _exit(0);
    }
    waitpid(between, nullptr, 0);
#endif
}

void SE_CALL process_entry(void *object, int32_t start, int32_t count)
{
    static_cast<Selftest *>(object)->process(start, count);
}
void SE_CALL event_entry(void *object, TimedEvent *e)
{
    static_cast<Selftest *>(object)->event(e);
}

bool describe(int32_t index, Selftest *m, SEPinProperties *p)
{
    switch (index) {
    case 0:
        p->variable_address = m ? &m->in : nullptr;
        p->direction = DR_IN;
        p->datatype = DT_FSAMPLE;
        p->name = "In";
        p->default_value = "0";
        return true;
    case 1:
        p->variable_address = m ? &m->mode : nullptr;
        p->direction = DR_IN;
        p->datatype = DT_CHOICE;
        p->name = "Mode";
        p->default_value = SELFTEST_FAULT == FAULT_BAD_DEFAULT ? "D" : "0";
        p->list_text = "A,B,C";
        return true;
    case 2:
        p->variable_address = m ? &m->out : nullptr;
        p->direction = DR_OUT;
        p->datatype = DT_FSAMPLE;
        p->name = "Out";
        return true;
    case 3:
        p->direction = DR_OUT;
        p->datatype = DT_MIDI;
        p->name = "Midi Out";
        return true;
    case kFlag:
        p->direction = DR_IN;
        p->datatype = DT_BOOLEAN;
        p->name = "Flag";
        p->flags = IO_UI_COMMUNICATION;
        return true;
    case kFlagOut:
        p->direction = DR_OUT;
        p->datatype = DT_BOOLEAN;
        p->name = "Flag Out";
        p->flags = IO_UI_COMMUNICATION;
        return true;
    default:
        return false;
    }
}

se_result SE_CALL dispatch_entry(PlugRecord *plug, int32_t op, int32_t index, int32_t value,
                                 void *ptr, float)
{
    Selftest *m = static_cast<Selftest *>(plug->object);
    switch (op) {
    case MOD_CLOSE:
        if (SELFTEST_FAULT == FAULT_ANNOUNCES_AT_CLOSE)
            m->call(HOST_SEND_TO_GUI, 0, kSetFlagMessage);
        delete m;
        return 1;
    case MOD_SET_BLOCK_SIZE:
        m->block = value;
        return 0;
    case MOD_OPEN:
        m->open();
        return 0;
    case MOD_GET_PROCESS_INFO: {
        static ProcessInfo info;
        info.one = SELFTEST_FAULT == FAULT_PROCESS_INFO ? 2 : 1;
        info.reference_size = 4;
        info.reference = reinterpret_cast<intptr_t>(&m->plug.process);
        info.form = 0;
        return reinterpret_cast<se_result>(&info);
    }
    case MOD_GET_PIN_PROPERTIES:
        return ptr && describe(index, m, static_cast<SEPinProperties *>(ptr)) ? 1 : 0;
    default:
        return SELFTEST_FAULT == FAULT_ANSWERS_UNKNOWN && op != MOD_SET_SAMPLE_RATE ? 1 : 0;
    }
}

// --- GUI side ---

struct SelftestGui {
    GuiPlugRecord plug;
    se_host_callback host;
    bool writing = false; // our own writes come back as notifications

    se_result call(int32_t op, int32_t index = 0, int32_t value = 0, void *ptr = nullptr)
    {
        return host ? host(&plug, op, index, value, ptr, 0.0f) : 0;
    }
    int32_t get(int32_t pin)
    {
        int32_t v = 0;
        call(GUI_HOST_GET_PIN_VALUE, pin, 0, &v);
        return v;
    }
    void set(int32_t pin, int32_t v)
    {
        writing = true;
        call(GUI_HOST_SET_PIN_VALUE, pin, v);
        writing = false;
    }
    void follow_flag()
    {
        const int32_t flag = get(kFlag) ? 1 : 0;
        set(kFlagOut, flag);
        call(GUI_HOST_SET_IDLE, flag);
    }
    void changed(int32_t pin)
    {
        if (SELFTEST_FAULT == FAULT_WRITES_UNDECLARED && (pin < 0 || pin >= kDeclarations)) {
            set(pin, 0);
            return;
        }
        if (SELFTEST_FAULT == FAULT_ECHO_LOOP && pin == kFlag) {
            set(kFlag, get(kFlag) ? 0 : 1); // no guard: each write comes back
            return;
        }
        if (pin == kFlag && !writing)
            follow_flag();
    }
    void message(int32_t value)
    {
        if (value == kSetFlagMessage)
            set(kFlagOut, SELFTEST_FAULT == FAULT_BAD_BOOL ? 7 : 1);
    }
    void close()
    {
        if (SELFTEST_FAULT != FAULT_IDLE_LEFT_ON)
            call(GUI_HOST_SET_IDLE, 0);
    }
};

se_result SE_CALL gui_dispatch_entry(GuiPlugRecord *plug, int32_t op, int32_t index, int32_t value,
                                     void *, float)
{
    SelftestGui *g = static_cast<SelftestGui *>(plug->object);
    switch (op) {
    case GUI_OP_INITIALISE:
        g->follow_flag();
        if (SELFTEST_FAULT == FAULT_IDLE_LEFT_ON)
            g->call(GUI_HOST_SET_IDLE, 1);
        return 0;
    case GUI_OP_CLOSE:
        g->close();
        delete g;
        return 1;
    case GUI_OP_DSP_MESSAGE:
        g->message(value);
        return 0;
    case GUI_OP_PIN_VALUE_CHANGED:
        g->changed(index);
        return 0;
    case GUI_OP_IDLE:
        return 0; // nothing to do over time
    default:
        return SELFTEST_FAULT == FAULT_GUI_ANSWERS ? 1 : 0;
    }
}

} // namespace

extern "C" SE_EXPORT_API int32_t SE_CALL getModuleProperties(int32_t index, ModuleProperties *props)
{
    if (index != 0 && SELFTEST_FAULT != FAULT_ANY_INDEX)
        return 0;
    props->name = "Validator self-test";
    props->identifier = SELFTEST_IDENTIFIER;
    props->about = "A module for the validator's own tests";
    props->sdk_revision = 2240;
    return 1;
}

extern "C" SE_EXPORT_API void *SE_CALL makeModule(int32_t index, int32_t type,
                                                  se_host_callback host, void *data)
{
    if (index != 0)
        return nullptr;
    if (type == SE_MAKE_GUI) {
        SelftestGui *g = new (std::nothrow) SelftestGui;
        if (!g)
            return nullptr;
        std::memset(&g->plug, 0, sizeof g->plug);
        g->plug.magic = SE_GUI_PLUG_MAGIC;
        g->plug.version = 1;
        g->plug.dispatcher = gui_dispatch_entry;
        g->plug.host_data = data;
        g->plug.object = g;
        g->host = host;
        return &g->plug;
    }
    if (type != SE_MAKE_DSP)
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

#if SELFTEST_FAULT == FAULT_EXTRA_EXPORT
// A helper left exported by mistake.
extern "C" SE_EXPORT_API int32_t SE_CALL selftestDebugHook(void)
{
    return 0;
}
#endif
