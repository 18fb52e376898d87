/*
 * se_plugin.h - the host boundary of a module library.
 *
 * Everything that crosses between the host and a module is declared here, in
 * plain C: the two exported functions, the binary records whose addresses
 * the two sides exchange, and the numbered operations and requests.
 *
 * The shipped target is a 32-bit x86 library: every record below is
 * little-endian with 32-bit fields and 32-bit pointers and no padding, and
 * the offsets written beside each field are part of the contract.  A build
 * for a 64-bit processor keeps the field order and the widths of the
 * non-pointer fields; pointer fields (and the fields that carry an address)
 * widen to 8 bytes with natural alignment.  The 64-bit offsets are given in
 * brackets.  The static asserts at the end check the one or the other in
 * every build.
 */
#ifndef SE_PLUGIN_H
#define SE_PLUGIN_H

#include <stddef.h>
#include <stdint.h>

/* Calling convention of every function that crosses the boundary. */
#if defined(_WIN32) && !defined(_WIN64)
#define SE_CALL __cdecl
#else
#define SE_CALL
#endif

/* Marks the two exports: plain, unadorned C names, nothing else visible. */
#if defined(_WIN32)
#define SE_EXPORT_API __declspec(dllexport)
#else
#define SE_EXPORT_API __attribute__((visibility("default")))
#endif
#ifdef __cplusplus
#define SE_EXPORT extern "C" SE_EXPORT_API
#else
#define SE_EXPORT SE_EXPORT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* The life of a module.  Every operation below is tagged with the phase in
 * which the host may call it; every request with the calls inside which a
 * module may make it.
 *
 *   [load]   getModuleProperties(0), then makeModule(0, SE_MAKE_DSP) for the
 *            DSP side and makeModule(0, SE_MAKE_GUI) for the GUI side.
 *   [learn]  MOD_GET_PIN_PROPERTIES for declarations 0, 1, 2, ... until one
 *            answers 0.  The host then fixes the instance's DSP pin count
 *            (the copies of an IO_REPEAT_LAST pin included).
 *   [setup]  MOD_SET_SAMPLE_RATE and MOD_SET_BLOCK_SIZE, before MOD_OPEN:
 *            modules read both while they open (until they come the SDK
 *            holds 44100 Hz and 1024 samples).  The host may repeat them.
 *   [open]   MOD_OPEN, once.  Inside it the SDK asks HOST_GET_PIN_COUNT and
 *            creates the pins, and the module installs its process function
 *            (HOST_PROCESS_CHANGED).
 *   [start]  After MOD_OPEN and before the first process call: the host
 *            writes every input's value and every buffer address into the
 *            module's variables, then delivers EV_PIN_STATUS at clock 0 for
 *            every input and setting pin in pin order (STATUS_STREAMING for
 *            a fed audio input, else STATUS_STILL).
 *   [run]    Events through the event entry exactly when the sample clock
 *            equals their stamp; process calls for the stretches between
 *            them, each 1 or more samples inside one block.  After
 *            HOST_SLEEP no process call comes until the next event.
 *   [close]  MOD_CLOSE, once, last; the object and its record are gone.
 *   [open on] Inside MOD_OPEN or any call after it.
 *   [any]    At any time between makeModule and the close.
 *
 * The GUI side: GUI_OP_INITIALISE before any other GUI operation, then the
 * others in any order, GUI_OP_CLOSE last.
 *
 * One object is called from one thread at a time.  A module makes requests
 * only from inside the host's calls into it, never from a thread of its own;
 * a time stamp it gives is never earlier than the current sample clock. */

/* ------------------------------------------------------------------------ */
/* Magic numbers of the two plug records.                                     */

#define SE_PLUG_MAGIC     0x5345507B /* "{PES" in memory order: DSP side */
#define SE_GUI_PLUG_MAGIC 0x5345504D /* "MPES" in memory order: GUI side */

/* ------------------------------------------------------------------------ */
/* Function types.                                                          */

/* Result of the host callback and of the two dispatchers: a 32-bit signed
 * number in the 32-bit target.  Some answers are addresses (a pin buffer, a
 * host-owned text, the ProcessInfo record), so a build for a wider processor
 * widens the result to the pointer width; on the 32-bit target intptr_t is
 * the 32-bit int and the calls are the contract's. */
typedef intptr_t se_result;

struct ModuleProperties;
struct PlugRecord;
struct GuiPlugRecord;
struct TimedEvent;

/* The host callback, given to makeModule.  The first argument is the
 * address of the calling object's own plug record (PlugRecord on the DSP
 * side, GuiPlugRecord on the GUI side). */
typedef se_result(SE_CALL *se_host_callback)(void *plug, int32_t operation, int32_t index,
                                             int32_t value, void *pointer, float opt);

/* Dispatch entry of a PlugRecord: called with the record's own address. */
typedef se_result(SE_CALL *se_dispatch_entry)(struct PlugRecord *plug, int32_t operation,
                                              int32_t index, int32_t value, void *pointer,
                                              float opt);

/* Process entry: called with the object address (PlugRecord.object), not the
 * record address, for samples start .. start + count - 1. */
typedef void(SE_CALL *se_process_entry)(void *object, int32_t start, int32_t count);

/* Event entry: called with the object address and a host-owned event. */
typedef void(SE_CALL *se_event_entry)(void *object, struct TimedEvent *event);

/* A module function run by an EV_RUN_FUNCTION event, with the object. */
typedef void(SE_CALL *se_run_function)(void *object);

/* Dispatcher entry of a GuiPlugRecord: same arguments as the callback. */
typedef se_result(SE_CALL *se_gui_dispatch_entry)(struct GuiPlugRecord *plug, int32_t operation,
                                                  int32_t index, int32_t value, void *pointer,
                                                  float opt);

/* The two exports. */
typedef int32_t(SE_CALL *se_get_module_properties_fn)(int32_t index,
                                                      struct ModuleProperties *props);
typedef void *(SE_CALL *se_make_module_fn)(int32_t index, int32_t type, se_host_callback callback,
                                           void *host_data);

#define SE_EXPORT_GET_PROPERTIES "getModuleProperties"
#define SE_EXPORT_MAKE_MODULE    "makeModule"

/* makeModule types */
#define SE_MAKE_DSP 1
#define SE_MAKE_GUI 2

/* ------------------------------------------------------------------------ */
/* ModuleProperties: filled by getModuleProperties(0, record).  The record
 * belongs to the host; the texts are constants of the library. */
typedef struct ModuleProperties {
    const char *name;       /*  0 [ 0] module name */
    const char *identifier; /*  4 [ 8] unique identifier of the module type */
    const char *about;      /*  8 [16] about text, lines separated by '\n' */
    int32_t reserved;       /* 12 [24] no module writes it */
    int32_t flags;          /* 16 [28] option bits read by the host */
    int32_t sdk_revision;   /* 20 [32] plain number, not bits */
} ModuleProperties;         /* 24 [40] */

/* ------------------------------------------------------------------------ */
/* PlugRecord: the DSP-side record, embedded in every module object, so its
 * address is fixed for the object's life.  Cleared to zero, then filled. */
typedef struct PlugRecord {
    int32_t magic;              /*  0 [ 0] SE_PLUG_MAGIC */
    int32_t version;            /*  4 [ 4] 1 */
    void *host_data;            /*  8 [ 8] 4th argument of makeModule; never read */
    void *object;               /* 12 [16] address of the SEModule_base object */
    int32_t reserved;           /* 16 [24] 0 */
    se_dispatch_entry dispatch; /* 20 [32] */
    se_process_entry process;   /* 24 [40] the current process function */
    se_event_entry event;       /* 28 [48] */
    uint8_t reserved2[16];      /* 32 [56] zero */
} PlugRecord;                   /* 48 [72] */

/* ------------------------------------------------------------------------ */
/* SEPinProperties: describes one pin.  A module writes only the fields it
 * needs, so the caller clears the record before each query. */
typedef struct SEPinProperties {
    void *variable_address;    /*  0 [ 0] module member holding the value, or null */
    int32_t direction;         /*  4 [ 8] DR_ */
    int32_t datatype;          /*  8 [12] DT_ */
    const char *name;          /* 12 [16] */
    const char *default_value; /* 16 [24] text, may be null */
    const char *list_text;     /* 20 [32] enumeration list or audio range, may be null */
    int32_t flags;             /* 24 [40] IO_ */
    int32_t reserved;          /* 28 [44] 0 */
} SEPinProperties;             /* 32 [48] */

/* Data types (datatype) */
#define DT_CHOICE  0 /* 16-bit signed value of the chosen list entry */
#define DT_MIDI    2 /* no variable: MIDI travels as events */
#define DT_BOOLEAN 4 /* 8 bits, 0 or 1 */
#define DT_FSAMPLE 5 /* variable holds the address of a buffer of floats */
#define DT_FLOAT32 6 /* 32-bit float */
#define DT_WORD32  8 /* unused by the modules; 32 bits of storage */

/* Directions (direction); code 2 is not used */
#define DR_IN      0
#define DR_OUT     1
#define DR_SETTING 3

/* Pin flags (flags) */
#define IO_AUTO_LIST        0x4 /* passed to the host ("{AUTO}" pins) */
#define IO_REPEAT_LAST      0x8 /* last declaration only: host may repeat it */
#define IO_PRIVATE          0x100
#define IO_AUDIO_HINT       0x200 /* passed to the host */
#define IO_UI_COMMUNICATION 0x400 /* GUI-side pin: no DSP pin unless IO_BOTH_SIDES */
#define IO_BOTH_SIDES       0x8000
#define IO_PATCH_STORE      0x10000 /* host stores the value with the patch */

/* ------------------------------------------------------------------------ */
/* DSP dispatcher operations (host to module).  Unlisted codes do nothing. */
#define MOD_OPEN               0  /* [open] */
#define MOD_CLOSE              1  /* [close] answers 1; the object is gone afterwards */
#define MOD_SET_SAMPLE_RATE    2  /* [setup] opt: rate in Hz */
#define MOD_SET_BLOCK_SIZE     3  /* [setup] value: samples per block */
#define MOD_GET_PIN_PROPERTIES 6  /* [learn] index: declaration; pointer: cleared SEPinProperties */
#define MOD_REFUSED_7          7  /* never: a contract violation on a DSP side */
#define MOD_NOTIFY             8  /* [any] */
#define MOD_REFUSED_10         10 /* never: a contract violation on a DSP side */
#define MOD_MESSAGE            12 /* [any] */
#define MOD_GET_PROCESS_INFO   13 /* [any] answers the address of the static ProcessInfo */

/* ProcessInfo: the answer to MOD_GET_PROCESS_INFO, one static record per
 * library, rewritten by every such call. */
typedef struct ProcessInfo {
    int32_t one;            /*  0 [ 0] 1 */
    int32_t reference_size; /* 4 [ 4] size in bytes of m_process */
    intptr_t reference;     /*  8 [ 8] address of m_process inside the object */
    int32_t form;           /* 12 [16] code of the reference's form */
} ProcessInfo;              /* 16 [24] */

/* ------------------------------------------------------------------------ */
/* Host requests of the DSP side (module to host).  "Pin" is the DSP index;
 * a time stamp travels in the pointer argument as a 32-bit sample clock. */
#define HOST_SET_PIN_STATUS   0  /* [start][run] index pin, value status, pointer time */
#define HOST_IS_PIN_CONNECTED 1  /* [open on] index pin: non-zero if wired */
#define HOST_GET_SAMPLE_CLOCK 3  /* [any] clock of a process call's first sample, or an event's */
#define HOST_SEND_MIDI        4  /* [start][run] index pin, value packed message, pointer time */
#define HOST_GET_PIN_BUFFER   7  /* [open on] index pin: address of its float buffer */
#define HOST_GET_BUFFER_START 8  /* [open on] index pin: clock of element 0 */
#define HOST_SLEEP            10 /* [run] no process calls until the next event */
#define HOST_GET_PIN_COUNT    14 /* [open on] DSP pins of the instance, repeats included */
#define HOST_SEND_TO_GUI      17 /* [open on] index 0, value: number for GUI_OP_DSP_MESSAGE */
#define HOST_POST_EVENT       19 /* [open on] pointer: TimedEvent, copied during the call */
#define HOST_PROCESS_CHANGED  22 /* [open on] the process entry changed */
#define HOST_GET_VERSION      24 /* [any] host version number */

/* Time stamps travel in a pointer argument. */
#define SE_CLOCK_TO_POINTER(t) ((void *)(uintptr_t)(uint32_t)(t))
#define SE_POINTER_TO_CLOCK(p) ((uint32_t)(uintptr_t)(p))

/* ------------------------------------------------------------------------ */
/* TimedEvent: delivered through the event entry exactly when the sample
 * clock reaches time_stamp. */
typedef struct TimedEvent {
    uint32_t time_stamp; /*  0 [ 0] */
    int32_t kind;        /*  4 [ 4] EV_ */
    int32_t value;       /*  8 [ 8] new status, or packed MIDI message */
    int32_t value16;     /* 12 [12] low 16 bits, signed, go with EV_MIDI */
    intptr_t data;       /* 16 [16] DSP pin index, or se_run_function address */
    intptr_t link;       /* 20 [24] 0 in a posted event; not read */
} TimedEvent;            /* 24 [32] */

/* Event kinds */
#define EV_PIN_STATUS   0
#define EV_MIDI         2
#define EV_PATCH_CHANGE 6
#define EV_RUN_FUNCTION 21

/* Pin statuses */
#define STATUS_STILL     0 /* holds still */
#define STATUS_CHANGED   1 /* changed once at this stamp, then holds still */
#define STATUS_STREAMING 2 /* changes from sample to sample */

/* Packed MIDI message: status in bits 0-7, data 1 in bits 8-15, data 2 in
 * bits 16-23, bits 24-31 zero. */
#define SE_MIDI_PACK(status, d1, d2)                                                               \
    ((int32_t)(((uint32_t)(status)&0xFFu) | (((uint32_t)(d1)&0xFFu) << 8) |                        \
               (((uint32_t)(d2)&0xFFu) << 16)))

/* ------------------------------------------------------------------------ */
/* GuiPlugRecord: the GUI-side record.  Its field order differs from the
 * PlugRecord: the dispatcher comes before host data and object. */
typedef struct GuiPlugRecord {
    int32_t magic;                    /*  0 [ 0] SE_GUI_PLUG_MAGIC */
    int32_t version;                  /*  4 [ 4] 1 */
    se_gui_dispatch_entry dispatcher; /*  8 [ 8] */
    void *host_data;                  /* 12 [16] 4th argument of makeModule */
    void *object;                     /* 16 [24] address of the SEGUI_base object */
    uint8_t reserved[20];             /* 20 [32] zero */
} GuiPlugRecord;                      /* 40 [56] */

/* GUI operations (host to module).  Operations outside 0..12 answer 0. */
#define GUI_OP_INITIALISE        0  /* first: index 1 is Initialise(true) */
#define GUI_OP_CLOSE             1  /* last: answers 1; the object is gone afterwards */
#define GUI_OP_DSP_MESSAGE       6  /* value: the DSP side's number */
#define GUI_OP_PIN_VALUE_CHANGED 7  /* index: declaration number */
#define GUI_OP_IDLE              10 /* only while asked for (GUI_HOST_SET_IDLE): answers 1 or 0 */
#define GUI_OP_LAST              12

/* GUI-side host requests (module to host); pins by declaration number. */
#define GUI_HOST_SET_PIN_TEXT      6 /* pointer: text */
#define GUI_HOST_GET_PIN_TEXT      7 /* answers the address of host-owned text */
#define GUI_HOST_REQUEST_8         8
#define GUI_HOST_GET_PIN_VALUE     14 /* pointer: 32-bit slot, float or integer */
#define GUI_HOST_SET_PIN_VALUE     15 /* value: integer/bool; opt: float */
#define GUI_HOST_GET_PIN_WIDE_TEXT 17 /* value capacity, pointer 16-bit buffer */
#define GUI_HOST_REQUEST_18        18
#define GUI_HOST_REQUEST_19        19
#define GUI_HOST_REQUEST_20        20
#define GUI_HOST_SET_IDLE          22 /* index 1 asks for idle calls, 0 ends them */

/* ------------------------------------------------------------------------ */
/* Layout checks: in a 32-bit build every offset is the contract's, in a
 * 64-bit build the bracketed one. */
#ifdef __cplusplus
#define SE_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define SE_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif

/* SE_AT(o32, o64): the offset a comment gives, for this build's pointer
 * width; other widths are not checked. */
#if UINTPTR_MAX == 0xFFFFFFFFu
#define SE_AT(o32, o64) (o32)
#elif UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
#define SE_AT(o32, o64) (o64)
#endif

#ifdef SE_AT
SE_STATIC_ASSERT(sizeof(se_result) == sizeof(void *), "results are as wide as an address");

SE_STATIC_ASSERT(sizeof(ModuleProperties) == SE_AT(24, 40), "ModuleProperties size");
SE_STATIC_ASSERT(offsetof(ModuleProperties, name) == SE_AT(0, 0), "ModuleProperties.name");
SE_STATIC_ASSERT(offsetof(ModuleProperties, identifier) == SE_AT(4, 8),
                 "ModuleProperties.identifier");
SE_STATIC_ASSERT(offsetof(ModuleProperties, about) == SE_AT(8, 16), "ModuleProperties.about");
SE_STATIC_ASSERT(offsetof(ModuleProperties, reserved) == SE_AT(12, 24),
                 "ModuleProperties.reserved");
SE_STATIC_ASSERT(offsetof(ModuleProperties, flags) == SE_AT(16, 28), "ModuleProperties.flags");
SE_STATIC_ASSERT(offsetof(ModuleProperties, sdk_revision) == SE_AT(20, 32),
                 "ModuleProperties.sdk_revision");

SE_STATIC_ASSERT(sizeof(PlugRecord) == SE_AT(48, 72), "PlugRecord size");
SE_STATIC_ASSERT(offsetof(PlugRecord, magic) == SE_AT(0, 0), "PlugRecord.magic");
SE_STATIC_ASSERT(offsetof(PlugRecord, version) == SE_AT(4, 4), "PlugRecord.version");
SE_STATIC_ASSERT(offsetof(PlugRecord, host_data) == SE_AT(8, 8), "PlugRecord.host_data");
SE_STATIC_ASSERT(offsetof(PlugRecord, object) == SE_AT(12, 16), "PlugRecord.object");
SE_STATIC_ASSERT(offsetof(PlugRecord, reserved) == SE_AT(16, 24), "PlugRecord.reserved");
SE_STATIC_ASSERT(offsetof(PlugRecord, dispatch) == SE_AT(20, 32), "PlugRecord.dispatch");
SE_STATIC_ASSERT(offsetof(PlugRecord, process) == SE_AT(24, 40), "PlugRecord.process");
SE_STATIC_ASSERT(offsetof(PlugRecord, event) == SE_AT(28, 48), "PlugRecord.event");
SE_STATIC_ASSERT(offsetof(PlugRecord, reserved2) == SE_AT(32, 56), "PlugRecord.reserved2");

SE_STATIC_ASSERT(sizeof(SEPinProperties) == SE_AT(32, 48), "SEPinProperties size");
SE_STATIC_ASSERT(offsetof(SEPinProperties, variable_address) == SE_AT(0, 0),
                 "SEPinProperties.variable_address");
SE_STATIC_ASSERT(offsetof(SEPinProperties, direction) == SE_AT(4, 8), "SEPinProperties.direction");
SE_STATIC_ASSERT(offsetof(SEPinProperties, datatype) == SE_AT(8, 12), "SEPinProperties.datatype");
SE_STATIC_ASSERT(offsetof(SEPinProperties, name) == SE_AT(12, 16), "SEPinProperties.name");
SE_STATIC_ASSERT(offsetof(SEPinProperties, default_value) == SE_AT(16, 24),
                 "SEPinProperties.default_value");
SE_STATIC_ASSERT(offsetof(SEPinProperties, list_text) == SE_AT(20, 32),
                 "SEPinProperties.list_text");
SE_STATIC_ASSERT(offsetof(SEPinProperties, flags) == SE_AT(24, 40), "SEPinProperties.flags");
SE_STATIC_ASSERT(offsetof(SEPinProperties, reserved) == SE_AT(28, 44), "SEPinProperties.reserved");

SE_STATIC_ASSERT(sizeof(ProcessInfo) == SE_AT(16, 24), "ProcessInfo size");
SE_STATIC_ASSERT(offsetof(ProcessInfo, one) == SE_AT(0, 0), "ProcessInfo word 0");
SE_STATIC_ASSERT(offsetof(ProcessInfo, reference_size) == SE_AT(4, 4), "ProcessInfo word 1");
SE_STATIC_ASSERT(offsetof(ProcessInfo, reference) == SE_AT(8, 8), "ProcessInfo word 2");
SE_STATIC_ASSERT(offsetof(ProcessInfo, form) == SE_AT(12, 16), "ProcessInfo word 3");

SE_STATIC_ASSERT(sizeof(TimedEvent) == SE_AT(24, 32), "TimedEvent size");
SE_STATIC_ASSERT(offsetof(TimedEvent, time_stamp) == SE_AT(0, 0), "TimedEvent.time_stamp");
SE_STATIC_ASSERT(offsetof(TimedEvent, kind) == SE_AT(4, 4), "TimedEvent.kind");
SE_STATIC_ASSERT(offsetof(TimedEvent, value) == SE_AT(8, 8), "TimedEvent.value");
SE_STATIC_ASSERT(offsetof(TimedEvent, value16) == SE_AT(12, 12), "TimedEvent.value16");
SE_STATIC_ASSERT(offsetof(TimedEvent, data) == SE_AT(16, 16), "TimedEvent.data");
SE_STATIC_ASSERT(offsetof(TimedEvent, link) == SE_AT(20, 24), "TimedEvent.link");

SE_STATIC_ASSERT(sizeof(GuiPlugRecord) == SE_AT(40, 56), "GuiPlugRecord size");
SE_STATIC_ASSERT(offsetof(GuiPlugRecord, magic) == SE_AT(0, 0), "GuiPlugRecord.magic");
SE_STATIC_ASSERT(offsetof(GuiPlugRecord, version) == SE_AT(4, 4), "GuiPlugRecord.version");
SE_STATIC_ASSERT(offsetof(GuiPlugRecord, dispatcher) == SE_AT(8, 8), "GuiPlugRecord.dispatcher");
SE_STATIC_ASSERT(offsetof(GuiPlugRecord, host_data) == SE_AT(12, 16), "GuiPlugRecord.host_data");
SE_STATIC_ASSERT(offsetof(GuiPlugRecord, object) == SE_AT(16, 24), "GuiPlugRecord.object");
SE_STATIC_ASSERT(offsetof(GuiPlugRecord, reserved) == SE_AT(20, 32), "GuiPlugRecord.reserved");
#undef SE_AT
#endif

#ifdef __cplusplus
}
#endif

#endif /* SE_PLUGIN_H */
