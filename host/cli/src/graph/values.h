// values.h - naming pins and writing their values the way users do: pins by
// name ("Mode"), by declaration number ("#3") or as a copy of a repeated pin
// ("Add Midi Out[2]"); values by list label ("Fwd+Back"), by number, as
// ON/OFF for bools and in volts for audio pins.
#ifndef SEHOST_CLI_VALUES_H
#define SEHOST_CLI_VALUES_H

#include <string>

#include "sehost/dsp_instance.h"

namespace secli {

enum class Want { Input, Output };

struct PinPick {
    int decl = -1; // declaration number
    int dsp = -1;  // DSP index, -1 for a GUI-only pin
    int32_t datatype = 0;
    int32_t direction = 0;
    bool gui = false;  // a GUI-side pin (IO_UI_COMMUNICATION)
    std::string label; // as the user names it in outputs
};

// Throws InputError naming `where` and listing the valid pins.
PinPick pick_pin(const sehost::DspInstance &dsp, const std::string &ref, Want want,
                 const std::string &where);

// A value text for a pin: choice label or number, bool word, float. Audio
// pins take volts and answer samples (volts / 10). InputError names `where`
// and lists valid labels.
double parse_value(const sehost::PinDecl &pin, const std::string &text, const std::string &where);

// The label of a choice value, else the number as text.
std::string value_text(const sehost::PinDecl &pin, double value);

// Kind of a pin for wiring and traces: "audio", "midi" or "value".
const char *wire_kind(int32_t datatype);

} // namespace secli

#endif
