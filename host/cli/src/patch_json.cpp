// patch_json.cpp - patch files in JSON:
//
// {
//   "rate": 44100, "block": 1024, "duration": "4s", "host_version": 100238,
//   "split": {"seed": 7, "max": 64},
//   "sources": {"osc": "sine:2:5"},
//   "modules": [
//     {"name": "edge", "plugin": "edge_detect",
//      "set": {"Detect Mode": "LeadX", "Pulse Mode": "Sqr2"},
//      "at": [{"time": "1.5s", "set": {"Pulse Mode": "Sqr"}}],
//      "patch_changes": ["3s"], "midi": ["0.5s=on 1 60 100"], "midi_file": "x.mid",
//      "repeat": 2}
//   ],
//   "connections": [["osc", "edge.Audio In"], {"from": "edge.Pulse Out", "to": "count.Pulse/Osc In"}]
// }
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "errors.h"
#include "patch.h"

namespace secli {
namespace {

using json = nlohmann::ordered_json; // keeps the order of the file

void only_keys(const json &obj, const std::set<std::string> &allowed, const std::string &where) {
    for (auto it = obj.begin(); it != obj.end(); ++it)
        if (!allowed.count(it.key())) {
            std::vector<std::string> names(allowed.begin(), allowed.end());
            throw InputError(where + ": unknown field \"" + it.key() + "\"; fields are " + quoted_list(names));
        }
}

std::string text_of(const json &v, const std::string &where) {
    if (v.is_string())
        return v.get<std::string>();
    if (v.is_number() || v.is_boolean())
        return v.is_boolean() ? (v.get<bool>() ? "ON" : "OFF") : v.dump();
    throw InputError(where + ": expected a text or a number");
}

TimeSpec time_of(const json &v, const std::string &where) {
    return parse_time(text_of(v, where), where);
}

const json &object_at(const json &v, const std::string &where) {
    if (!v.is_object())
        throw InputError(where + ": expected an object");
    return v;
}

const json &array_at(const json &v, const std::string &where) {
    if (!v.is_array())
        throw InputError(where + ": expected a list");
    return v;
}

void read_settings(const json &v, const std::string &where, std::vector<Setting> &out) {
    for (auto it = object_at(v, where).begin(); it != v.end(); ++it) {
        std::string w = where + ".\"" + it.key() + "\"";
        out.push_back(Setting{it.key(), text_of(it.value(), w), w});
    }
}

ModuleSpec read_module(const json &m, const std::string &where, const std::string &origin_dir) {
    object_at(m, where);
    only_keys(m, {"name", "plugin", "set", "at", "patch_changes", "midi", "midi_file", "repeat"}, where);
    ModuleSpec definition;
    definition.where = where;
    if (!m.contains("name") || !m["name"].is_string())
        throw InputError(where + ": needs a \"name\"");
    if (!m.contains("plugin") || !m["plugin"].is_string())
        throw InputError(where + ": needs a \"plugin\"");
    definition.name = m["name"].get<std::string>();
    definition.plugin = m["plugin"].get<std::string>();
    if (definition.name.empty() || definition.name.find('.') != std::string::npos)
        throw InputError(where + ".name: \"" + definition.name + "\" must be non-empty and without '.'");
    if (m.contains("repeat")) {
        if (!m["repeat"].is_number_integer() || m["repeat"].get<int>() < 0 || m["repeat"].get<int>() > 64)
            throw InputError(where + ".repeat: expected a whole number from 0 to 64");
        definition.repeat = m["repeat"].get<int>();
    }
    if (m.contains("set"))
        read_settings(m["set"], where + ".set", definition.set);
    if (m.contains("at")) {
        const json &at = array_at(m["at"], where + ".at");
        for (size_t i = 0; i < at.size(); ++i) {
            std::string w = where + ".at[" + std::to_string(i) + "]";
            object_at(at[i], w);
            only_keys(at[i], {"time", "set"}, w);
            if (!at[i].contains("time") || !at[i].contains("set"))
                throw InputError(w + ": needs \"time\" and \"set\"");
            TimeSpec t = time_of(at[i]["time"], w + ".time");
            std::vector<Setting> s;
            read_settings(at[i]["set"], w + ".set", s);
            for (Setting &x : s)
                definition.at.push_back(TimedSetting{t, x.pin, x.value, x.where});
        }
    }
    if (m.contains("patch_changes")) {
        const json &pc = array_at(m["patch_changes"], where + ".patch_changes");
        for (size_t i = 0; i < pc.size(); ++i) {
            std::string w = where + ".patch_changes[" + std::to_string(i) + "]";
            definition.patch_changes.emplace_back(time_of(pc[i], w), w);
        }
    }
    if (m.contains("midi")) {
        const json &mi = array_at(m["midi"], where + ".midi");
        for (size_t i = 0; i < mi.size(); ++i) {
            std::string w = where + ".midi[" + std::to_string(i) + "]";
            definition.midi.push_back(parse_midi_entry(text_of(mi[i], w), w));
        }
        definition.midi_where = where + ".midi";
    }
    if (m.contains("midi_file")) {
        std::string file = text_of(m["midi_file"], where + ".midi_file");
        if (!file.empty() && file[0] != '/')
            file = origin_dir + file;
        auto list = read_midi_file(file, where + ".midi_file");
        definition.midi.insert(definition.midi.end(), list.begin(), list.end());
        definition.midi_where = where + ".midi_file";
    }
    return definition;
}

// Line and column of a byte offset, for parse errors.
std::string position(const std::string &text, size_t byte) {
    size_t line = 1, col = 1;
    for (size_t i = 0; i < byte && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++line;
            col = 1;
        } else {
            ++col;
        }
    }
    return "line " + std::to_string(line) + ", column " + std::to_string(col);
}

} // namespace

Patch parse_patch_text(const std::string &text, const std::string &origin) {
    json doc;
    try {
        doc = json::parse(text);
    } catch (const json::parse_error &e) {
        std::string what = e.what();
        size_t cut = what.find("syntax error");
        throw InputError(origin + ": " + position(text, e.byte > 0 ? e.byte - 1 : 0) + ": malformed JSON (" +
                         (cut != std::string::npos ? what.substr(cut) : what) + ")");
    }
    std::string dir;
    size_t slash = origin.rfind('/');
    if (slash != std::string::npos)
        dir = origin.substr(0, slash + 1);

    Patch p;
    p.origin = origin;
    object_at(doc, origin);
    only_keys(doc, {"rate", "block", "duration", "host_version", "split", "sources", "modules", "connections"},
              origin);
    if (doc.contains("rate")) {
        if (!doc["rate"].is_number())
            throw InputError(origin + ": rate: expected a number of Hz");
        p.rate = doc["rate"].get<double>();
    }
    check_rate(p.rate, origin + ": rate");
    if (doc.contains("block")) {
        if (!doc["block"].is_number_integer())
            throw InputError(origin + ": block: expected a whole number of samples");
        check_block(doc["block"].get<long long>(), origin + ": block");
        p.block = doc["block"].get<int>();
    }
    if (doc.contains("duration"))
        p.duration = time_of(doc["duration"], origin + ": duration");
    check_duration(p.duration, p.rate, origin + ": duration");
    if (doc.contains("host_version")) {
        if (!doc["host_version"].is_number_integer())
            throw InputError(origin + ": host_version: expected a whole number");
        p.host_version = doc["host_version"].get<int32_t>();
    }
    if (doc.contains("split")) {
        const json &s = object_at(doc["split"], origin + ": split");
        only_keys(s, {"seed", "max"}, origin + ": split");
        p.split_seed = s.value("seed", 1u);
        p.split_max = s.value("max", 64);
        if (p.split_max <= 0)
            throw InputError(origin + ": split.max: must be positive");
    }
    if (doc.contains("sources")) {
        const json &s = object_at(doc["sources"], origin + ": sources");
        for (auto it = s.begin(); it != s.end(); ++it) {
            std::string w = origin + ": sources.\"" + it.key() + "\"";
            p.sources.push_back(SourceSpec{it.key(), text_of(it.value(), w), w});
        }
    }
    if (!doc.contains("modules"))
        throw InputError(origin + ": needs \"modules\"");
    const json &mods = array_at(doc["modules"], origin + ": modules");
    for (size_t i = 0; i < mods.size(); ++i)
        p.modules.push_back(read_module(mods[i], origin + ": modules[" + std::to_string(i) + "]", dir));
    if (doc.contains("connections")) {
        const json &c = array_at(doc["connections"], origin + ": connections");
        for (size_t i = 0; i < c.size(); ++i) {
            std::string w = origin + ": connections[" + std::to_string(i) + "]";
            if (c[i].is_array() && c[i].size() == 2 && c[i][0].is_string() && c[i][1].is_string())
                p.wires.push_back(Wire{c[i][0].get<std::string>(), c[i][1].get<std::string>(), w});
            else if (c[i].is_object() && c[i].contains("from") && c[i].contains("to") && c[i]["from"].is_string() &&
                     c[i]["to"].is_string())
                p.wires.push_back(Wire{c[i]["from"].get<std::string>(), c[i]["to"].get<std::string>(), w});
            else
                throw InputError(w + ": expected [\"from\", \"to\"] or {\"from\": ..., \"to\": ...}");
        }
    }
    return p;
}

Patch read_patch_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw InputError(path + ": cannot read the patch file");
    std::ostringstream s;
    s << in.rdbuf();
    return parse_patch_text(s.str(), path);
}

} // namespace secli
