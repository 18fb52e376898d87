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

namespace secli {

class EventLine
{
public:
    // Starts a new object. Keys are plain ASCII names, each added once.
    EventLine &clear();
    EventLine &add_unsigned(const char *key, uint64_t v);
    EventLine &add_signed(const char *key, int64_t v);
    EventLine &add_number(const char *key, double v); // null if not finite
    EventLine &add_text(const char *key, const std::string &v);
    // The object as one line (no newline).
    std::string text() const;

private:
    static constexpr size_t kMaxFields = 16;
    struct Field {
        const char *key;
        size_t at, size; // in m_values
    };
    EventLine &field(const char *key, size_t at);
    Field m_fields[kMaxFields];
    size_t m_count = 0;
    std::string m_values; // the values' texts one after another
};

} // namespace secli

#endif
