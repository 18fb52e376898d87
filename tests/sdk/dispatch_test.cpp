// The DSP dispatcher: operations, results and the static ProcessInfo.
#include <gtest/gtest.h>

#include "sdk_support.h"

using namespace sdk_test;

TEST(SdkDispatch, UnlistedOperationsAnswerZero)
{
    sehost::DspInstance dsp(probe_library());
    dsp.open();
    for (int32_t op : {4, 5, 9, 11, 14, 99, -1, -100, INT32_MAX}) {
        SCOPED_TRACE(op);
        EXPECT_EQ(dsp.dispatch(op, 1, 2, nullptr, 3.0f), 0);
    }
}

TEST(SdkDispatch, SampleRateArrivesAsFloatInOpt)
{
    sehost::DspInstance dsp(probe_library());
    const float odd_rate = 48000.5f;
    EXPECT_EQ(dsp.dispatch(MOD_SET_SAMPLE_RATE, 0, 96000, nullptr, odd_rate), 0);
    EXPECT_EQ(dsp.dispatch(MOD_SET_BLOCK_SIZE, 0, 77, nullptr, 1.0f), 0);
    int32_t rates[2] = {0, 0};
    dsp.dispatch(MOD_MESSAGE, 0, PROBE_RATES, rates);
    float rate;
    std::memcpy(&rate, &rates[0], sizeof rate);
    EXPECT_EQ(rate, odd_rate); // bit for bit, the value argument ignored
    EXPECT_EQ(rates[1], 77);
}

TEST(SdkDispatch, DefaultRateAndBlockSizeUntilSet)
{
    sehost::DspInstance dsp(probe_library());
    int32_t rates[2] = {0, 0};
    dsp.dispatch(MOD_MESSAGE, 0, PROBE_RATES, rates);
    float rate;
    std::memcpy(&rate, &rates[0], sizeof rate);
    EXPECT_EQ(rate, 44100.0f);
    EXPECT_EQ(rates[1], 1024);
}

TEST(SdkDispatch, NotifyCallsValueHookOnlyForPositiveIndex)
{
    struct Case {
        int32_t index;
        size_t value_calls;
    } cases[] = {{0, 0}, {-3, 0}, {2, 1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.index);
        sehost::DspInstance dsp(probe_library());
        EXPECT_EQ(dsp.dispatch(MOD_NOTIFY, c.index), 0);
        EXPECT_EQ(hooks(dsp, HOOK_NOTIFY).size(), 1u);
        auto values = hooks(dsp, HOOK_NOTIFY_VALUE);
        ASSERT_EQ(values.size(), c.value_calls);
        if (c.value_calls == 1) {
            EXPECT_EQ(values[0].a, c.index);
        }
    }
}

TEST(SdkDispatch, PinPropertiesPastTheLastPinLeaveTheRecord)
{
    sehost::DspInstance dsp(probe_library());
    ASSERT_EQ(dsp.pins().size(), 5u);
    SEPinProperties p;
    std::memset(&p, 0xAB, sizeof p);
    EXPECT_EQ(dsp.dispatch(MOD_GET_PIN_PROPERTIES, 5, 0, &p), 0);
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(&p);
    for (size_t i = 0; i < sizeof p; ++i)
        EXPECT_EQ(bytes[i], 0xAB) << i;

    std::memset(&p, 0, sizeof p);
    EXPECT_EQ(dsp.dispatch(MOD_GET_PIN_PROPERTIES, 4, 0, &p), 1);
    EXPECT_STREQ(p.name, "Midi Out");
    EXPECT_EQ(p.flags, IO_REPEAT_LAST);
}

TEST(SdkDispatch, ProcessInfoIsOneStaticRecordPerLibrary)
{
    sehost::DspInstance a(probe_library());
    sehost::DspInstance b(probe_library());
    a.open();
    b.open();
    const auto ra = static_cast<uintptr_t>(static_cast<uint32_t>(a.dispatch(MOD_GET_PROCESS_INFO)));
    ASSERT_NE(ra, 0u);
    // The host reads the 32-bit answer; in a 64-bit build the full address
    // comes back through the raw entry.
    auto raw = [](sehost::DspInstance &d) {
        return reinterpret_cast<ProcessInfo *>(
            d.record()->dispatch(d.record(), MOD_GET_PROCESS_INFO, 0, 0, nullptr, 0.0f));
    };
    ProcessInfo *ia = raw(a);
    const intptr_t a_reference = ia->reference;
    EXPECT_EQ(ia->one, 1);
    EXPECT_EQ(ia->reference_size, static_cast<int32_t>(sizeof(se_process_entry)));
    EXPECT_EQ(ia->form, 0);
    // Word 2 names the instance's own m_process, which holds the entry.
    EXPECT_EQ(*reinterpret_cast<se_process_entry *>(a_reference), a.record()->process);

    ProcessInfo *ib = raw(b);
    EXPECT_EQ(ib, ia);
    EXPECT_NE(ib->reference, a_reference);
    EXPECT_EQ(*reinterpret_cast<se_process_entry *>(ib->reference), b.record()->process);
}

TEST(SdkDispatch, CloseAnswersOneAndCallsTheCloseHook)
{
    sehost::DspInstance dsp(probe_library());
    dsp.open();
    PlugRecord *rec = dsp.record();
    ASSERT_NE(rec, nullptr);
    dsp.close(); // the host checks the answer 1
    EXPECT_EQ(dsp.record(), nullptr);
}
