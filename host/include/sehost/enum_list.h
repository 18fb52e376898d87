// enum_list.h - the host's list syntax of choice pins, and the other texts
// that travel in the list field of a pin declaration.
#ifndef SEHOST_ENUM_LIST_H
#define SEHOST_ENUM_LIST_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sehost {

// A decoded list text.
//
//   Entries     "OFF,ON" -> OFF=0, ON=1.  Entries are separated by commas;
//               "label=number" takes that number, every other entry the
//               previous number plus one, the first one 0.  A label may hold
//               blanks, parentheses and '=' (the last '=' splits).
//   Auto        "{AUTO}": the host grows the list itself; passed through.
//   Range       "range:A,B": a numeric range, passed through (min A, max B).
//   AudioRange  four comma-separated numbers of an audio pin, e.g.
//               "100,0,100,0" (parse with audio = true).
//   Empty       no text / empty text.
class EnumList
{
public:
    enum class Kind { Empty, Entries, Auto, Range, AudioRange };
    struct Entry {
        std::string label;
        int32_t value;
    };

    // Throws HostError for a malformed text (empty entry, bad number).
    static EnumList parse(const std::string &text, bool audio = false);

    Kind kind() const { return m_kind; }
    const std::string &text() const { return m_text; }
    const std::vector<Entry> &entries() const { return m_entries; }

    // Label to value (first entry with that exact label) and value to label
    // (first entry with that value).  Empty for a miss or a non-list kind.
    std::optional<int32_t> value_of(const std::string &label) const;
    std::optional<std::string> label_of(int32_t value) const;

    // Kind::Range: the two bounds.  Kind::AudioRange: the four numbers.
    double range_min() const { return m_range[0]; }
    double range_max() const { return m_range[1]; }
    const std::array<double, 4> &numbers() const { return m_range; }

private:
    Kind m_kind = Kind::Empty;
    std::string m_text;
    std::vector<Entry> m_entries;
    std::array<double, 4> m_range{};
};

} // namespace sehost

#endif
