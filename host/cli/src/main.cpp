// main.cpp - the sehost command line: info, render, run, demo, validate.
#include <CLI/CLI.hpp>
#include <iostream>

#include "errors.h"
#include "info.h"
#include "patch.h"
#include "plugin_find.h"
#include "sehost/host_error.h"
#include "session.h"
#include "sevalidate/validate.h"

using namespace secli;


namespace {

struct RunFlags {
    std::string out;
    bool force = false;
    bool no_progress = false;
    std::optional<uint32_t> split_seed;
    int split_max = 64;
};

void add_run_flags(CLI::App *cmd, RunFlags &f, const std::string &default_out) {
    f.out = default_out;
    cmd->add_option("--out,-o", f.out, "output folder (created)")->capture_default_str();
    cmd->add_flag("--force,-f", f.force, "overwrite existing files");
    cmd->add_option("--split-seed", f.split_seed,
                    "split every block into random stretches with this seed (default: whole blocks)");
    cmd->add_option("--split-max", f.split_max, "longest random stretch in samples")->capture_default_str();
    cmd->add_flag("--no-progress", f.no_progress, "no progress bar");
}

void apply_run_flags(Patch &p, const RunFlags &f, SessionOptions &s) {
    if (f.split_seed)
        p.split_seed = f.split_seed;
    if (f.split_max <= 0)
        throw InputError("--split-max: must be positive");
    p.split_max = f.split_max;
    s.out = f.out;
    s.force = f.force;
    s.progress = !f.no_progress;
}

std::pair<std::string, std::string> pin_assignment(const std::string &text, const std::string &where) {
    size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0)
        throw InputError(where + ": \"" + text + "\" must read Pin=Value");
    return {text.substr(0, eq), text.substr(eq + 1)};
}

// sehost validate PLUGIN... [validator options]: the validator's own command
// line, with bare plug-in names looked up like every other command's.  The
// validator re-runs this executable as `sehost validate --single-check ...`
// for each check.
int run_validate(int first, int argc, char **argv) {
    static const char *const kTakesValue[] = {"--seed",         "--include",     "--exclude", "--json",  "--timeout",
                                              "--single-check", "--result-file", "--traits",  "--level", "-j",
                                              "--jobs"};
    std::vector<std::string> args;
    bool value_next = false;
    for (int i = first; i < argc; ++i) {
        std::string a = argv[i];
        const bool is_value = value_next;
        value_next = false;
        if (!is_value && !a.empty() && a[0] == '-') {
            for (const char *opt : kTakesValue)
                value_next = value_next || a == opt;
        } else if (!is_value) {
            a = find_plugin(a, "validate");
        }
        args.push_back(a);
    }
    return sevalidate::run_validation(args, std::cout, std::cerr, {"validate"});
}

} // namespace

int main(int argc, char **argv) {
    // `[--plugins DIR] validate ...` goes to the validator's own parser.
    int command = 1;
    std::string validate_dir;
    if (argc > 2 && std::string(argv[1]) == "--plugins") {
        validate_dir = argv[2];
        command = 3;
    }
    if (argc > command && std::string(argv[command]) == "validate") {
        try {
            if (!validate_dir.empty())
                set_plugin_dir(validate_dir);
            return run_validate(command + 1, argc, argv);
        } catch (const std::exception &e) {
            std::cerr << "sehost: " << e.what() << "\n";
            return 2;
        }
    }
    CLI::App app{"sehost - run modules of the pack headless and render what they do"};
    app.require_subcommand(1);
    std::string plugin_dir;
    app.add_option("--plugins", plugin_dir, "plug-in folder for bare names (default: the build's plugins/)");

    // info
    CLI::App *info = app.add_subcommand("info", "properties and pin table of plug-ins");
    std::vector<std::string> info_plugins;
    bool info_json = false;
    info->add_option("PLUGIN", info_plugins, "plug-in names or files")->required();
    info->add_flag("--json", info_json, "JSON for machines");

    // render
    CLI::App *render = app.add_subcommand("render", "run one module and render its outputs");
    std::string r_plugin;
    std::vector<std::string> r_set, r_at, r_midi, r_patch_changes;
    std::string r_midi_file, r_duration = "2s";
    int r_repeat = 0, r_block = 1024;
    int32_t r_host_version = 100238;
    double r_rate = 44100;
    RunFlags r_flags;
    render->add_option("PLUGIN", r_plugin, "plug-in name or file")->required();
    render->add_option("--set,-s", r_set, "\"Pin=Value\" before the start: list label or number, ON/OFF, "
                                          "volts or a source for audio inputs; GUI pins: the stored value");
    render->add_option("--at", r_at, "TIME \"Pin=Value\": a change at a time (GUI pins: a GUI write)")
        ->type_size(2)
        ->allow_extra_args(false);
    render->add_option("--midi", r_midi, "\"TIME=MESSAGE\" into the MIDI input: hex bytes or on/off/cc/pc words");
    render->add_option("--midi-file", r_midi_file, "a Standard MIDI File into the MIDI input");
    render->add_option("--patch-change", r_patch_changes, "TIME of a patch change event");
    render->add_option("--repeat", r_repeat, "copies of the repeated last pin")->capture_default_str();
    render->add_option("--host-version", r_host_version, "answer to HOST_GET_VERSION")->capture_default_str();
    render->add_option("--rate", r_rate, "sample rate in Hz")->capture_default_str();
    render->add_option("--block", r_block, "block size in samples")->capture_default_str();
    render->add_option("--duration,-d", r_duration, "length: 1.5s, 250ms, 4410smp")->capture_default_str();
    add_run_flags(render, r_flags, "sehost-out");

    // run
    CLI::App *run = app.add_subcommand("run", "run a patch file of several instances");
    std::string patch_file;
    RunFlags p_flags;
    run->add_option("PATCH", patch_file, "patch file (JSON)")->required();
    add_run_flags(run, p_flags, "sehost-out");

    // demo
    CLI::App *demo = app.add_subcommand("demo", "the built-in patch of all nine modules, with its report");
    RunFlags d_flags;
    add_run_flags(demo, d_flags, "sehost-demo");

    // validate: handled before parsing (run_validate); listed for --help.
    app.add_subcommand("validate", "check plug-ins against the host contract (options: sehost validate --help)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        std::cerr << "sehost: " << e.what() << " (see sehost --help)\n";
        return 2;
    }

    try {
        if (!plugin_dir.empty())
            set_plugin_dir(plugin_dir);
        if (*info) {
            nlohmann::json all = nlohmann::json::array();
            for (const std::string &name : info_plugins) {
                nlohmann::json i = plugin_info(find_plugin(name, "info"));
                if (info_json)
                    all.push_back(i);
                else
                    std::cout << info_text(i) << "\n";
            }
            if (info_json)
                std::cout << (all.size() == 1 ? all[0] : all).dump(2) << "\n";
            return 0;
        }
        SessionOptions session;
        if (*render) {
            Patch p;
            p.origin = "render " + r_plugin;
            p.rate = r_rate;
            check_rate(p.rate, "--rate");
            check_block(r_block, "--block");
            p.block = r_block;
            p.duration = parse_time(r_duration, "--duration");
            check_duration(p.duration, p.rate, "--duration");
            p.host_version = r_host_version;
            if (r_repeat < 0 || r_repeat > 64)
                throw InputError("--repeat: " + std::to_string(r_repeat) + " is outside 0 to 64");
            ModuleSpec m;
            m.plugin = r_plugin;
            m.name = plugin_stem(r_plugin);
            m.where = "PLUGIN " + r_plugin;
            m.repeat = r_repeat;
            for (const std::string &s : r_set) {
                auto [pin, value] = pin_assignment(s, "--set");
                m.set.push_back(Setting{pin, value, "--set \"" + s + "\""});
            }
            for (size_t i = 0; i + 1 < r_at.size(); i += 2) {
                std::string where = "--at " + r_at[i] + " \"" + r_at[i + 1] + "\"";
                auto [pin, value] = pin_assignment(r_at[i + 1], where);
                m.at.push_back(TimedSetting{parse_time(r_at[i], where), pin, value, where});
            }
            for (const std::string &t : r_patch_changes)
                m.patch_changes.emplace_back(parse_time(t, "--patch-change"), "--patch-change " + t);
            for (const std::string &t : r_midi)
                m.midi.push_back(parse_midi_entry(t, "--midi \"" + t + "\""));
            m.midi_where = "--midi";
            if (!r_midi_file.empty()) {
                auto list = read_midi_file(r_midi_file, "--midi-file");
                m.midi.insert(m.midi.end(), list.begin(), list.end());
                m.midi_where = "--midi-file " + r_midi_file;
            }
            p.modules.push_back(m);
            apply_run_flags(p, r_flags, session);
            session.title = "sehost render " + r_plugin;
            run_session(p, session, std::cout);
        } else if (*run) {
            Patch p = read_patch_file(patch_file);
            apply_run_flags(p, p_flags, session);
            session.title = "sehost run " + patch_file;
            run_session(p, session, std::cout);
        } else if (*demo) {
            Patch p = demo_patch();
            d_flags.force = true; // the demo's own folder is rewritten on every run
            apply_run_flags(p, d_flags, session);
            session.title = "sehost demo: the module pack working together";
            run_session(p, session, std::cout);
        }
        return 0;
    } catch (const InputError &e) {
        std::cerr << "sehost: " << e.what() << "\n";
    } catch (const sehost::HostError &e) {
        std::cerr << "sehost: " << e.what() << "\n";
    } catch (const std::exception &e) {
        std::cerr << "sehost: " << e.what() << "\n";
    }
    return 2;
}
