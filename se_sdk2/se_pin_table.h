// se_pin_table.h - a module's pin declarations as a table of data.
//
//   class Module : public SEModule_base {
//       enum Pin : int32_t { kOctave, ..., kPinCount };  // names, in table order
//       int16_t m_octave = 0;                              // the members named below
//       static constexpr se_sdk::PinSpec kPins[] = {
//           {"Octave", DR_IN, DT_CHOICE, SE_FIELD(Module, m_octave), "0", kOctaveList, 0},
//           ...
//       };
//       static_assert(std::size(kPins) == kPinCount, "one name per pin");
//   public:
//       bool QueryPinProperties(int32_t n, SEPinProperties *p) override
//       { return se_sdk::describe_pin(kPins, n, this, p); }
#ifndef SE_PIN_TABLE_H
#define SE_PIN_TABLE_H

#include <cstddef>

#include "se_plugin.h"

class SEModule_base;

namespace se_sdk {

// Finds the member that holds a pin's value inside a module object.
using FieldOf = void *(*)(SEModule_base *object);

template <auto M> struct field;
template <class C, class T, T C::*M> struct field<M> {
    static void *of(SEModule_base *object) { return &(static_cast<C *>(object)->*M); }
};

struct PinSpec {
    const char *name;
    int32_t direction;
    int32_t datatype;
    FieldOf variable;          // null: the SDK gives the pin storage of its own
    const char *default_value; // may be null
    const char *list_text;     // may be null
    int32_t flags;
};

// Fills the host's (cleared) record for declaration `number`; answers false
// and writes nothing for a number the table does not hold.
template <size_t N>
bool describe_pin(const PinSpec (&table)[N], int32_t number, SEModule_base *object,
                  SEPinProperties *p)
{
    if (number < 0 || static_cast<size_t>(number) >= N)
        return false;
    const PinSpec &pin = table[number];
    p->variable_address = pin.variable != nullptr ? pin.variable(object) : nullptr;
    p->direction = pin.direction;
    p->datatype = pin.datatype;
    p->name = pin.name;
    p->default_value = pin.default_value;
    p->list_text = pin.list_text;
    p->flags = pin.flags;
    return true;
}

} // namespace se_sdk

#define SE_FIELD(CLASS, MEMBER) (&::se_sdk::field<&CLASS::MEMBER>::of)

#endif
