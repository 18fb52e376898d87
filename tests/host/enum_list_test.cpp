// enum_list_test.cpp - the list syntax of choice pins, both ways.
#include <gtest/gtest.h>

#include "sehost/enum_list.h"
#include "sehost/host_error.h"

using sehost::EnumList;

namespace {

struct ListCase {
    const char *text;
    std::vector<std::pair<std::string, int32_t>> entries;
};

const ListCase kLists[] = {
    {"-99=-99,-98", {{"-99", -99}, {"-98", -98}}},
    {"1=1,2,3", {{"1", 1}, {"2", 2}, {"3", 3}}},
    {"No,Yes", {{"No", 0}, {"Yes", 1}}},
    {"OFF,ON", {{"OFF", 0}, {"ON", 1}}},
    {"Off,1=1,2,3", {{"Off", 0}, {"1", 1}, {"2", 2}, {"3", 3}}},
    {"All=-1,1=0,2,3", {{"All", -1}, {"1", 0}, {"2", 1}, {"3", 2}}},
    {"-6=-6,-5,-4", {{"-6", -6}, {"-5", -5}, {"-4", -4}}},
    {"-48 (-4 Oct)=-48,-47,Zero (0)=0,Up 1",
     {{"-48 (-4 Oct)", -48}, {"-47", -47}, {"Zero (0)", 0}, {"Up 1", 1}}},
    {"A,B=5,C", {{"A", 0}, {"B", 5}, {"C", 6}}},
    {"Single", {{"Single", 0}}},
};

TEST(HostEnumList, EntriesDecodeBothWays)
{
    for (const ListCase &c : kLists) {
        SCOPED_TRACE(c.text);
        EnumList list = EnumList::parse(c.text);
        ASSERT_EQ(list.kind(), EnumList::Kind::Entries);
        ASSERT_EQ(list.entries().size(), c.entries.size());
        for (size_t i = 0; i < c.entries.size(); ++i) {
            EXPECT_EQ(list.entries()[i].label, c.entries[i].first);
            EXPECT_EQ(list.entries()[i].value, c.entries[i].second);
            EXPECT_EQ(list.value_of(c.entries[i].first), c.entries[i].second);
            EXPECT_EQ(list.label_of(c.entries[i].second), c.entries[i].first);
        }
    }
}

TEST(HostEnumList, MissesAnswerNothing)
{
    EnumList list = EnumList::parse("All=-1,1=0,2,3");
    EXPECT_FALSE(list.value_of("4"));
    EXPECT_FALSE(list.value_of("all")); // labels match exactly
    EXPECT_FALSE(list.label_of(3));
    EXPECT_FALSE(list.label_of(-2));
}

TEST(HostEnumList, PassedThroughKinds)
{
    EnumList autolist = EnumList::parse("{AUTO}");
    EXPECT_EQ(autolist.kind(), EnumList::Kind::Auto);
    EXPECT_EQ(autolist.text(), "{AUTO}");
    EXPECT_TRUE(autolist.entries().empty());
    EXPECT_FALSE(autolist.value_of("{AUTO}"));

    EnumList range = EnumList::parse("range:0,16383");
    EXPECT_EQ(range.kind(), EnumList::Kind::Range);
    EXPECT_EQ(range.range_min(), 0.0);
    EXPECT_EQ(range.range_max(), 16383.0);
    EXPECT_EQ(range.text(), "range:0,16383");

    EnumList audio = EnumList::parse("100,0,100,0", true);
    EXPECT_EQ(audio.kind(), EnumList::Kind::AudioRange);
    EXPECT_EQ(audio.numbers()[0], 100.0);
    EXPECT_EQ(audio.numbers()[2], 100.0);
    EXPECT_EQ(EnumList::parse("10,-10,10,-10", true).numbers()[1], -10.0);

    EXPECT_EQ(EnumList::parse("").kind(), EnumList::Kind::Empty);
}

TEST(HostEnumList, MalformedTextsAreHostErrors)
{
    const char *bad[] = {"A,,B", "A,", ",A", "A=x", "A=", "range:1", "range:a,b", "A=99999999999"};
    for (const char *text : bad) {
        SCOPED_TRACE(text);
        EXPECT_THROW(EnumList::parse(text), sehost::HostError);
    }
    EXPECT_THROW(EnumList::parse("1,2,3", true), sehost::HostError);
    EXPECT_THROW(EnumList::parse("1,2,x,4", true), sehost::HostError);
}

} // namespace
