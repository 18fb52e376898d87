// safe_names.cpp - checking and making output file names.
#include "common/safe_names.h"

#include "common/errors.h"

namespace secli {

namespace {

bool name_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '+';
}

// CON, PRN, AUX, NUL, COM0-9, LPT0-9 in any case, with or without an
// extension, name devices on Windows rather than files.
bool is_device_name(const std::string &name)
{
    std::string first = name.substr(0, name.find('.'));
    for (char &c : first)
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    if (first == "CON" || first == "PRN" || first == "AUX" || first == "NUL")
        return true;
    return first.size() == 4 &&
           (first.compare(0, 3, "COM") == 0 || first.compare(0, 3, "LPT") == 0) &&
           first[3] >= '0' && first[3] <= '9';
}

} // namespace

bool is_safe_file_name(const std::string &name)
{
    if (name.empty() || name.size() > 200 || name[0] == '.' || name.find("..") != std::string::npos)
        return false;
    for (char c : name)
        if (!name_char(c) && c != '.')
            return false;
    return !is_device_name(name);
}

void check_instance_name(const std::string &name, const std::string &where)
{
    bool ok = !name.empty() && name.size() <= 64 && !is_device_name(name);
    for (char c : name)
        ok = ok && name_char(c);
    if (!ok)
        throw InputError(
            where + ": instance name \"" + name +
            "\" must be 1 to 64 letters, digits, '_', '-' or '+' (it names output files), and no "
            "device name such as CON or NUL");
}

std::string file_stem(const std::string &instance, const std::string &pin)
{
    std::string p;
    for (char c : pin) {
        if (p.size() >= 64)
            break;
        if (name_char(c) && c != '_')
            p += c;
        else if (p.empty() || p.back() != '_')
            p += '_';
    }
    while (!p.empty() && p.back() == '_')
        p.pop_back();
    return instance + "." + (p.empty() ? "pin" : p);
}

bool is_temporary_name(const std::string &name)
{
    std::string rest;
    for (const char *tail : {".part", ".old", ".wav"}) {
        std::string t = tail;
        if (name.size() > t.size() && name.compare(name.size() - t.size(), t.size(), t) == 0) {
            rest = name.substr(0, name.size() - t.size());
            if (t == ".wav" && rest.rfind(".sehost-", 0) != 0)
                return false;
            break;
        }
    }
    // "." NAME "." XXXXXX
    if (rest.size() < 9 || rest[0] != '.' || rest[rest.size() - 7] != '.')
        return false;
    for (size_t i = rest.size() - 6; i < rest.size(); ++i)
        if (!((rest[i] >= 'a' && rest[i] <= 'z') || (rest[i] >= 'A' && rest[i] <= 'Z') ||
              (rest[i] >= '0' && rest[i] <= '9')))
            return false;
    return is_safe_file_name(rest.substr(1, rest.size() - 8));
}

} // namespace secli
