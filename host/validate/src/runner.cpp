// runner.cpp - the command line of the validator: which plug-ins and
// checks, the seed, the report and the JSON file.
#include <chrono>
#include <iostream>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <regex>
#include <sstream>

#include "check.h"

namespace sevalidate {

bool write_result_file(const std::string &path, const CheckResult &r, std::string &error);

namespace {

const char *kUsage =
    "usage: validate PLUGIN... [--seed N] [--include RE] [--exclude RE] [--json FILE]\n"
    "                [--timeout SECONDS] [--list]\n";

std::string json_escape(const std::string &s) {
    std::string o;
    for (unsigned char c : s) {
        switch (c) {
        case '"': o += "\\\""; break;
        case '\\': o += "\\\\"; break;
        case '\n': o += "\\n"; break;
        case '\t': o += "\\t"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                o += buf;
            } else {
                o += static_cast<char>(c);
            }
        }
    }
    return o;
}

// A shell word that repeats the argument unchanged.
std::string shell_word(const std::string &s) {
    if (!s.empty() && s.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_./:-=\\") ==
                          std::string::npos)
        return s;
    std::string o = "'";
    for (char c : s)
        o += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return o + "'";
}

std::string regex_quote(const std::string &s) {
    std::string o;
    for (char c : s) {
        if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos)
            o += '\\';
        o += c;
    }
    return o;
}

uint64_t fresh_seed() {
    uint64_t t = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    t ^= static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) << 7;
    return (name_hash(std::to_string(t)) % 4000000000ull) + 1;
}

} // namespace

int run_validation(const std::vector<std::string> &args, std::ostream &out,
                   const std::vector<std::string> &reexec_prefix) {
    std::vector<std::string> plugins, traits_files;
    std::string include, exclude, json, single, result_file;
    uint64_t seed = 0;
    bool have_seed = false, list = false;
    double timeout = 120.0;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        auto value = [&](std::string &dst) {
            if (i + 1 >= args.size())
                return false;
            dst = args[++i];
            return true;
        };
        std::string v;
        if (a == "--seed" && value(v)) {
            seed = std::strtoull(v.c_str(), nullptr, 10);
            have_seed = true;
        } else if (a == "--include" && value(include)) {
        } else if (a == "--exclude" && value(exclude)) {
        } else if (a == "--json" && value(json)) {
        } else if (a == "--traits" && value(v)) {
            traits_files.push_back(v);
        } else if (a == "--timeout" && value(v)) {
            timeout = std::atof(v.c_str());
        } else if (a == "--single-check" && value(single)) {
        } else if (a == "--result-file" && value(result_file)) {
        } else if (a == "--list") {
            list = true;
        } else if (a == "-h" || a == "--help") {
            out << kUsage;
            return 0;
        } else if (!a.empty() && a[0] == '-') {
            out << "validate: unknown option " << a << "\n" << kUsage;
            return 2;
        } else {
            plugins.push_back(a);
        }
    }
    if (list) {
        for (const std::string &n : check_names())
            out << n << "\n";
        return 0;
    }
    if (plugins.empty()) {
        out << kUsage;
        return 2;
    }
    if (!single.empty()) { // the child side (Windows), or a check by hand
        CheckResult r = run_check_here(plugins[0], single, seed, traits_files);
        std::string error;
        if (!result_file.empty()) {
            if (!write_result_file(result_file, r, error)) {
                std::cerr << "validate: " << error << "\n";
                return 2;
            }
        } else
            out << outcome_name(r.outcome) << "\n" << r.details << "\n";
        return 0;
    }
    std::regex inc, exc;
    try {
        if (!include.empty())
            inc = std::regex(include);
        if (!exclude.empty())
            exc = std::regex(exclude);
    } catch (const std::regex_error &e) {
        out << "validate: bad regular expression: " << e.what() << "\n";
        return 2;
    }
    for (const std::string &f : traits_files) {
        try {
            load_traits(f);
        } catch (const std::exception &e) {
            out << "validate: " << e.what() << "\n";
            return 2;
        }
    }
    if (!have_seed)
        seed = fresh_seed();
    out << "validate: seed " << seed << "\n";

    // How the report's repeat lines start.
    std::string command = reexec_prefix.empty() ? "sevalidate" : "sehost";
    for (const std::string &a : reexec_prefix)
        command += " " + a;

    std::vector<CheckResult> results;
    int counts[6] = {0, 0, 0, 0, 0, 0};
    for (const std::string &plugin : plugins) {
        out << "== " << plugin << "\n";
        int run = 0;
        for (const std::string &check : check_names()) {
            if (!include.empty() && !std::regex_search(check, inc))
                continue;
            if (!exclude.empty() && std::regex_search(check, exc))
                continue;
            ++run;
            CheckResult r = run_check_isolated(plugin, check, seed, timeout, reexec_prefix, traits_files);
            counts[static_cast<int>(r.outcome)]++;
            out << "  " << std::left << std::setw(8) << outcome_name(r.outcome) << " " << std::setw(26) << check
                << " " << std::fixed << std::setprecision(2) << r.seconds << " s\n";
            bool bad = r.outcome == Outcome::Fail || r.outcome == Outcome::Crash || r.outcome == Outcome::Timeout;
            if (bad || r.outcome == Outcome::Warning || r.outcome == Outcome::Skip) {
                std::istringstream lines(r.details);
                std::string line;
                while (std::getline(lines, line))
                    out << "           " << line << "\n";
            }
            if (bad)
                out << "           repeat: " << command << " " << shell_word(plugin) << " --seed " << seed << " --include "
                    << shell_word("^" + regex_quote(check) + "$") << "\n";
            results.push_back(r);
        }
        out << "   " << run << " checks\n";
    }
    out << "validate: " << plugins.size() << " plug-ins, " << results.size() << " checks: " << counts[0] << " passed, "
        << counts[3] << " failed, " << counts[4] << " crashed, " << counts[5] << " timed out, " << counts[1]
        << " warnings, " << counts[2] << " skipped (seed " << seed << ")\n";

    if (!json.empty()) {
        std::ofstream f(json, std::ios::binary | std::ios::trunc);
        f << "{\n  \"seed\": " << seed << ",\n  \"results\": [\n";
        for (size_t i = 0; i < results.size(); ++i) {
            const CheckResult &r = results[i];
            f << "    {\"plugin\": \"" << json_escape(r.plugin) << "\", \"check\": \"" << json_escape(r.check)
              << "\", \"outcome\": \"" << outcome_name(r.outcome) << "\", \"seconds\": " << r.seconds
              << ", \"details\": \"" << json_escape(r.details) << "\"}" << (i + 1 < results.size() ? "," : "")
              << "\n";
        }
        f << "  ]\n}\n";
        if (!f)
            out << "validate: could not write " << json << "\n";
    }
    for (const CheckResult &r : results)
        if (r.could_not_run)
            return 2;
    return counts[3] + counts[4] + counts[5] > 0 ? 1 : 0;
}

} // namespace sevalidate
