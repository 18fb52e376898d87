// enum_list.cpp - decoding of list texts.
#include "sehost/enum_list.h"

#include <cerrno>
#include <cstdlib>

#include "sehost/host_error.h"

namespace sehost {
namespace {

std::vector<std::string> split_commas(const std::string &text)
{
    std::vector<std::string> parts;
    size_t begin = 0;
    for (;;) {
        size_t comma = text.find(',', begin);
        parts.push_back(
            text.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin));
        if (comma == std::string::npos)
            return parts;
        begin = comma + 1;
    }
}

bool parse_int(const std::string &s, int32_t &out)
{
    if (s.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    long long v = std::strtoll(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < INT32_MIN || v > INT32_MAX)
        return false;
    out = static_cast<int32_t>(v);
    return true;
}

bool parse_number(const std::string &s, double &out)
{
    if (s.empty())
        return false;
    char *end = nullptr;
    out = std::strtod(s.c_str(), &end);
    return *end == '\0';
}

[[noreturn]] void bad(const std::string &text, const std::string &why)
{
    throw HostError("list text \"" + text + "\": " + why);
}

} // namespace

EnumList EnumList::parse(const std::string &text, bool audio)
{
    EnumList list;
    list.m_text = text;
    if (text.empty())
        return list;
    if (text == "{AUTO}") {
        list.m_kind = Kind::Auto;
        return list;
    }
    static const std::string range_prefix = "range:";
    if (text.compare(0, range_prefix.size(), range_prefix) == 0) {
        auto parts = split_commas(text.substr(range_prefix.size()));
        if (parts.size() != 2 || !parse_number(parts[0], list.m_range[0]) ||
            !parse_number(parts[1], list.m_range[1]))
            bad(text, "a range needs two numbers");
        list.m_kind = Kind::Range;
        return list;
    }
    auto parts = split_commas(text);
    if (audio) {
        if (parts.size() != 4)
            bad(text, "an audio range needs four numbers");
        for (size_t i = 0; i < 4; ++i)
            if (!parse_number(parts[i], list.m_range[i]))
                bad(text, "\"" + parts[i] + "\" is not a number");
        list.m_kind = Kind::AudioRange;
        return list;
    }
    int64_t next = 0;
    for (const std::string &part : parts) {
        if (part.empty())
            bad(text, "empty entry");
        Entry entry;
        size_t eq = part.rfind('=');
        if (eq != std::string::npos) {
            entry.label = part.substr(0, eq);
            if (!parse_int(part.substr(eq + 1), entry.value))
                bad(text, "entry \"" + part + "\" has no number after '='");
        } else {
            if (next > INT32_MAX)
                bad(text, "entry \"" + part + "\" overflows");
            entry.label = part;
            entry.value = static_cast<int32_t>(next);
        }
        next = int64_t(entry.value) + 1;
        list.m_entries.push_back(std::move(entry));
    }
    list.m_kind = Kind::Entries;
    return list;
}

std::optional<int32_t> EnumList::value_of(const std::string &label) const
{
    for (const Entry &e : m_entries)
        if (e.label == label)
            return e.value;
    return std::nullopt;
}

std::optional<std::string> EnumList::label_of(int32_t value) const
{
    for (const Entry &e : m_entries)
        if (e.value == value)
            return e.label;
    return std::nullopt;
}

} // namespace sehost
