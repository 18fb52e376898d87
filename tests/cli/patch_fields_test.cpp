// patch_fields_test.cpp - patch file fields are read with their type and the
// limits of the matching option; errors name the file and the field.
#include <chrono>
#include <functional>

#include "cli_support.h"
#include "common/errors.h"
#include "patch/patch.h"

namespace {

using namespace se_cli;

std::string error_of(const std::string &text)
{
    try {
        secli::parse_patch_text(text, "p.json");
    } catch (const secli::InputError &e) {
        return e.what();
    }
    return "(accepted)";
}

std::string repeated(const std::string &s, size_t n)
{
    std::string out;
    for (size_t i = 0; i < n; ++i)
        out += s;
    return out;
}

// A patch of n instances of plug-in "x".
std::string modules(size_t n)
{
    std::string list;
    for (size_t i = 0; i < n; ++i)
        list += (i ? ", " : "") + std::string(R"({"name": "m)") + std::to_string(i) +
                R"(", "plugin": "x"})";
    return R"({"modules": [)" + list + "]}";
}

std::string with_module(const std::string &fields)
{
    return R"({"modules": [{"name": "a", "plugin": "x")" + fields + "}]}";
}

TEST(SehostPatchFields, EveryFieldIsTypedAndRangeChecked)
{
    const std::pair<std::string, std::string> bad[] = {
        {with_module(R"(, "repeat": 4294967297)"),
         "p.json: modules[0].repeat: repeated copies 4294967297 is outside 0 to 64"},
        {with_module(R"(, "repeat": -1)"), "modules[0].repeat: repeated copies -1 is outside"},
        {with_module(R"(, "repeat": 2.5)"), "modules[0].repeat: 2.5 is not a whole number"},
        {with_module(R"(, "repeat": "2")"), "modules[0].repeat: expected a whole number"},
        {R"({"modules": [], "host_version": 99999999999})",
         "p.json: host_version: host version 99999999999 is outside"},
        {R"({"modules": [], "split": {"seed": -1}})",
         "p.json: split.seed: split seed -1 is outside 0 to 4294967295"},
        {R"({"modules": [], "split": {"seed": "x"}})",
         "p.json: split.seed: expected a whole number"},
        {R"({"modules": [], "split": {"max": 1e20}})",
         "p.json: split.max: longest stretch 1e+20 is outside 1 to 65536"},
        {R"({"modules": [], "split": {"max": 0}})", "split.max: longest stretch 0 is outside"},
        {R"({"modules": [], "rate": 44100.5})", "p.json: rate: 44100.5 is not a whole number"},
        {R"({"modules": [], "block": 1e300})",
         "p.json: block: block size 1.0000000000000001e+300 is outside"},
        {R"({"modules": [], "duration": 1e400})", "p.json: duration: number overflow"},
        {with_module(R"(, "at": [{"time": 1, "set": {"x": 1e400}}])"),
         "p.json: modules[0].at[0].set.x: number overflow"},
        {R"({"modules": [], "rate": 44100, "rate": 48000})",
         "p.json: the field \"rate\" is given twice"},
        {R"({"modules": [{"name": "a", "name": "b", "plugin": "x"}]})",
         "p.json: modules[0]: the field \"name\" is given twice"},
        {with_module(R"(, "set": {"Mode": 1, "Mode": 2})"),
         "p.json: modules[0].set: the field \"Mode\" is given twice"},
        {R"({"modules": [], "connections": [{"from": "a.x", "to": "b.y", "to": "c.z"}]})",
         "p.json: connections[0]: the field \"to\" is given twice"},
        {R"({"modules": [], "connections": [{"from": "a.x", "to": 5}]})",
         "p.json: connections[0].to: expected a text"},
        // a source is checked whether it is wired or not
        {R"({"modules": [], "sources": {"s": "nonsense"}})",
         "p.json: sources.\"s\": unknown source \"nonsense\""},
        {R"({"modules": [], "x": )" + std::string(70, '[') + std::string(70, ']') + "}",
         "p.json: x" + repeated("[0]", 63) + ": nested deeper than 64 levels"},
        {modules(1001), "p.json: modules: 1001 instances; a patch holds at most 1000"},
    };
    for (const auto &[text, message] : bad) {
        std::string got = error_of(text);
        EXPECT_NE(got.find(message), std::string::npos)
            << text << "\n  wanted: " << message << "\n  got: " << got;
    }
    // The largest legal values, and whole numbers written as floats.
    secli::Patch p = secli::parse_patch_text(
        R"({"modules": [], "rate": 48000.0, "host_version": 2147483647, "split": {"seed": 4294967295, "max": 65536}})",
        "p.json");
    EXPECT_EQ(p.rate, 48000);
    EXPECT_EQ(p.host_version, 2147483647);
    EXPECT_EQ(*p.split_seed, 4294967295u);
    EXPECT_EQ(p.split_max, 65536);
    // The same key in two different objects is no duplicate.
    EXPECT_EQ(
        error_of(R"({"modules": [{"name": "a", "plugin": "x"}, {"name": "b", "plugin": "x"}]})"),
        "(accepted)");
}

// Reading a patch takes time in proportion to its size, for a large object
// (sources) and a long list of objects (timed settings): eight times the
// entries cost well under forty times as long. Linear reading gives eight,
// and up to about thirty on a busy shared machine as the larger document
// leaves the caches; the quadratic reading this replaced gave over seventy.
TEST(SehostPatchFields, ReadingTakesTimeInProportionToTheSize)
{
    const auto sources = [](size_t n) {
        std::string s;
        for (size_t i = 0; i < n; ++i)
            s += (i ? ", " : "") + std::string("\"s") + std::to_string(i) + "\": \"const:1\"";
        return R"({"modules": [], "sources": {)" + s + "}}";
    };
    const auto timed = [](size_t n) {
        return with_module(R"(, "at": [)" +
                           repeated(R"({"time": "1s", "set": {"Octave": 1}}, )", n - 1) +
                           R"({"time": "1s", "set": {"Octave": 1}}])");
    };
    // The least of three tries of each, taken in turns so that a busy spell
    // of a shared machine slows both sizes alike.
    const auto least_times = [](const std::string &small_text, const std::string &large_text) {
        const auto once = [](const std::string &text) {
            const auto start = std::chrono::steady_clock::now();
            secli::parse_patch_text(text, "p.json");
            return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        };
        std::pair<double, double> best{1e9, 1e9};
        for (int i = 0; i < 3; ++i) {
            best.first = std::min(best.first, once(small_text));
            best.second = std::min(best.second, once(large_text));
        }
        return best;
    };
    for (const auto &[what, make] :
         {std::pair<const char *, std::function<std::string(size_t)>>{"sources", sources},
          {"at", timed}}) {
        const auto [small, large] = least_times(make(10000), make(80000));
        EXPECT_LT(large / small, 40.0) << what << ": " << small << " s, then " << large << " s";
    }
}

// An option and its patch field refuse the same values with the same words.
TEST(SehostPatchFields, OptionsAndFieldsShareTheirLimits)
{
    struct Case {
        std::string option, field, value, message;
    };
    const Case cases[] = {
        {"--rate", "rate", "999", "sample rate 999 is outside 1000 to 768000 Hz"},
        {"--block", "block", "65537", "block size 65537 is outside 1 to 65536 samples"},
        {"--host-version", "host_version", "99999999999",
         "host version 99999999999 is outside 0 to 2147483647"},
        {"--split-seed", "split.seed", "4294967296",
         "split seed 4294967296 is outside 0 to 4294967295"},
        {"--split-max", "split.max", "0", "longest stretch 0 is outside 1 to 65536 samples"},
        {"--repeat", "modules[0].repeat", "65", "repeated copies 65 is outside 0 to 64"},
    };
    std::string out = fresh_dir("shared_limits");
    for (const Case &c : cases) {
        std::string json;
        if (c.field == "split.seed")
            json = R"({"modules": [], "split": {"seed": )" + c.value + "}}";
        else if (c.field == "split.max")
            json = R"({"modules": [], "split": {"max": )" + c.value + "}}";
        else if (c.field == "modules[0].repeat")
            json = with_module(", \"repeat\": " + c.value);
        else
            json = R"({"modules": [], ")" + c.field + "\": " + c.value + "}";
        EXPECT_NE(error_of(json).find("p.json: " + c.field + ": " + c.message), std::string::npos)
            << c.field << ": " << error_of(json);
        Result r = sehost({"render", "pitch_adjust", c.option, c.value, "-o", out});
        EXPECT_EQ(r.status, 2) << c.option;
        EXPECT_NE(r.err.find(c.option + ": " + c.message), std::string::npos)
            << c.option << ": " << r.err;
    }
}

} // namespace
