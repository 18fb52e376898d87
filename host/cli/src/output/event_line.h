// event_line.h - one line of events.jsonl, written field by field without
// building a JSON document: the same text the JSON library writes for an
// object (keys in byte order, no spaces, its notation for numbers and its
// escapes for strings), at a small part of the cost. One EventLine is
// reused from event to event.
#ifndef SEHOST_CLI_EVENT_LINE_H
#define SEHOST_CLI_EVENT_LINE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace secli {

class EventLine
{
public:
    // Starts a new object. Keys are plain ASCII names, each added once.
    EventLine &clear();
    EventLine &add_unsigned(const char *key, uint64_t v);
    EventLine &add_signed(const char *key, int64_t v);
    EventLine &add_number(const char *key, double v); // null if not finite
    EventLine &add_text(const char *key, std::string_view v);
    // The object as one line (no newline); or written over `out`, whose
    // room is kept from line to line.
    std::string text() const;
    void text(std::string &out) const;

private:
    static constexpr size_t kMaxFields = 16;
    struct Field {
        const char *key;
        size_t at, size; // in m_values
    };
    EventLine &field(const char *key, size_t at);
    Field m_fields[kMaxFields];
    size_t m_count = 0;
    // The keys' byte order, kept for the next object with the same keys
    // (most events repeat one of a few key lists).
    mutable const char *m_sorted_keys[kMaxFields] = {};
    mutable uint8_t m_order[kMaxFields] = {};
    mutable size_t m_key_size[kMaxFields] = {}; // in m_order's order
    mutable size_t m_sorted_count = 0;
    // The last number's text: events at one clock repeat their time.
    uint64_t m_last_bits = 0;
    char m_last_number[32];
    size_t m_last_size = 0;
    std::string m_values; // the values' texts one after another
};

} // namespace secli

#endif
