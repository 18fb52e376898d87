// pin_decl_test.cpp - value texts as modules write them: the one reading the
// host opens a module with and sehost shows in its reports.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>

#include "sehost/host_error.h"
#include "sehost/pin_decl.h"

namespace {

struct TextCase {
    int32_t datatype;
    const char *list; // null: no list
    const char *text;
    std::optional<double> value;
};

const TextCase kTexts[] = {
    {DT_FLOAT32, nullptr, "1.5", 1.5},
    {DT_FLOAT32, nullptr, "-3", -3.0},
    {DT_FLOAT32, nullptr, "1e3", 1000.0},
    {DT_FLOAT32, nullptr, "0x10", 16.0}, // the C library's syntax, hex included
    {DT_FLOAT32, nullptr, " 2", 2.0},    // leading blanks too
    {DT_FLOAT32, nullptr, "2 ", std::nullopt},
    {DT_FLOAT32, nullptr, "", std::nullopt},
    {DT_FLOAT32, nullptr, "volts", std::nullopt},
    {DT_FSAMPLE, "10,-10,10,-10", "5", 5.0}, // audio texts stay in volts
    {DT_BOOLEAN, nullptr, "true", 1.0},
    {DT_BOOLEAN, nullptr, "false", 0.0},
    {DT_BOOLEAN, nullptr, "ON", std::nullopt}, // sehost's words are for users only
    {DT_FLOAT32, nullptr, "true", 1.0},
    {DT_CHOICE, "OFF,ON", "ON", 1.0},
    {DT_CHOICE, "OFF,ON", "on", std::nullopt},
    {DT_CHOICE, "OFF,ON", "7", 7.0}, // a number need not be in the list
    // A number is a number before it is a label: "1" is 1 here, not the
    // entry labelled "1" (value 0).
    {DT_CHOICE, "All=-1,1=0,2,3", "1", 1.0},
    {DT_CHOICE, "All=-1,1=0,2,3", "All", -1.0},
    // The pin's own list before the words.
    {DT_CHOICE, "false=3,true=4", "true", 4.0},
    {DT_CHOICE, nullptr, "ON", std::nullopt},
};

TEST(HostPinDecl, ReadsValueTexts)
{
    for (const TextCase &c : kTexts) {
        SCOPED_TRACE(std::string(c.text) + " with list " + (c.list ? c.list : "none"));
        sehost::PinDecl d;
        d.datatype = c.datatype;
        if (c.list)
            d.list_text = c.list;
        EXPECT_EQ(d.read_text(c.text), c.value);
    }
}

TEST(HostPinDecl, AListThatDoesNotParseIsAnError)
{
    sehost::PinDecl d;
    d.datatype = DT_CHOICE;
    d.list_text = "A=,B";
    EXPECT_EQ(d.read_text("3"), 3.0); // a number needs no list
    EXPECT_THROW(d.read_text("A"), sehost::HostError);
}

} // namespace
