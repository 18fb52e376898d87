// check.cpp - reports, the registry of checks, and running one check.
#include "check.h"

#include <chrono>
#include <cstdio>
#include <exception>

#include "alloc_probe.h"

namespace sevalidate {

const char *outcome_name(Outcome o)
{
    switch (o) {
    case Outcome::Pass:
        return "pass";
    case Outcome::Warning:
        return "warning";
    case Outcome::Skip:
        return "skip";
    case Outcome::Fail:
        return "fail";
    case Outcome::Crash:
        return "crash";
    case Outcome::Timeout:
        return "timeout";
    }
    return "?";
}

void Report::add(Outcome o, const std::string &what)
{
    ++m_count;
    // Many findings of one kind would drown the report: keep the first ones.
    if (m_lines.size() < 40)
        m_lines.push_back(what);
    else if (m_lines.size() == 40)
        m_lines.push_back("... further findings left out");
    auto rank = [](Outcome x) {
        return x == Outcome::Fail ? 3 : x == Outcome::Warning ? 2 : x == Outcome::Skip ? 1 : 0;
    };
    if (rank(o) > rank(m_worst))
        m_worst = o;
}

std::string Report::details() const
{
    std::string s;
    for (const std::string &l : m_lines) {
        if (!s.empty())
            s += '\n';
        s += l;
    }
    return s;
}

std::vector<std::string> narrowed_lines(const std::string &details)
{
    std::vector<std::string> out;
    const std::string mark = Report::kNarrowed;
    size_t pos = 0;
    while (pos < details.size()) {
        size_t end = details.find('\n', pos);
        if (end == std::string::npos)
            end = details.size();
        if (details.compare(pos, mark.size(), mark) == 0)
            out.push_back(details.substr(pos + mark.size(), end - pos - mark.size()));
        pos = end + 1;
    }
    return out;
}

std::shared_ptr<const sehost::Library> Context::library() const
{
    if (!m_library)
        m_library = sehost::Library::load(plugin);
    return m_library;
}

const Traits &Context::traits() const
{
    if (!m_traits) {
        const std::string id = library()->properties().identifier;
        m_traits = Traits{};
        for (const Traits &t : declared)
            if (t.identifier == id)
                m_traits = t;
    }
    return *m_traits;
}

const std::vector<CheckInfo> &registry()
{
    static const std::vector<CheckInfo> all = [] {
        std::vector<CheckInfo> v;
        add_static_checks(v);
        add_lifecycle_checks(v);
        add_signal_checks(v);
        add_sleep_checks(v);
        add_realtime_checks(v);
        add_gui_checks(v);
        return v;
    }();
    return all;
}

std::vector<std::string> check_names()
{
    return check_names(kTopLevel);
}

std::string hex32(uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(v));
    return buf;
}

bool printable_text(const std::string &s)
{
    for (unsigned char c : s)
        if (c < 0x20 && c != '\n' && c != '\t')
            return false;
    return true;
}

uint64_t name_hash(const std::string &s)
{
    uint64_t h = 1469598103934665603ull; // FNV-1a
    for (unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

int rounds_at(int level)
{
    return level >= 5 ? 16 : level == 4 ? 4 : 1;
}
uint32_t length_factor_at(int level)
{
    return level >= 5 ? 4 : 1;
}

std::vector<std::string> check_names(int level)
{
    std::vector<std::string> names;
    for (const CheckInfo &c : registry())
        if (c.level <= level)
            names.push_back(c.name);
    return names;
}

CheckResult run_check_here(const std::string &plugin, const std::string &check, uint64_t seed,
                           const std::vector<std::string> &traits_files, int level)
{
    CheckResult r;
    r.plugin = plugin;
    r.check = check;
    const CheckInfo *info = nullptr;
    for (const CheckInfo &c : registry())
        if (check == c.name)
            info = &c;
    if (!info) {
        r.outcome = Outcome::Fail;
        r.details = "no check named " + check;
        return r;
    }
    auto t0 = std::chrono::steady_clock::now();
    Report rep;
    std::vector<Traits> declared;
    try {
        for (const std::string &f : traits_files)
            declared.push_back(load_traits(f));
    } catch (const std::exception &e) {
        r.outcome = Outcome::Fail;
        r.details = e.what();
        return r;
    }
    const int rounds = rounds_at(level);
    for (int round = 0; round < rounds; ++round) {
        const uint64_t s = seed + static_cast<uint64_t>(round);
        Context ctx(plugin, s, s ^ name_hash(check), declared, level);
        Report one;
        try {
            info->fn(ctx, one);
        } catch (const sehost::HostError &e) {
            one.fail(e.what());
        } catch (const std::exception &e) {
            one.fail(std::string("unexpected exception: ") + e.what());
        }
        alloc_probe::disarm();
        if (round == 0 || one.outcome() != Outcome::Pass) {
            rep = one;
            if (rounds > 1 && round > 0)
                rep.note("in round " + std::to_string(round + 1) + " of " + std::to_string(rounds) +
                         " (seed " + std::to_string(s) + ")");
        }
        if (one.failed())
            break;
    }
    alloc_probe::disarm();
    r.outcome = rep.outcome();
    r.details = rep.details();
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return r;
}

} // namespace sevalidate
