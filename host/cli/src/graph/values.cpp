// values.cpp - pin references and value texts.
#include "graph/values.h"

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "common/errors.h"
#include "common/numbers.h"

namespace secli {
namespace {

bool is_input(int32_t direction)
{
    return direction == DR_IN || direction == DR_SETTING;
}

bool parse_number(const std::string &s, double &out)
{
    std::optional<double> v = read_decimal(s);
    if (v)
        out = *v;
    return v.has_value();
}

std::string lower(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string valid_pins(const sehost::DspInstance &dsp, Want want)
{
    std::vector<std::string> names;
    for (const sehost::PinDecl &d : dsp.pins())
        if (is_input(d.direction) == (want == Want::Input))
            names.push_back(d.name);
    return names.empty() ? std::string("none") : quoted_list(names);
}

} // namespace

const char *wire_kind(int32_t datatype)
{
    return datatype == DT_FSAMPLE ? "audio" : datatype == DT_MIDI ? "midi" : "value";
}

PinPick pick_pin(const sehost::DspInstance &dsp, const std::string &ref, Want want,
                 const std::string &where)
{
    const auto &pins = dsp.pins();
    const char *side = want == Want::Input ? "input" : "output";
    auto fill = [&](const sehost::PinDecl &d, int dsp_index, const std::string &label) {
        PinPick p;
        p.decl = d.number;
        p.dsp = dsp_index;
        p.datatype = d.datatype;
        p.direction = d.direction;
        p.gui = d.is_gui_pin();
        p.label = label;
        if (is_input(d.direction) != (want == Want::Input))
            throw InputError(where + ": pin \"" + label + "\" is not an " + side + "; " + side +
                             "s are " + valid_pins(dsp, want));
        return p;
    };
    if (!ref.empty() && ref[0] == '#') {
        const Whole declarations{"declaration", 0, static_cast<long long>(pins.size()) - 1, ""};
        std::string digits = ref.substr(1);
        if (!is_whole_text(digits) || digits[0] == '-')
            throw InputError(where + ": no pin " + ref + " (declarations #0 to #" +
                             std::to_string(pins.size() - 1) + ")");
        const auto &d =
            pins[static_cast<size_t>(read_whole(digits, declarations, where + ": pin " + ref))];
        return fill(d, d.dsp_index, d.name);
    }
    // "Name[k]": copy k of a repeated pin. Only decimal digits make an
    // index; anything else between brackets is part of a pin name.
    std::string name = ref;
    int copy = 0;
    size_t open = ref.rfind('[');
    if (!ref.empty() && ref.back() == ']' && open != std::string::npos) {
        std::string digits = ref.substr(open + 1, ref.size() - open - 2);
        if (is_whole_text(digits)) {
            name = ref.substr(0, open);
            copy =
                static_cast<int>(read_whole(digits, kCopyIndex, where + ": pin \"" + ref + "\""));
        }
    }
    const sehost::PinDecl *found = nullptr;
    for (const auto &d : pins) {
        if (d.name != name)
            continue;
        if (!found || (is_input(d.direction) == (want == Want::Input) &&
                       is_input(found->direction) != (want == Want::Input)))
            found = &d;
    }
    if (!found)
        throw InputError(where + ": no pin \"" + name + "\"; " + side + "s are " +
                         valid_pins(dsp, want));
    if (copy == 0)
        return fill(*found, found->dsp_index, found->name);
    if (found->number != static_cast<int>(pins.size()) - 1 || (found->flags & IO_REPEAT_LAST) == 0)
        throw InputError(where + ": pin \"" + name + "\" is not repeated, so \"" + ref +
                         "\" does not exist");
    int index = found->dsp_index + copy;
    if (index >= static_cast<int>(dsp.dsp_pins().size()))
        throw InputError(where + ": \"" + ref + "\" needs " + std::to_string(copy) +
                         " repeated copies (set them with --repeat or \"repeat\")");
    return fill(*found, index, ref);
}

double parse_value(const sehost::PinDecl &pin, const std::string &text, const std::string &where)
{
    std::string what = where + ": pin \"" + pin.name + "\"";
    double number = 0;
    bool numeric = parse_number(text, number);
    switch (pin.datatype) {
    case DT_CHOICE: {
        sehost::EnumList list = pin.list();
        if (list.kind() == sehost::EnumList::Kind::Entries) {
            if (auto v = list.value_of(text))
                return *v;
            std::vector<std::string> labels;
            for (const auto &e : list.entries())
                labels.push_back(e.label);
            if (numeric && number == std::floor(number) && number >= INT32_MIN &&
                number <= INT32_MAX && list.label_of(static_cast<int32_t>(number)))
                return number;
            if (labels.size() > 24) {
                labels.erase(labels.begin() + 12, labels.end() - 4);
                labels.insert(labels.begin() + 12, "...");
            }
            throw InputError(what + " has no entry \"" + text +
                             "\"; valid: " + quoted_list(labels));
        }
        if (!numeric || number != std::floor(number))
            throw InputError(what + " takes a whole number, not \"" + text + "\"");
        if (list.kind() == sehost::EnumList::Kind::Range &&
            (number < list.range_min() || number > list.range_max()))
            throw InputError(what + ": " + text + " is outside " +
                             std::to_string(int(list.range_min())) + " to " +
                             std::to_string(int(list.range_max())));
        if (number < -32768 || number > 32767)
            throw InputError(what + ": " + text + " does not fit a 16-bit choice");
        return number;
    }
    case DT_BOOLEAN: {
        std::string t = lower(text);
        if (t == "on" || t == "true" || t == "yes" || t == "1")
            return 1;
        if (t == "off" || t == "false" || t == "no" || t == "0")
            return 0;
        throw InputError(what + " is a bool: write ON or OFF, not \"" + text + "\"");
    }
    case DT_FSAMPLE:
        if (!numeric)
            throw InputError(
                what +
                " is an audio pin: give volts or a source (sine:FREQ[:VOLTS], square:FREQ, "
                "saw:FREQ, const:VOLTS, ramp:FROM:TO, a .wav file), not \"" +
                text + "\"");
        if (std::fabs(number) > FLT_MAX)
            throw InputError(what + ": " + text + " V is outside the range of a 32-bit sample");
        return number / 10.0;
    case DT_MIDI:
        throw InputError(what + " is a MIDI pin: use --midi or --midi-file");
    default:
        if (!numeric)
            throw InputError(what + " takes a number, not \"" + text + "\"");
        if (std::fabs(number) > FLT_MAX)
            throw InputError(what + ": " + text + " is outside the range of a 32-bit float");
        return number;
    }
}

std::string value_text(const sehost::PinDecl &pin, double value)
{
    if (pin.datatype == DT_CHOICE && pin.list_text) {
        try {
            sehost::EnumList list = pin.list();
            if (std::isfinite(value) && std::fabs(value) < 2147483647.0)
                if (auto label = list.label_of(static_cast<int32_t>(std::lround(value))))
                    return *label;
        } catch (...) {
        }
    }
    if (pin.datatype == DT_BOOLEAN)
        return value != 0 ? "ON" : "OFF";
    std::ostringstream os;
    os << value;
    return os.str();
}

} // namespace secli
