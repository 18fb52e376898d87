// traits.cpp - reading a module's traits file.
#include "traits.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

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

Traits load_traits(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        bad(path, "cannot be read");
    std::stringstream text;
    text << f.rdbuf();
    json j;
    try {
        j = json::parse(text.str());
    } catch (const json::parse_error &e) {
        bad(path, std::string("not JSON: ") + e.what());
    }
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

} // namespace sevalidate
