// traits.cpp - reading a module's traits file.
#include "traits.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>

#include <nlohmann/json.hpp>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace sevalidate {
namespace {

using json = nlohmann::json;

[[noreturn]] void bad(const std::string &path, const std::string &why)
{
    throw std::runtime_error("traits file " + path + ": " + why);
}

std::string text_of(const json &j, const std::string &path, const char *key)
{
    if (!j.is_string())
        bad(path, std::string("\"") + key + "\" must be a text");
    return j.get<std::string>();
}

std::vector<std::string> names_of(const json &j, const std::string &path, const char *key)
{
    if (!j.is_array())
        bad(path, std::string("\"") + key + "\" must be a list of pin names");
    std::vector<std::string> out;
    for (const json &e : j)
        out.push_back(text_of(e, path, key));
    return out;
}

Drive drive_of(const std::string &word, const std::string &path, const std::string &pin)
{
    static const struct {
        const char *word;
        Drive drive;
    } kWords[] = {
        {"any", Drive::Any},       {"constant", Drive::Constant},       {"zero", Drive::Zero},
        {"moving", Drive::Moving}, {"low_at_start", Drive::LowAtStart},
    };
    for (const auto &w : kWords)
        if (word == w.word)
            return w.drive;
    bad(path, "\"split_inputs\" of \"" + pin + "\": \"" + word +
                  "\" is not one of any, constant, zero, moving, low_at_start");
}

} // namespace

const InputRule *Traits::rule_for(const std::string &pin) const
{
    for (const InputRule &r : split_inputs)
        if (r.pin == pin)
            return &r;
    return nullptr;
}

bool Traits::needs_finite(const std::string &pin) const
{
    return !finite_needs ||
           std::find(finite_needs->begin(), finite_needs->end(), pin) != finite_needs->end();
}

bool Traits::writes_whole_stretch(const std::string &pin) const
{
    return std::find(partial_outputs.begin(), partial_outputs.end(), pin) == partial_outputs.end();
}

std::string Traits::origin() const
{
    return source.empty() ? "no traits file" : "traits file " + source;
}

namespace {

// The whole text of a traits file: a regular file of at most kMaxTraitsBytes.
// Anything else (a folder, a FIFO, a device) is refused before a byte is
// read, so that nothing waits for a writer or reads without end.
std::string read_text(const std::string &path)
{
    std::error_code ec;
    const auto st = std::filesystem::status(path, ec);
    if (!std::filesystem::exists(st))
        bad(path, "cannot be read (no such file)");
    if (!std::filesystem::is_regular_file(st))
        bad(path, "not a regular file (a folder, FIFO or device is no traits file)");
    std::string text(kMaxTraitsBytes + 1, '\0');
    size_t got = 0;
#if defined(_WIN32)
    std::ifstream f(path, std::ios::binary);
    if (!f)
        bad(path, "cannot be read");
    f.read(&text[0], static_cast<std::streamsize>(text.size()));
    got = static_cast<size_t>(f.gcount());
#else
    // Opened without waiting, and looked at again once open: what the name
    // leads to may have changed since.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat opened {};
    if (fd < 0 || fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        if (fd >= 0)
            close(fd);
        bad(path, "cannot be read as a regular file");
    }
    for (ssize_t n; got < text.size() && (n = read(fd, &text[got], text.size() - got)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            close(fd);
            bad(path, "cannot be read");
        }
        got += static_cast<size_t>(n);
    }
    close(fd);
#endif
    if (got > kMaxTraitsBytes)
        bad(path,
            "larger than " + std::to_string(kMaxTraitsBytes / 1024) + " KiB: no traits file is");
    text.resize(got);
    return text;
}

// Parses the text; a key given twice in one object is an error, as is a
// number out of range, each named with the key it belongs to.
json parse_text(const std::string &path, const std::string &text)
{
    std::vector<std::set<std::string>> keys; // of each open object
    std::vector<std::string> under;          // the key each open object is the value of
    std::string last_key;
    auto where = [&] {
        return under.empty() || under.back().empty() ? std::string()
                                                     : " in \"" + under.back() + "\"";
    };
    auto check = [&](int, json::parse_event_t event, json &parsed) {
        switch (event) {
        case json::parse_event_t::object_start:
            under.push_back(keys.empty() ? std::string() : last_key);
            keys.emplace_back();
            break;
        case json::parse_event_t::object_end:
            keys.pop_back();
            under.pop_back();
            break;
        case json::parse_event_t::key:
            last_key = parsed.get<std::string>();
            if (!keys.back().insert(last_key).second)
                bad(path, "\"" + last_key + "\"" + where() + " is given twice");
            break;
        default:
            break;
        }
        return true;
    };
    try {
        return json::parse(text, check);
    } catch (const json::exception &e) {
        bad(path, "not JSON" +
                      (last_key.empty() ? std::string() : " (after \"" + last_key + "\")") + ": " +
                      e.what());
    }
}

} // namespace

Traits load_traits(const std::string &path)
{
    const json j = parse_text(path, read_text(path));
    if (!j.is_object())
        bad(path, "must hold one JSON object");
    Traits t;
    t.source = path;
    for (auto it = j.begin(); it != j.end(); ++it) {
        const std::string &key = it.key();
        const json &v = it.value();
        if (key == "identifier") {
            t.identifier = text_of(v, path, "identifier");
        } else if (key == "split") {
            const std::string s = text_of(v, path, "split");
            if (s == "invariant")
                t.split = SplitKind::Invariant;
            else if (s == "levels")
                t.split = SplitKind::Levels;
            else if (s == "dependent")
                t.split = SplitKind::Dependent;
            else
                bad(path, "\"split\": \"" + s + "\" is not one of invariant, levels, dependent");
        } else if (key == "split_reason") {
            t.split_reason = text_of(v, path, "split_reason");
        } else if (key == "split_inputs") {
            if (!v.is_object())
                bad(path, "\"split_inputs\" must map pin names to drives");
            for (auto r = v.begin(); r != v.end(); ++r)
                t.split_inputs.push_back(
                    {r.key(), drive_of(text_of(r.value(), path, "split_inputs"), path, r.key())});
        } else if (key == "finite_needs") {
            t.finite_needs = names_of(v, path, "finite_needs");
        } else if (key == "partial_outputs") {
            t.partial_outputs = names_of(v, path, "partial_outputs");
        } else {
            bad(path, "unknown key \"" + key + "\"");
        }
    }
    if (t.identifier.empty())
        bad(path, "\"identifier\" is missing: name the module the file describes");
    return t;
}

std::string unused_traits_file(const std::vector<std::string> &files,
                               const std::vector<std::optional<std::string>> &identifiers)
{
    for (const auto &id : identifiers)
        if (!id)
            return ""; // a plug-in that cannot tell: any file may be its
    for (const std::string &f : files) {
        const std::string id = load_traits(f).identifier;
        if (std::none_of(identifiers.begin(), identifiers.end(),
                         [&](const std::optional<std::string> &x) { return *x == id; }))
            return "traits file " + f + ": \"identifier\": \"" + id +
                   "\" is no given plug-in's identifier, so the file would apply to nothing";
    }
    return "";
}

} // namespace sevalidate
