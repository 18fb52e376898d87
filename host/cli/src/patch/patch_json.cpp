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
//
// Every field is read through one typed reader (Fields) with the limits of
// the matching command-line option; its errors name the file and the field
// ("patch.json: modules[0].repeat: ..."). A key given twice in one object is
// an error rather than the last one silently winning.
#include <cctype>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <unordered_set>
#include <utility>

#include "common/errors.h"
#include "common/input_file.h"
#include "common/numbers.h"
#include "common/safe_names.h"
#include "patch/patch.h"
#include "sources/sources.h"

namespace secli {
namespace {

using json = nlohmann::ordered_json; // keeps the order of the file

// Scalars that stand for a text a user would type: a string as it is, a
// number as JSON writes it, a bool as ON/OFF.
std::string text_of(const json &v, const std::string &where)
{
    if (v.is_string())
        return v.get<std::string>();
    if (v.is_boolean())
        return v.get<bool>() ? "ON" : "OFF";
    if (v.is_number())
        return v.dump();
    throw InputError(where + ": expected a text or a number");
}

// The fields of one JSON object, each read as its type and checked.
class Fields
{
public:
    Fields(const json &obj, std::string file, std::string path,
           const std::set<std::string> &allowed)
        : m_obj(obj), m_file(std::move(file)), m_path(std::move(path))
    {
        if (!obj.is_object())
            throw InputError(here() + ": expected an object");
        for (auto it = obj.begin(); it != obj.end(); ++it)
            if (!allowed.count(it.key())) {
                std::vector<std::string> names(allowed.begin(), allowed.end());
                throw InputError(here() + ": unknown field \"" + it.key() + "\"; fields are " +
                                 quoted_list(names));
            }
    }

    bool has(const std::string &key) const { return m_obj.contains(key); }
    const json &raw(const std::string &key) const { return m_obj[key]; }
    // "modules[0].repeat": the path of a field, for messages and nested readers.
    std::string path(const std::string &key) const
    {
        return m_path.empty() ? key : m_path + "." + key;
    }
    std::string where(const std::string &key) const { return m_file + ": " + path(key); }

    std::string text(const std::string &key) const
    {
        if (!raw(key).is_string())
            throw InputError(where(key) + ": expected a text");
        return raw(key).get<std::string>();
    }
    std::string text_or_number(const std::string &key) const
    {
        return text_of(raw(key), where(key));
    }
    TimeSpec time(const std::string &key) const
    {
        return parse_time(text_or_number(key), where(key));
    }

    // A JSON number that is whole and within `w`, checked before conversion
    // (a large unsigned number must not wrap, a huge float is no integer).
    long long whole(const std::string &key, const Whole &w) const
    {
        const json &v = raw(key);
        if (v.is_number_unsigned()) {
            uint64_t u = v.get<uint64_t>();
            if (u > static_cast<uint64_t>(w.hi) || static_cast<long long>(u) < w.lo)
                throw InputError(where(key) + ": " + outside(std::to_string(u), w));
            return static_cast<long long>(u);
        }
        if (v.is_number_integer()) {
            int64_t i = v.get<int64_t>();
            if (i < w.lo || i > w.hi)
                throw InputError(where(key) + ": " + outside(std::to_string(i), w));
            return i;
        }
        if (v.is_number_float())
            return whole_from(v.get<double>(), w, where(key));
        throw InputError(where(key) + ": expected a whole number (" + w.what + ")");
    }

    const json &list(const std::string &key) const
    {
        if (!raw(key).is_array())
            throw InputError(where(key) + ": expected a list");
        return raw(key);
    }

private:
    std::string here() const { return m_path.empty() ? m_file : m_file + ": " + m_path; }

    const json &m_obj;
    std::string m_file, m_path;
};

std::string item(const std::string &path, size_t i)
{
    return path + "[" + std::to_string(i) + "]";
}

// A WAV file named in a patch is found beside the patch, as its MIDI files
// are; other texts are left as they are.
std::string beside_patch(const std::string &text, const std::string &dir)
{
    bool wav = looks_like_source(text) && text.find(':') == std::string::npos;
    return wav && !dir.empty() && text[0] != '/' ? dir + text : text;
}

// {"Pin": value, ...}: pin names are free, so no field list applies.
void read_settings(const json &v, const std::string &file, const std::string &path,
                   const std::string &dir, std::vector<Setting> &out)
{
    if (!v.is_object())
        throw InputError(file + ": " + path + ": expected an object of \"Pin\": value");
    for (auto it = v.begin(); it != v.end(); ++it) {
        std::string w = file + ": " + path + ".\"" + it.key() + "\"";
        out.push_back(Setting{it.key(), beside_patch(text_of(it.value(), w), dir), w});
    }
}

ModuleSpec read_module(const json &m, const std::string &file, const std::string &path,
                       const std::string &origin_dir)
{
    Fields f(m, file, path,
             {"name", "plugin", "set", "at", "patch_changes", "midi", "midi_file", "repeat"});
    ModuleSpec definition;
    definition.where = file + ": " + path;
    if (!f.has("name") || !f.raw("name").is_string())
        throw InputError(definition.where + ": needs a \"name\"");
    if (!f.has("plugin") || !f.raw("plugin").is_string())
        throw InputError(definition.where + ": needs a \"plugin\"");
    definition.name = f.text("name");
    definition.plugin = f.text("plugin");
    if (definition.name.empty() || definition.name.find('.') != std::string::npos)
        throw InputError(f.where("name") + ": \"" + definition.name +
                         "\" must be non-empty and without '.'");
    if (f.has("repeat"))
        definition.repeat = static_cast<int>(f.whole("repeat", kRepeatCopies));
    if (f.has("set"))
        read_settings(f.raw("set"), file, f.path("set"), origin_dir, definition.set);
    if (f.has("at")) {
        const json &at = f.list("at");
        for (size_t i = 0; i < at.size(); ++i) {
            Fields change(at[i], file, item(f.path("at"), i), {"time", "set"});
            if (!change.has("time") || !change.has("set"))
                throw InputError(file + ": " + item(f.path("at"), i) +
                                 ": needs \"time\" and \"set\"");
            TimeSpec t = change.time("time");
            std::vector<Setting> s;
            read_settings(change.raw("set"), file, change.path("set"), "", s);
            for (Setting &x : s)
                definition.at.push_back(TimedSetting{t, x.pin, x.value, x.where});
        }
    }
    if (f.has("patch_changes")) {
        const json &pc = f.list("patch_changes");
        for (size_t i = 0; i < pc.size(); ++i) {
            std::string w = file + ": " + item(f.path("patch_changes"), i);
            definition.patch_changes.emplace_back(parse_time(text_of(pc[i], w), w), w);
        }
    }
    if (f.has("midi")) {
        const json &mi = f.list("midi");
        for (size_t i = 0; i < mi.size(); ++i) {
            std::string w = file + ": " + item(f.path("midi"), i);
            definition.midi.push_back(parse_midi_entry(text_of(mi[i], w), w));
        }
        definition.midi_where = f.where("midi");
    }
    if (f.has("midi_file")) {
        std::string midi_file = f.text("midi_file");
        if (!midi_file.empty() && midi_file[0] != '/')
            midi_file = origin_dir + midi_file;
        definition.midi_file = open_midi_file(midi_file, f.where("midi_file"));
        definition.midi_where = f.where("midi_file");
    }
    return definition;
}

// Every source is checked as it is read, wired or not. A live input port
// ("jack:...") is the live engine's to check.
void check_sources(const Patch &p)
{
    const uint64_t total = p.duration.clock(p.rate);
    for (const SourceSpec &s : p.sources)
        if (s.definition.rfind("jack:", 0) != 0)
            make_source(s.definition, p.rate, total, s.where);
}

// Line and column of a byte offset, for parse errors.
std::string position(const std::string &text, size_t byte)
{
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

// Builds the document from the parser's events, in time proportional to
// its size: members are appended to their object in the file's order (the
// ordered object's own insert searches the object for the key, which makes
// a large object quadratic), a key given twice is found through a set of
// the object's keys, and a fault is reported with the field it is in
// ("modules[1].set.Mode").
class DocumentBuilder : public nlohmann::json_sax<json>
{
public:
    explicit DocumentBuilder(json &root) : m_root(root) {}

    bool null() override { return value(nullptr); }
    bool boolean(bool v) override { return value(v); }
    bool number_integer(number_integer_t v) override { return value(v); }
    bool number_unsigned(number_unsigned_t v) override { return value(v); }
    bool number_float(number_float_t v, const string_t &) override { return value(v); }
    bool string(string_t &v) override { return value(std::move(v)); }
    bool binary(binary_t &v) override { return value(json::binary(std::move(v))); }
    bool start_object(std::size_t) override { return open(json::object()); }
    bool start_array(std::size_t) override { return open(json::array()); }
    bool end_object() override { return close(); }
    bool end_array() override { return close(); }

    bool key(string_t &k) override
    {
        Frame &top = m_frames.back();
        if (!top.keys.insert(k).second) {
            const std::string in = path(false);
            m_fault = (in.empty() ? "" : in + ": ") + "the field \"" + k + "\" is given twice";
            return false;
        }
        top.key = k;
        using Members = json::object_t::Container;
        Members &members = static_cast<Members &>(top.node->get_ref<json::object_t &>());
        members.emplace_back(std::move(k), nullptr);
        m_slot = &members.back().second;
        return true;
    }

    bool parse_error(std::size_t position, const std::string &,
                     const nlohmann::detail::exception &e) override
    {
        m_error_byte = position;
        m_error_is_syntax = dynamic_cast<const nlohmann::detail::parse_error *>(&e) != nullptr;
        std::string what = e.what();
        if (m_error_is_syntax) {
            size_t cut = what.find("syntax error");
            m_fault = cut != std::string::npos ? what.substr(cut) : what;
        } else {
            // A number beyond a double's range ("number overflow parsing
            // '1e400'"), named with its field.
            size_t cut = what.find("] ");
            const std::string field = path(true);
            m_fault = (field.empty() ? "" : field + ": ") +
                      (cut != std::string::npos ? what.substr(cut + 2) : what);
        }
        return false;
    }

    // Why the parse stopped; a syntax error also has its byte.
    const std::string &fault() const { return m_fault; }
    bool syntax_error() const { return m_error_is_syntax; }
    size_t error_byte() const { return m_error_byte; }

private:
    // Deeper than any patch needs, shallow enough that nothing here or in
    // the library recurses far.
    static constexpr size_t kMaxDepth = 64;

    struct Frame {
        json *node;
        std::string key;                      // objects: the member being read
        std::unordered_set<std::string> keys; // objects: every key so far
    };

    // Where the next value goes: the root, the member whose key was read,
    // or a new element of an array.
    json *slot()
    {
        if (m_frames.empty())
            return &m_root;
        json *node = m_frames.back().node;
        if (node->is_array()) {
            node->get_ref<json::array_t &>().emplace_back();
            return &node->back();
        }
        return std::exchange(m_slot, nullptr);
    }
    bool value(json v)
    {
        *slot() = std::move(v);
        return true;
    }
    bool open(json container)
    {
        if (m_frames.size() == kMaxDepth) {
            m_fault = path(true) + ": nested deeper than " + std::to_string(kMaxDepth) + " levels";
            return false;
        }
        json *node = slot();
        *node = std::move(container);
        m_frames.push_back(Frame{node, {}, {}});
        return true;
    }
    bool close()
    {
        m_frames.pop_back();
        return true;
    }

    // "modules[1].set.Mode": the field being read; without the innermost
    // key when `last` is false. In the innermost array the element being
    // read is the one after those complete; further out, its last.
    std::string path(bool last) const
    {
        std::string p;
        for (size_t i = 0; i < m_frames.size(); ++i) {
            const Frame &f = m_frames[i];
            const bool innermost = i + 1 == m_frames.size();
            if (f.node->is_array())
                p += "[" + std::to_string(f.node->size() - (innermost ? 0 : 1)) + "]";
            else if ((last || i + 1 < m_frames.size()) && !f.key.empty())
                p += (p.empty() ? "" : ".") + f.key;
        }
        return p;
    }

    json &m_root;
    json *m_slot = nullptr;
    std::vector<Frame> m_frames;
    std::string m_fault;
    size_t m_error_byte = 0;
    bool m_error_is_syntax = false;
};

json parse_document(const std::string &text, const std::string &origin)
{
    json doc;
    DocumentBuilder builder(doc);
    if (!json::sax_parse(text, &builder)) {
        if (builder.syntax_error())
            throw InputError(
                origin + ": " +
                position(text, builder.error_byte() > 0 ? builder.error_byte() - 1 : 0) +
                ": malformed JSON (" + builder.fault() + ")");
        throw InputError(origin + ": " + builder.fault());
    }
    return doc;
}

} // namespace

Patch parse_patch_text(const std::string &text, const std::string &origin)
{
    json doc = parse_document(text, origin);
    std::string dir;
    size_t slash = origin.rfind('/');
    if (slash != std::string::npos)
        dir = origin.substr(0, slash + 1);

    Patch p;
    p.origin = origin;
    Fields f(doc, origin, "",
             {"rate", "block", "duration", "host_version", "split", "sources", "modules",
              "connections"});
    if (f.has("rate"))
        p.rate = static_cast<double>(f.whole("rate", kRateHz));
    if (f.has("block"))
        p.block = static_cast<int>(f.whole("block", kBlockSize));
    if (f.has("duration"))
        p.duration = f.time("duration");
    check_duration(p.duration, p.rate, f.where("duration"));
    if (f.has("host_version"))
        p.host_version = static_cast<int32_t>(f.whole("host_version", kHostVersion));
    if (f.has("split")) {
        Fields s(f.raw("split"), origin, "split", {"seed", "max"});
        p.split_seed = s.has("seed") ? static_cast<uint32_t>(s.whole("seed", kSplitSeed)) : 1u;
        if (s.has("max"))
            p.split_max = static_cast<int>(s.whole("max", kSplitMax));
    }
    if (f.has("sources")) {
        const json &s = f.raw("sources");
        if (!s.is_object())
            throw InputError(f.where("sources") + ": expected an object of \"name\": \"source\"");
        for (auto it = s.begin(); it != s.end(); ++it) {
            std::string w = origin + ": sources.\"" + it.key() + "\"";
            p.sources.push_back(SourceSpec{it.key(), beside_patch(text_of(it.value(), w), dir), w});
        }
    }
    if (!f.has("modules"))
        throw InputError(origin + ": needs \"modules\"");
    const json &mods = f.list("modules");
    if (mods.size() > kMaxInstances)
        throw InputError(f.where("modules") + ": " + std::to_string(mods.size()) +
                         " instances; a patch holds at most " + std::to_string(kMaxInstances));
    for (size_t i = 0; i < mods.size(); ++i)
        p.modules.push_back(read_module(mods[i], origin, item("modules", i), dir));
    check_sources(p);
    if (f.has("connections")) {
        const json &c = f.list("connections");
        for (size_t i = 0; i < c.size(); ++i) {
            std::string w = origin + ": " + item("connections", i);
            if (c[i].is_array() && c[i].size() == 2 && c[i][0].is_string() && c[i][1].is_string()) {
                p.wires.push_back(Wire{c[i][0].get<std::string>(), c[i][1].get<std::string>(), w});
            } else if (c[i].is_object()) {
                Fields wire(c[i], origin, item("connections", i), {"from", "to"});
                if (!wire.has("from") || !wire.has("to"))
                    throw InputError(
                        w + ": expected [\"from\", \"to\"] or {\"from\": ..., \"to\": ...}");
                p.wires.push_back(Wire{wire.text("from"), wire.text("to"), w});
            } else {
                throw InputError(w +
                                 ": expected [\"from\", \"to\"] or {\"from\": ..., \"to\": ...}");
            }
        }
    }
    return p;
}

Patch read_patch_file(const std::string &path)
{
    InputFile file(path, path + ": cannot read the patch file");
    return parse_patch_text(file.read_all(kMaxPatchBytes), path);
}

} // namespace secli
