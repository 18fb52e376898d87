// event_line_test.cpp - events.jsonl lines written field by field read the
// same, byte for byte, as the JSON library's own text of the same object:
// earlier runs' files and the tools that read them keep working.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "common/text.h"
#include "output/event_line.h"

namespace {

using nlohmann::json;

// One field as both writers take it.
struct Field {
    const char *key;
    enum { Unsigned, Signed, Number, Text } kind;
    uint64_t u = 0;
    int64_t i = 0;
    double d = 0;
    std::string s;
};

Field u(const char *k, uint64_t v)
{
    return Field{k, Field::Unsigned, v, 0, 0, {}};
}
Field i(const char *k, int64_t v)
{
    return Field{k, Field::Signed, 0, v, 0, {}};
}
Field d(const char *k, double v)
{
    return Field{k, Field::Number, 0, 0, v, {}};
}
Field s(const char *k, std::string v)
{
    return Field{k, Field::Text, 0, 0, 0, std::move(v)};
}

void expect_same_as_library(secli::EventLine &line, const std::vector<Field> &fields)
{
    json want = json::object();
    line.clear();
    for (const Field &f : fields) {
        switch (f.kind) {
        case Field::Unsigned:
            line.add_unsigned(f.key, f.u);
            want[f.key] = f.u;
            break;
        case Field::Signed:
            line.add_signed(f.key, f.i);
            want[f.key] = f.i;
            break;
        case Field::Number:
            line.add_number(f.key, f.d);
            want[f.key] = f.d;
            break;
        case Field::Text:
            line.add_text(f.key, f.s);
            want[f.key] = f.s;
            break;
        }
    }
    EXPECT_EQ(line.text(), want.dump());
}

TEST(SehostEventLine, ReadsAsTheLibraryWritesIt)
{
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<std::vector<Field>> objects = {
        {},
        // an event's usual fields, added in the runner's order, not the keys'
        {u("clock", 44100), d("time", 1.0), s("instance", "rpn"), s("kind", "midi"),
         s("pin", "MIDI Out"), u("stamp", 44101), u("sent", 44100), s("bytes", "B0 65 00")},
        {u("clock", 0), d("time", 0.0), s("instance", "a"), s("kind", "to_gui"),
         i("value", -2147483648LL)},
        {u("clock", UINT64_MAX), i("decl", -1), i("value", 2147483647)},
        // numbers: fractions, tiny and huge (exponent forms), negative zero,
        // and what JSON has no number for
        {d("a", 1.0 / 3), d("b", 1e-5), d("c", 2.5e-7), d("d", 1e300), d("e", -0.0),
         d("f", 123456789012345678.0), d("g", 0.1 + 0.2), d("h", -4.9e-324)},
        {d("nan", std::nan("")), d("inf", inf), d("ninf", -inf)},
        {d("t1", 1.0 / 44100), d("t2", 12345.0 / 48000), d("t3", 4294967295.0 / 44100)},
        // texts: plain, quotes and backslashes, control bytes, DEL, UTF-8
        {s("pin", "1 Switch (Animation)"), s("label", "say \"hi\" \\ back"),
         s("value", std::string("tab\there\nnew\x01\x1f\x00", 15)), s("del", "\x7f"),
         s("utf8", "Gr\xc3\xbc\xc3\x9f"
                   "e \xe2\x82\xac"),
         s("empty", "")},
        // keys that sort only on a later byte
        {u("sent", 1), u("set", 2), u("se", 3), u("s", 4), u("stamp", 5), u("status", 6)},
        // the same keys added in another order, right after one another
        {u("b", 1), u("a", 2), u("c", 3)},
        {u("a", 1), u("c", 2), u("b", 3)},
        {u("c", 1), u("a", 2), u("d", 3)},
    };
    secli::EventLine line; // reused, as the runner does
    for (const auto &fields : objects) {
        expect_same_as_library(line, fields);
        expect_same_as_library(line, fields); // the keys' order kept from the last line
    }
}

TEST(SehostEventLine, TextThatIsNoUtf8IsReplaced)
{
    // A plug-in's pin name may hold any bytes: each piece that is no UTF-8
    // becomes U+FFFD, as in the JSON library's replacing dump and
    // secli::valid_utf8, and the line still reads back.
    secli::EventLine line;
    const std::string raw = "bad \x80 byte \xE2\x82 cut, Caf\xE9, \xF0\x9F\x8E\xB5 kept";
    const json back = json::parse(line.clear().add_text("pin", raw).text());
    const std::string want =
        "bad \xEF\xBF\xBD byte \xEF\xBF\xBD cut, Caf\xEF\xBF\xBD, \xF0\x9F\x8E\xB5 kept";
    EXPECT_EQ(back["pin"], want);
    EXPECT_EQ(secli::valid_utf8(raw), want);
    EXPECT_EQ(json(raw).dump(-1, ' ', false, json::error_handler_t::replace), json(want).dump());
}

} // namespace
