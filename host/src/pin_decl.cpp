// pin_decl.cpp - names of codes, list decoding and value texts of a
// declaration.
#include "sehost/pin_decl.h"

#include <cstdlib>

namespace sehost {

EnumList PinDecl::list() const
{
    if (!list_text)
        return EnumList{};
    return EnumList::parse(*list_text, datatype == DT_FSAMPLE);
}

std::optional<double> PinDecl::read_text(const std::string &text) const
{
    if (!text.empty()) {
        char *end = nullptr;
        const double v = std::strtod(text.c_str(), &end);
        if (*end == '\0')
            return v;
    }
    if (datatype == DT_CHOICE && list_text)
        if (std::optional<int32_t> v = EnumList::parse(*list_text).value_of(text))
            return *v;
    if (text == "true" || text == "false")
        return text == "true" ? 1.0 : 0.0;
    return std::nullopt;
}

const char *datatype_name(int32_t datatype)
{
    switch (datatype) {
    case DT_CHOICE:
        return "DT_CHOICE";
    case DT_MIDI:
        return "DT_MIDI";
    case DT_BOOLEAN:
        return "DT_BOOLEAN";
    case DT_FSAMPLE:
        return "DT_FSAMPLE";
    case DT_FLOAT32:
        return "DT_FLOAT32";
    case DT_WORD32:
        return "DT_WORD32";
    default:
        return "unknown data type";
    }
}

const char *request_name(int32_t op)
{
    switch (op) {
    case HOST_SET_PIN_STATUS:
        return "HOST_SET_PIN_STATUS";
    case HOST_IS_PIN_CONNECTED:
        return "HOST_IS_PIN_CONNECTED";
    case HOST_GET_SAMPLE_CLOCK:
        return "HOST_GET_SAMPLE_CLOCK";
    case HOST_SEND_MIDI:
        return "HOST_SEND_MIDI";
    case HOST_GET_PIN_BUFFER:
        return "HOST_GET_PIN_BUFFER";
    case HOST_GET_BUFFER_START:
        return "HOST_GET_BUFFER_START";
    case HOST_SLEEP:
        return "HOST_SLEEP";
    case HOST_GET_PIN_COUNT:
        return "HOST_GET_PIN_COUNT";
    case HOST_SEND_TO_GUI:
        return "HOST_SEND_TO_GUI";
    case HOST_POST_EVENT:
        return "HOST_POST_EVENT";
    case HOST_PROCESS_CHANGED:
        return "HOST_PROCESS_CHANGED";
    case HOST_GET_VERSION:
        return "HOST_GET_VERSION";
    default:
        return "request";
    }
}

} // namespace sehost
