// plugin_patch.cpp - a patch of one instance from command-line options.
#include "patch/plugin_patch.h"

#include "common/errors.h"
#include "common/numbers.h"
#include "patch/plugin_find.h"

namespace secli {

std::pair<std::string, std::string> pin_assignment(const std::string &text,
                                                   const std::string &where)
{
    size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0)
        throw InputError(where + ": \"" + text + "\" must read Pin=Value");
    return {text.substr(0, eq), text.substr(eq + 1)};
}

Patch plugin_patch(const PluginOptions &o)
{
    Patch p;
    p.origin = "render " + o.plugin;
    p.rate = static_cast<double>(read_whole(o.rate, kRateHz, "--rate"));
    p.block = static_cast<int>(read_whole(o.block, kBlockSize, "--block"));
    p.duration = parse_time(o.duration, "--duration");
    check_duration(p.duration, p.rate, "--duration");
    p.host_version =
        static_cast<int32_t>(read_whole(o.host_version, kHostVersion, "--host-version"));
    int repeat = static_cast<int>(read_whole(o.repeat, kRepeatCopies, "--repeat"));
    ModuleSpec m;
    m.plugin = o.plugin;
    m.name = plugin_stem(o.plugin);
    m.where = "PLUGIN " + o.plugin;
    m.repeat = repeat;
    for (const std::string &s : o.set) {
        auto [pin, value] = pin_assignment(s, "--set");
        m.set.push_back(Setting{pin, value, "--set \"" + s + "\""});
    }
    for (size_t i = 0; i + 1 < o.at.size(); i += 2) {
        std::string where = "--at " + o.at[i] + " \"" + o.at[i + 1] + "\"";
        auto [pin, value] = pin_assignment(o.at[i + 1], where);
        m.at.push_back(TimedSetting{parse_time(o.at[i], where), pin, value, where});
    }
    for (const std::string &t : o.patch_changes)
        m.patch_changes.emplace_back(parse_time(t, "--patch-change"), "--patch-change " + t);
    for (const std::string &t : o.midi)
        m.midi.push_back(parse_midi_entry(t, "--midi \"" + t + "\""));
    m.midi_where = "--midi";
    if (!o.midi_file.empty()) {
        m.midi_file = open_midi_file(o.midi_file, "--midi-file");
        m.midi_where = "--midi-file " + o.midi_file;
    }
    p.modules.push_back(m);
    return p;
}

} // namespace secli
