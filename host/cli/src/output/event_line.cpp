// event_line.cpp - events.jsonl lines in the JSON library's notation.
#include "output/event_line.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace secli {

EventLine &EventLine::clear()
{
    m_count = 0;
    m_values.clear();
    return *this;
}

EventLine &EventLine::field(const char *key, size_t at)
{
    if (m_count == kMaxFields)
        throw std::logic_error("events.jsonl: too many fields in one event");
    m_fields[m_count++] = Field{key, at, m_values.size() - at};
    return *this;
}

namespace {

// A whole number's decimal digits appended to `out`; where they start.
template <typename Int> size_t append_integer(std::string &out, Int v)
{
    char buf[24];
    char *end = std::to_chars(buf, buf + sizeof buf, v).ptr;
    size_t at = out.size();
    out.append(buf, end);
    return at;
}

} // namespace

EventLine &EventLine::add_unsigned(const char *key, uint64_t v)
{
    return field(key, append_integer(m_values, v));
}

EventLine &EventLine::add_signed(const char *key, int64_t v)
{
    return field(key, append_integer(m_values, v));
}

EventLine &EventLine::add_number(const char *key, double v)
{
    size_t at = m_values.size();
    if (!std::isfinite(v)) {
        m_values.append("null");
    } else {
        // The library's own shortest round-trip digits and layout ("0.5",
        // "1.0", "1e-05"), so a line reads back to the same double and stays
        // the text earlier runs wrote.
        uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        if (m_last_size == 0 || bits != m_last_bits) {
            char buf[64];
            char *end = nlohmann::detail::to_chars(buf, buf + sizeof buf, v);
            m_last_size = static_cast<size_t>(end - buf);
            if (m_last_size > sizeof m_last_number) { // no shortest form is this long
                m_last_size = 0;
                m_values.append(buf, end);
                return field(key, at);
            }
            std::memcpy(m_last_number, buf, m_last_size);
            m_last_bits = bits;
        }
        m_values.append(m_last_number, m_last_size);
    }
    return field(key, at);
}

EventLine &EventLine::add_text(const char *key, std::string_view v)
{
    size_t at = m_values.size();
    // Printable ASCII without quote or backslash is written as it is; any
    // other text goes through the library (escapes; bytes that are not
    // UTF-8, as a plug-in's pin name may hold, become U+FFFD).
    bool plain = std::all_of(v.begin(), v.end(),
                             [](char c) { return c >= 0x20 && c < 0x7F && c != '"' && c != '\\'; });
    if (plain) {
        m_values += '"';
        m_values += v;
        m_values += '"';
    } else {
        m_values += nlohmann::json(std::string(v))
                        .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    return field(key, at);
}

std::string EventLine::text() const
{
    std::string line;
    text(line);
    return line;
}

void EventLine::text(std::string &line) const
{
    // The library keeps an object's keys in a sorted map. The same key
    // pointers in the same order as last time sort the same way.
    bool same = m_count == m_sorted_count;
    for (size_t i = 0; same && i < m_count; ++i)
        same = m_fields[i].key == m_sorted_keys[i];
    if (!same) {
        for (size_t i = 0; i < m_count; ++i) {
            m_order[i] = static_cast<uint8_t>(i);
            m_sorted_keys[i] = m_fields[i].key;
        }
        std::sort(m_order, m_order + m_count, [this](uint8_t a, uint8_t b) {
            return std::strcmp(m_fields[a].key, m_fields[b].key) < 0;
        });
        for (size_t i = 0; i < m_count; ++i)
            m_key_size[i] = std::strlen(m_fields[m_order[i]].key);
        m_sorted_count = m_count;
    }
    // '{' and '}', and per field a comma (but the first), two quotes and a
    // colon around the key, then the value.
    size_t size = m_count ? 1 + m_count : 2;
    for (size_t i = 0; i < m_count; ++i)
        size += m_key_size[i] + 3 + m_fields[m_order[i]].size;
    line.resize(size);
    char *p = line.data();
    *p++ = '{';
    for (size_t i = 0; i < m_count; ++i) {
        const Field &f = m_fields[m_order[i]];
        if (i)
            *p++ = ',';
        *p++ = '"';
        std::memcpy(p, f.key, m_key_size[i]);
        p += m_key_size[i];
        *p++ = '"';
        *p++ = ':';
        std::memcpy(p, m_values.data() + f.at, f.size);
        p += f.size;
    }
    *p = '}';
}

} // namespace secli
