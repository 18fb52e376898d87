// The two exports and the records they hand out.
#include <gtest/gtest.h>

#include "sdk_support.h"

using namespace sdk_test;

namespace {
se_result SE_CALL silent_host(void *, int32_t, int32_t, int32_t, void *, float)
{
    return 0;
}
} // namespace

TEST(SdkExports, PropertiesOnlyForIndexZero)
{
    auto get = probe_library()->get_properties_fn();
    struct Case {
        int32_t index;
        int32_t answer;
    } cases[] = {{0, 1}, {1, 0}, {-1, 0}, {2, 0}, {INT32_MIN, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.index);
        ModuleProperties p;
        std::memset(&p, 0, sizeof p);
        EXPECT_EQ(get(c.index, &p), c.answer);
        if (c.answer == 1) {
            EXPECT_STREQ(p.name, "SDK Probe");
            EXPECT_EQ(p.sdk_revision, 2240);
            EXPECT_EQ(p.flags, 0);
        } else {
            EXPECT_EQ(p.name, nullptr);
        }
    }
}

TEST(SdkExports, MakeModuleRefusesWrongIndexOrType)
{
    auto make = probe_library()->make_module_fn();
    struct Case {
        int32_t index, type;
    } cases[] = {{0, 3}, {1, 1}, {-1, 1}, {0, 0}, {0, -1}, {1, 2}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.index << "," << c.type);
        EXPECT_EQ(make(c.index, c.type, &silent_host, nullptr), nullptr);
    }
}

TEST(SdkExports, DspRecordBytes)
{
    auto make = probe_library()->make_module_fn();
    int host_data = 0;
    void *a = make(0, SE_MAKE_DSP, &silent_host, &host_data);
    ASSERT_NE(a, nullptr);
    auto *rec = static_cast<PlugRecord *>(a);
    EXPECT_EQ(read_at<uint32_t>(a, 0), 0x5345507Bu);
    EXPECT_EQ(std::memcmp(a, "{PES", 4), 0);
    EXPECT_EQ(read_at<uint32_t>(a, 4), 1u);
    EXPECT_EQ(rec->host_data, &host_data);
    EXPECT_EQ(rec->reserved, 0);
    EXPECT_NE(rec->object, nullptr);
    EXPECT_NE(rec->dispatch, nullptr);
    EXPECT_NE(rec->process, nullptr);
    EXPECT_NE(rec->event, nullptr);
    const unsigned char *tail = rec->reserved2;
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(tail[i], 0) << i;
    if (k32) { // the contract's byte offsets
        EXPECT_EQ(read_at<uintptr_t>(a, 8), reinterpret_cast<uintptr_t>(&host_data));
        EXPECT_EQ(read_at<uintptr_t>(a, 12), reinterpret_cast<uintptr_t>(rec->object));
        EXPECT_EQ(read_at<uint32_t>(a, 16), 0u);
        EXPECT_EQ(read_at<uintptr_t>(a, 20), reinterpret_cast<uintptr_t>(rec->dispatch));
        EXPECT_EQ(read_at<uintptr_t>(a, 24), reinterpret_cast<uintptr_t>(rec->process));
        EXPECT_EQ(read_at<uintptr_t>(a, 28), reinterpret_cast<uintptr_t>(rec->event));
        for (size_t i = 32; i < 48; ++i)
            EXPECT_EQ(read_at<uint8_t>(a, i), 0) << i;
    }
    EXPECT_EQ(rec->dispatch(rec, MOD_CLOSE, 0, 0, nullptr, 0.0f), 1);
}

TEST(SdkExports, GuiRecordBytes)
{
    auto make = probe_library()->make_module_fn();
    int host_data = 0;
    void *a = make(0, SE_MAKE_GUI, &silent_host, &host_data);
    ASSERT_NE(a, nullptr);
    auto *rec = static_cast<GuiPlugRecord *>(a);
    EXPECT_EQ(read_at<uint32_t>(a, 0), 0x5345504Du);
    EXPECT_EQ(std::memcmp(a, "MPES", 4), 0);
    EXPECT_EQ(read_at<uint32_t>(a, 4), 1u);
    EXPECT_NE(rec->dispatcher, nullptr);
    EXPECT_EQ(rec->host_data, &host_data);
    EXPECT_NE(rec->object, nullptr);
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(rec->reserved[i], 0) << i;
    if (k32) {
        EXPECT_EQ(read_at<uintptr_t>(a, 8), reinterpret_cast<uintptr_t>(rec->dispatcher));
        EXPECT_EQ(read_at<uintptr_t>(a, 12), reinterpret_cast<uintptr_t>(&host_data));
        EXPECT_EQ(read_at<uintptr_t>(a, 16), reinterpret_cast<uintptr_t>(rec->object));
    }
    EXPECT_EQ(rec->dispatcher(rec, GUI_OP_CLOSE, 0, 0, nullptr, 0.0f), 1);
}
