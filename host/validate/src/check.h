// check.h - what a check sees: the plug-in, the seed, and a report to fill.
#ifndef SEVALIDATE_CHECK_H
#define SEVALIDATE_CHECK_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sehost/sehost.h"
#include "sevalidate/validate.h"
#include "traits.h"

namespace sevalidate {

// Small deterministic generator (xorshift64*): every random choice of a
// check comes from here, seeded from the run's seed and the check's name.
class Rng
{
public:
    explicit Rng(uint64_t seed) : m_state(seed ? seed : 0x9E3779B97F4A7C15ull) {}
    uint64_t next()
    {
        m_state ^= m_state >> 12;
        m_state ^= m_state << 25;
        m_state ^= m_state >> 27;
        return m_state * 0x2545F4914F6CDD1Dull;
    }
    uint32_t below(uint32_t n) { return n ? static_cast<uint32_t>(next() % n) : 0; }
    int32_t range(int32_t lo, int32_t hi)
    {
        return lo + static_cast<int32_t>(below(static_cast<uint32_t>(hi - lo + 1)));
    }
    double unit() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }

private:
    uint64_t m_state;
};

// Findings of one check.  The worst finding decides the outcome: fail, then
// warning, then skip (the check could not run here), else pass.  Notes
// are details that change nothing.
class Report
{
public:
    void fail(const std::string &what) { add(Outcome::Fail, what); }
    void warn(const std::string &what) { add(Outcome::Warning, what); }
    void skip(const std::string &why) { add(Outcome::Skip, why); }
    void note(const std::string &what) { m_lines.push_back(what); }
    // Where a traits file narrowed the check: which part and the file's
    // reason.  Reported with the outcome, a pass included.
    void narrowed(const std::string &what) { m_lines.push_back(kNarrowed + what); }
    static constexpr const char *kNarrowed = "narrowed: ";
    bool failed() const { return m_worst == Outcome::Fail; }
    Outcome outcome() const { return m_worst; }
    std::string details() const;
    size_t findings() const { return m_count; }

private:
    void add(Outcome o, const std::string &what);
    Outcome m_worst = Outcome::Pass;
    std::vector<std::string> m_lines;
    size_t m_count = 0;
};

struct Context {
    Context(std::string plugin_, uint64_t seed_, uint64_t rng_seed, std::vector<Traits> declared_,
            int level_)
        : plugin(std::move(plugin_)), seed(seed_), level(level_), rng(rng_seed),
          declared(std::move(declared_))
    {}
    std::string plugin;
    uint64_t seed;
    int level;
    Rng rng;
    std::vector<Traits> declared;                           // every traits file of the run
    std::shared_ptr<const sehost::Library> library() const; // loaded on first use
    // The traits file that names this module's identifier, else the defaults.
    const Traits &traits() const;

private:
    mutable std::shared_ptr<const sehost::Library> m_library;
    mutable std::optional<Traits> m_traits;
};

using CheckFn = void (*)(Context &, Report &);

struct CheckInfo {
    const char *name;
    CheckFn fn;
    // A contract check of the SDK that may legitimately stop the child in
    // this check (its text on standard error): then the check passes.
    const char *tolerated_stop;
    // The lowest strictness level that runs the check: 1 quick static and
    // lifecycle checks, 2 single runs of the DSP and GUI sides, 3 the
    // randomised scenarios (every check).
    int level;
};

// Rounds of each check (with seeds seed, seed+1, ...) and how much longer
// the scenarios run, per level: 4 and 5 repeat every check.
int rounds_at(int level);
uint32_t length_factor_at(int level);

const std::vector<CheckInfo> &registry();

// Not a check, and on no level's list: the plug-in's identifier as the
// details, so that the run can match the traits files to the plug-ins
// without loading any plug-in itself.
constexpr const char *kIdentityCheck = "identity";
constexpr int kHiddenLevel = kTopLevel + 1;

// The identifier of a plug-in, asked in a child process as the checks are;
// nullopt when the child could not answer.
std::optional<std::string> identify_isolated(const std::string &plugin, double timeout_seconds,
                                             const std::vector<std::string> &reexec_prefix);

// Each checks_*.cpp adds its checks here (called once by registry()).
void add_static_checks(std::vector<CheckInfo> &out);
void add_lifecycle_checks(std::vector<CheckInfo> &out);
void add_signal_checks(std::vector<CheckInfo> &out);
void add_sleep_checks(std::vector<CheckInfo> &out);
void add_realtime_checks(std::vector<CheckInfo> &out);
void add_gui_checks(std::vector<CheckInfo> &out);

// What the lines of a result's details that tell where a traits file
// narrowed the check (Report::narrowed) say, without their mark.
std::vector<std::string> narrowed_lines(const std::string &details);

// Helpers shared by the checks.
std::string hex32(uint32_t v);
bool printable_text(const std::string &s);
uint64_t name_hash(const std::string &s);

} // namespace sevalidate

#endif
