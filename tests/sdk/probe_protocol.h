// probe_protocol.h - how the SDK tests look inside the probe module.
//
// The probe answers MOD_MESSAGE (value = command, index = argument,
// pointer = the test's buffer) so that a test can read its pins and the log
// of hooks the SDK called, and make it call SDK services on demand.
#ifndef PROBE_PROTOCOL_H
#define PROBE_PROTOCOL_H

#include <stdint.h>

enum ProbeCommand : int32_t {
    PROBE_PIN_INFO = 1,       // pointer: ProbePins
    PROBE_LOG = 2,            // pointer: ProbeLog
    PROBE_INSTALL_TWICE = 3,  // InstallProcess(process_b) twice
    PROBE_POST_EVENT = 4,     // RunAt(SampleClock() + index) of the probe's run function
    PROBE_PIN_AT = 5,         // PinAt(index)
    PROBE_CURRENT_SAMPLE = 6, // pointer: float; CurrentSample of pin index
    PROBE_SEND_MIDI = 7,      // SendMidi on DSP pin 3 at SampleClock() + index
    PROBE_IS_CONNECTED = 8,   // pointer: int32_t; IsConnected of pin index
    PROBE_RATES = 9,          // pointer: int32_t[2]; SampleRate bits, BlockSize
};

// GUI side: GUI_OP_DSP_MESSAGE with these values makes the probe's GUI side
// call a pin-handle operation on declaration `index`; what it learns is
// written back as pin values (see the GUI probe), where the test reads it.
enum ProbeGuiCommand : int32_t {
    PROBE_GUI_SET_FLOAT_ONE = 1, // SetValueFloat(1.0)
    PROBE_GUI_SET_INT_ONE = 2,   // SetValueInt(1)
    PROBE_GUI_GET_TEXT = 3,      // GetValueText; writes its length with SetValueInt
    PROBE_GUI_GET_WIDE = 4,      // GetValueWideText; writes its length, then each character
    PROBE_GUI_GET_VALUES = 5,    // GetValueInt, then GetValueFloat; writes both back
};
// The GUI probe reports what its hooks received on this declaration.
#define PROBE_GUI_REPORT_PIN 2

struct ProbePin {
    int32_t pin_index;
    int32_t datatype;
    int32_t status;
    int32_t has_variable;
    int32_t own_storage; // the variable lies inside the pin, not in the module
    int32_t value;       // the variable read by type (floats as bits)
};

struct ProbePins {
    int32_t count; // DSP pins the SDK created
    int32_t has_array;
    ProbePin pins[16];
};

enum ProbeHook : int32_t {
    HOOK_PIN_STATUS = 1, // a = pin index, b = status seen inside the handler
    HOOK_MIDI = 2,       // a = time stamp, b = message, c = extra
    HOOK_NOTIFY = 3,
    HOOK_NOTIFY_VALUE = 4, // a = index
    HOOK_RUN = 5,          // a = clock when run
    HOOK_PROCESS_A = 6,    // a = start, b = count, c = clock
    HOOK_PROCESS_B = 7,
    HOOK_CLOSE = 8,
};

struct ProbeEntry {
    int32_t hook;
    int32_t a, b, c;
};

struct ProbeLog {
    int32_t count;
    ProbeEntry entries[64];
};

#endif
