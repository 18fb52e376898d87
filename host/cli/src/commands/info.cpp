// info.cpp - describing a plug-in: properties, pins, decoded lists.
#include "commands/info.h"

#include <sstream>

#include "common/errors.h"
#include "common/text.h"
#include "common/version.h"
#include "sehost/sehost.h"

namespace secli {
namespace {

using json = nlohmann::json;

std::string direction_name(int32_t d)
{
    return d == DR_IN ? "in" : d == DR_OUT ? "out" : d == DR_SETTING ? "setting" : "?";
}

std::string type_word(int32_t t)
{
    switch (t) {
    case DT_CHOICE:
        return "choice";
    case DT_MIDI:
        return "MIDI";
    case DT_BOOLEAN:
        return "bool";
    case DT_FSAMPLE:
        return "audio";
    case DT_FLOAT32:
        return "float";
    default:
        return "type " + std::to_string(t);
    }
}

json flag_words(int32_t f)
{
    json words = json::array();
    if (f & IO_REPEAT_LAST)
        words.push_back("repeated (IO_REPEAT_LAST)");
    if (f & IO_PRIVATE)
        words.push_back("private");
    if (f & IO_UI_COMMUNICATION)
        words.push_back("GUI side");
    if (f & IO_BOTH_SIDES)
        words.push_back("both sides");
    if (f & IO_PATCH_STORE)
        words.push_back("stored with the patch");
    if (f & 0x4)
        words.push_back("auto list (0x4)");
    if (f & 0x200)
        words.push_back("audio hint (0x200)");
    int32_t known = IO_REPEAT_LAST | IO_PRIVATE | IO_UI_COMMUNICATION | IO_BOTH_SIDES |
                    IO_PATCH_STORE | 0x4 | 0x200;
    if (f & ~known)
        words.push_back("other bits " + std::to_string(f & ~known));
    return words;
}

} // namespace

json plugin_info(const std::string &path)
{
    json info;
    try {
        auto lib = sehost::Library::load(path);
        sehost::ModuleInfo p = lib->properties();
        info["file"] = path;
        info["name"] = p.name;
        info["identifier"] = p.identifier;
        info["about"] = p.about;
        info["sdk_revision"] = p.sdk_revision;
        info["flags"] = p.flags;
        std::vector<sehost::PinDecl> pins = sehost::learn_pins(lib);
        info["pins"] = json::array();
        for (const sehost::PinDecl &d : pins) {
            json pin{{"number", d.number},
                     {"name", d.name},
                     {"direction", direction_name(d.direction)},
                     {"type", type_word(d.datatype)},
                     {"dsp_index", d.dsp_index},
                     {"flags", d.flags},
                     {"flag_words", flag_words(d.flags)}};
            if (d.default_value)
                pin["default"] = *d.default_value;
            if (d.list_text) {
                pin["list_text"] = *d.list_text;
                sehost::EnumList l = d.list();
                if (l.kind() == sehost::EnumList::Kind::Entries) {
                    json entries = json::array();
                    for (const auto &e : l.entries())
                        entries.push_back(json{{"label", e.label}, {"value", e.value}});
                    pin["entries"] = entries;
                } else if (l.kind() == sehost::EnumList::Kind::Range) {
                    pin["range"] = {l.range_min(), l.range_max()};
                } else if (l.kind() == sehost::EnumList::Kind::AudioRange) {
                    pin["audio_range"] = l.numbers();
                } else if (l.kind() == sehost::EnumList::Kind::Auto) {
                    pin["auto_list"] = true;
                }
            }
            info["pins"].push_back(pin);
        }
    } catch (const sehost::HostError &e) {
        throw InputError(e.what());
    }
    return info;
}

std::string info_document(const json &plugins)
{
    json doc{{"sehost_version", sehost_version()}, {"plugins", plugins}};
    return doc.dump(2, ' ', false, json::error_handler_t::replace);
}

std::string info_text(const json &info)
{
    // A plug-in's texts on the terminal: valid UTF-8 without control bytes.
    const auto text = [](const json &v) { return terminal_text(v.get<std::string>()); };
    std::ostringstream o;
    o << text(info["file"]) << "\n"
      << "  name        " << text(info["name"]) << "\n"
      << "  identifier  " << text(info["identifier"]) << "\n"
      << "  SDK         " << info["sdk_revision"].get<int>() << "\n"
      << "  flags       " << info["flags"].get<int>() << "\n"
      << "  about       ";
    for (char c : terminal_text(info["about"].get<std::string>(), true)) {
        o << c;
        if (c == '\n')
            o << "              ";
    }
    o << "\n  pins (#declaration, DSP index)\n";
    for (const json &p : info["pins"]) {
        o << "    #" << p["number"].get<int>() << "  " << text(p["name"]) << "\n      "
          << p["direction"].get<std::string>() << ", " << p["type"].get<std::string>() << ", ";
        int dsp = p["dsp_index"].get<int>();
        o << (dsp >= 0 ? "DSP pin " + std::to_string(dsp) : std::string("GUI only"));
        if (p.contains("default"))
            o << ", default \"" << text(p["default"]) << "\"";
        for (const json &w : p["flag_words"])
            o << ", " << w.get<std::string>();
        o << "\n";
        if (p.contains("entries")) {
            o << "      list: ";
            size_t i = 0, n = p["entries"].size();
            for (const json &e : p["entries"]) {
                if (n > 24 && i == 12) {
                    o << "..., ";
                }
                if (n <= 24 || i < 12 || i >= n - 4)
                    o << text(e["label"]) << "=" << e["value"].get<int>()
                      << (i + 1 < n ? ", " : "");
                ++i;
            }
            o << "\n";
        } else if (p.contains("range")) {
            o << "      range " << p["range"][0] << " to " << p["range"][1] << "\n";
        } else if (p.contains("audio_range")) {
            o << "      audio range " << text(p["list_text"]) << "\n";
        } else if (p.contains("auto_list")) {
            o << "      list grown by the host ({AUTO})\n";
        }
    }
    return o.str();
}

} // namespace secli
