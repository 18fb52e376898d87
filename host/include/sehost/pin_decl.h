// pin_decl.h - pin declarations as the host learns them.
#ifndef SEHOST_PIN_DECL_H
#define SEHOST_PIN_DECL_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "se_plugin.h"
#include "sehost/enum_list.h"

namespace sehost {

// One declared pin, as MOD_GET_PIN_PROPERTIES answered it for declaration
// number `number`.  Texts are copied at once.
struct PinDecl {
    int number = 0;
    std::string name;
    int32_t direction = 0;
    int32_t datatype = 0;
    int32_t flags = 0;
    std::optional<std::string> default_value;
    std::optional<std::string> list_text;
    uintptr_t variable_address = 0;
    int dsp_index = -1; // DSP-side pin index, -1 for a GUI-only pin

    bool has_dsp_pin() const
    {
        return (flags & IO_UI_COMMUNICATION) == 0 || (flags & IO_BOTH_SIDES) != 0;
    }
    bool is_gui_pin() const { return (flags & IO_UI_COMMUNICATION) != 0; }
    bool is_input() const { return direction == DR_IN || direction == DR_SETTING; }
    // The list field decoded (audio ranges for DT_FSAMPLE pins).
    EnumList list() const;
    // A value text as modules write them (defaults, texts a GUI side
    // stores): a number in the C library's syntax ("1.5", "-3", "1e3",
    // "0x10"), a label of the pin's choice list, or "true" / "false" (1 and
    // 0); nothing for any other text.  Audio values stay in volts.
    // HostError if the list itself does not parse.
    std::optional<double> read_text(const std::string &text) const;
};

// One DSP-side pin of an instance: a declared DSP pin, or a copy of the
// last declaration (IO_REPEAT_LAST), which has no variable of its own.
struct DspPin {
    int index = 0; // DSP index
    int decl = 0;  // declaration number (the repeated one for copies)
    bool copy = false;
    int32_t direction = 0;
    int32_t datatype = 0;
    uintptr_t variable_address = 0; // 0 for copies and pins without one
};

// Text of a data type, direction or request code for messages ("DT_CHOICE").
const char *datatype_name(int32_t datatype);
const char *request_name(int32_t op);

} // namespace sehost

#endif
