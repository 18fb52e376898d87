// main.cpp - the sehost command line: info, render, run, demo, play,
// recover, validate.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <iostream>

#include "commands/info.h"
#include "commands/recover.h"
#include "commands/validate.h"
#include "common/errors.h"
#include "common/numbers.h"
#include "common/suggest.h"
#include "common/text.h"
#include "common/version.h"
#ifdef SEHOST_HAVE_JACK
#include "live/live_jack.h"
#endif
#include "offline/session.h"
#include "patch/patch.h"
#include "patch/plugin_find.h"
#include "patch/plugin_patch.h"
#include "sehost/host_error.h"

using namespace secli;

namespace {

// Numbers are taken as text and read by numbers.cpp, so that an option
// accepts exactly what its patch field accepts.
struct RunFlags {
    std::string out;
    bool force = false;
    bool no_progress = false;
    std::string split_seed;
    std::string split_max = "64";
};

void add_run_flags(CLI::App *cmd, RunFlags &f, const std::string &default_out)
{
    f.out = default_out;
    cmd->add_option("--out,-o", f.out, "output folder (created)")->capture_default_str();
    cmd->add_flag("--force,-f", f.force, "overwrite existing files");
    cmd->add_option(
           "--split-seed", f.split_seed,
           "split every block into random stretches with this seed (default: whole blocks)")
        ->type_name("SEED");
    cmd->add_option("--split-max", f.split_max, "longest random stretch in samples")
        ->type_name("N")
        ->capture_default_str();
    cmd->add_flag("--no-progress", f.no_progress, "no progress bar");
}

void apply_run_flags(Patch &p, const RunFlags &f, SessionOptions &s)
{
    if (!f.split_seed.empty())
        p.split_seed = static_cast<uint32_t>(read_whole(f.split_seed, kSplitSeed, "--split-seed"));
    p.split_max = static_cast<int>(read_whole(f.split_max, kSplitMax, "--split-max"));
    s.out = f.out;
    s.force = f.force;
    s.progress = !f.no_progress;
}

const std::vector<std::string> kCommands = {"info",     "render", "run",    "demo",
                                            "validate", "play",   "recover"};

// The command word of a command line and where it is: the first word that
// is not an option or the value of the global --plugins. "" when none.
struct CommandWord {
    std::string word;
    int index = -1;
};

CommandWord find_command(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--plugins") {
            ++i;
            continue;
        }
        if (a == "--")
            return {};
        if (!a.empty() && a[0] != '-')
            return {a, i};
    }
    return {};
}

// "(see sehost render --help)": where a user of this command reads on.
std::string help_hint(const std::string &command)
{
    return " (see sehost " + (command.empty() ? std::string() : command + " ") + "--help)";
}

// Every long and short option name of a command and of the top level;
// without a command, those of every command.
std::vector<std::string> option_names(const CLI::App &app, const CLI::App *command)
{
    std::vector<std::string> names;
    std::vector<const CLI::App *> apps = {&app};
    if (command)
        apps.push_back(command);
    else
        for (const CLI::App *sub : app.get_subcommands([](const CLI::App *) { return true; }))
            apps.push_back(sub);
    for (const CLI::App *a : apps) {
        for (const CLI::Option *o : a->get_options()) {
            for (const std::string &l : o->get_lnames())
                names.push_back("--" + l);
            for (const std::string &s : o->get_snames())
                names.push_back("-" + s);
        }
    }
    return names;
}

// Words nobody took: an unknown option with the nearest known one, or an
// argument too many. False when there are none.
bool report_extra(const CLI::App &app, const CLI::App *chosen, const std::string &command)
{
    std::vector<std::string> extra = app.remaining(true);
    if (extra.empty())
        return false;
    const std::string &word = extra.front();
    std::string where = command.empty() ? "" : command + ": ";
    if (word.size() > 1 && word[0] == '-') {
        std::string name = word.substr(0, word.find('='));
        std::cerr << "sehost: " << where << "unknown option \"" << terminal_line(name) << "\""
                  << did_you_mean(name, option_names(app, chosen)) << help_hint(command) << "\n";
    } else {
        std::cerr << "sehost: " << where << "unexpected argument \"" << terminal_line(word) << "\""
                  << help_hint(command) << "\n";
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    const CommandWord command = find_command(argc, argv);
    if (!command.word.empty() &&
        std::find(kCommands.begin(), kCommands.end(), command.word) == kCommands.end()) {
        std::string guess = did_you_mean(command.word, kCommands);
        std::cerr << "sehost: unknown command \"" << terminal_line(command.word) << "\""
                  << (guess.empty() ? "; commands are " + quoted_list(kCommands) : guess)
                  << help_hint("") << "\n";
        return 2;
    }

    // validate has the validator's own command line; the global --plugins
    // may stand before or after the command word.
    if (command.word == "validate") {
        try {
            std::vector<std::string> args;
            for (int i = 1; i < argc; ++i) {
                std::string a = argv[i];
                if (i == command.index)
                    continue;
                if (a == "--plugins" || a.rfind("--plugins=", 0) == 0) {
                    std::string dir = a.size() > 9 ? a.substr(10) : i + 1 < argc ? argv[++i] : "";
                    if (dir.empty())
                        throw InputError("--plugins needs a folder");
                    set_plugin_dir(dir);
                    continue;
                }
                if (i < command.index)
                    throw InputError(std::string("\"") + a +
                                     "\" before \"validate\" is no global option");
                args.push_back(a);
            }
            return run_validate(args);
        } catch (const std::exception &e) {
            std::cerr << "sehost: " << terminal_line(e.what()) << help_hint("validate") << "\n";
            return 2;
        }
    }
    CLI::App app{"sehost - run modules of the pack headless and render what they do"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("sehost ") + sehost_version());
    // Options of the top level are also taken after the command word, and
    // words nobody takes are collected here to be answered with a
    // suggestion rather than CLI11's generic message.
    app.fallthrough();
    app.allow_extras();
    std::string plugin_dir;
    app.add_option("--plugins", plugin_dir,
                   "plug-in folder for bare names (default: the build's plugins/)");

    // info
    CLI::App *info = app.add_subcommand("info", "properties and pin table of plug-ins");
    std::vector<std::string> info_plugins;
    bool info_json = false;
    info->add_option("PLUGIN", info_plugins, "plug-in names or files")->required();
    info->add_flag("--json", info_json, "JSON for machines");

    // render
    CLI::App *render = app.add_subcommand("render", "run one module and render its outputs");
    PluginOptions alone; // render, and play of one plug-in
    RunFlags r_flags;
    render->add_option("PLUGIN", alone.plugin, "plug-in name or file")->required();
    render->add_option("--set,-s", alone.set,
                       "\"Pin=Value\" before the start: list label or number, ON/OFF, "
                       "volts or a source for audio inputs; GUI pins: the stored value");
    render
        ->add_option("--at", alone.at,
                     "TIME \"Pin=Value\": a change at a time (GUI pins: a GUI write)")
        ->type_size(2)
        ->allow_extra_args(false);
    render->add_option("--midi", alone.midi,
                       "\"TIME=MESSAGE\" into the MIDI input: hex bytes or on/off/cc/pc words");
    render->add_option("--midi-file", alone.midi_file, "a Standard MIDI File into the MIDI input");
    render->add_option("--patch-change", alone.patch_changes, "TIME of a patch change event");
    render->add_option("--repeat", alone.repeat, "copies of the repeated last pin")
        ->type_name("N")
        ->capture_default_str();
    render->add_option("--host-version", alone.host_version, "answer to HOST_GET_VERSION")
        ->type_name("N")
        ->capture_default_str();
    render->add_option("--rate", alone.rate, "sample rate in Hz")
        ->type_name("HZ")
        ->capture_default_str();
    render->add_option("--block", alone.block, "block size in samples")
        ->type_name("N")
        ->capture_default_str();
    render->add_option("--duration,-d", alone.duration, "length: 1.5s, 250ms, 4410smp")
        ->capture_default_str();
    add_run_flags(render, r_flags, "sehost-out");

    // run
    CLI::App *run = app.add_subcommand("run", "run a patch file of several instances");
    std::string patch_file;
    RunFlags p_flags;
    run->add_option("PATCH", patch_file, "patch file (JSON)")->required();
    add_run_flags(run, p_flags, "sehost-out");

    // demo
    CLI::App *demo =
        app.add_subcommand("demo", "the built-in patch of all nine modules, with its report");
    RunFlags d_flags;
    add_run_flags(demo, d_flags, "sehost-demo");

    // play: a patch file or one plug-in (with render's settings) live
    CLI::App *play = app.add_subcommand(
        "play", "run a patch or plug-in live as a client of the JACK audio server");
    std::string play_target, play_duration;
    std::vector<std::string> play_connect;
    bool play_no_status = false, play_count = false, play_force = false;
    std::string play_record;
    play->add_option("TARGET", play_target, "patch file (.json), plug-in name or file, or \"demo\"")
        ->required();
    play->add_option("--connect,-c", play_connect,
                     "\"OURS=THEIRS\": wire one of our ports to a server port");
    play->add_option("--duration,-d", play_duration, "stop after this long (default: at Ctrl-C)");
    play->add_option("--set,-s", alone.set,
                     "\"Pin=Value\" of a plug-in played alone, as render takes it");
    play->add_option("--repeat", alone.repeat, "copies of the repeated last pin")->type_name("N");
    play->add_option("--host-version", alone.host_version, "answer to HOST_GET_VERSION")
        ->type_name("N");
    play->add_flag("--no-status", play_no_status, "no status line");
    play->add_flag("--count-allocations", play_count, "count allocations in the process callback");
    play->add_option("--record", play_record,
                     "write the run's WAV, MIDI, events and report into DIR, as render does")
        ->type_name("DIR");
    play->add_flag("--force", play_force, "with --record: overwrite files of an earlier run");

    // recover
    CLI::App *recover = app.add_subcommand(
        "recover", "settle an output folder a stopped run left: finish its commit, remove its "
                   "temporaries");
    std::string recover_dir;
    recover->add_option("DIR", recover_dir, "output folder")->required();

    // validate: handled before parsing (run_validate); listed for --help.
    app.add_subcommand(
        "validate", "check plug-ins against the host contract (options: sehost validate --help)");

    const CLI::App *chosen = command.word.empty() ? nullptr : app.get_subcommand(command.word);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        // An unknown word explains more than what CLI11 missed because of it.
        if (!report_extra(app, chosen, command.word))
            std::cerr << "sehost: " << terminal_line(e.what()) << help_hint(command.word) << "\n";
        return 2;
    }
    if (report_extra(app, chosen, command.word))
        return 2;

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
                std::cout << info_document(all) << "\n";
            return 0;
        }
        SessionOptions session;
        if (*render) {
            Patch p = plugin_patch(alone);
            apply_run_flags(p, r_flags, session);
            session.title = "sehost render " + alone.plugin;
            run_session(p, session, std::cout);
        } else if (*run) {
            Patch p = read_patch_file(patch_file);
            apply_run_flags(p, p_flags, session);
            session.title = "sehost run " + patch_file;
            run_session(p, session, std::cout);
        } else if (*play) {
#ifdef SEHOST_HAVE_JACK
            bool file = play_target.size() > 5 &&
                        play_target.compare(play_target.size() - 5, 5, ".json") == 0;
            if (file && !alone.set.empty())
                throw InputError(
                    "--set is for a plug-in played alone; a patch file holds its own settings");
            Patch p = file                    ? read_patch_file(play_target)
                      : play_target == "demo" ? demo_patch()
                                              : (alone.plugin = play_target, plugin_patch(alone));
            PlayOptions o;
            o.connect = play_connect;
            if (!play_duration.empty()) {
                TimeSpec t = parse_time(play_duration, "--duration");
                if (t.in_samples)
                    throw InputError(
                        "--duration: give seconds; the server's rate is not known yet");
                o.seconds = t.seconds;
            }
            o.status = !play_no_status;
            o.count_allocations = play_count;
            if (!play_record.empty())
                o.record = play_record;
            o.force = play_force;
            secli::play(p, o, std::cout);
#else
            throw InputError(
                "this sehost was built without JACK (install libjack-jackd2-dev and rebuild)");
#endif
        } else if (*recover) {
            std::cout << recover_folder(recover_dir);
        } else if (*demo) {
            Patch p = demo_patch();
            d_flags.force = true; // the demo's own folder is rewritten on every run
            apply_run_flags(p, d_flags, session);
            session.title = "sehost demo: the module pack working together";
            run_session(p, session, std::cout);
        }
        return 0;
    } catch (const InputError &e) {
        // A mistake in an option points to the command's help.
        std::string what = e.what();
        std::cerr << "sehost: " << terminal_line(what)
                  << (what.rfind("--", 0) == 0 ? help_hint(command.word) : "") << "\n";
    } catch (const sehost::HostError &e) {
        std::cerr << "sehost: " << terminal_line(e.what()) << "\n";
    } catch (const std::exception &e) {
        std::cerr << "sehost: " << terminal_line(e.what()) << "\n";
    }
    return 2;
}
