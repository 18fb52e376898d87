// dsp_instance_test.cpp - the host driving a DSP side: pins, open, events at
// their stamps, stretches, sleep, requests and the faults it reports.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <limits>
#include <memory>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "dsp_measure.h"
#include "fixture_support.h"

using namespace host_test;
using sehost::DspInstance;
using sehost::HostError;

namespace {

uint64_t bits64(double x)
{
    uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

TEST(HostDspPins, DeclarationsAndDspNumbers)
{
    sehost::HostConfig config = small_blocks();
    config.repeat_copies = 2;
    DspInstance dsp(fixture(), config);
    const auto &pins = dsp.pins();
    ASSERT_EQ(pins.size(), 8u);
    const int expected_dsp[] = {0, 1, 2, 3, -1, 4, 5, 6};
    for (size_t i = 0; i < pins.size(); ++i)
        EXPECT_EQ(pins[i].dsp_index, expected_dsp[i]) << pins[i].name;
    EXPECT_EQ(pins[2].name, "Mode");
    EXPECT_EQ(*pins[2].default_value, "B");
    EXPECT_EQ(pins[2].list().value_of("C"), 6);
    EXPECT_FALSE(pins[6].default_value);
    EXPECT_EQ(pins[0].list().kind(), sehost::EnumList::Kind::AudioRange);
    EXPECT_EQ(dsp.pin_count(), 9);
    ASSERT_EQ(dsp.dsp_pins().size(), 9u);
    EXPECT_TRUE(dsp.dsp_pins()[8].copy);
    EXPECT_EQ(dsp.dsp_pins()[8].decl, 7);
    EXPECT_EQ(dsp.dsp_index("Out"), 5);
    EXPECT_THROW(dsp.dsp_index("Gui"), HostError);
    EXPECT_THROW(dsp.dsp_index("Nope"), HostError);
    dsp.open();
    EXPECT_EQ(log_of(dsp).pin_count, 9);
}

TEST(HostDspPins, RepeatsNeedARepeatableLastPin)
{
    // The fixture's last pin repeats; a count below the declarations cuts them.
    sehost::HostConfig config = small_blocks();
    config.pin_count = 3;
    DspInstance dsp(fixture(), config);
    EXPECT_EQ(dsp.dsp_pins().size(), 3u);
    EXPECT_EQ(dsp.pins()[5].dsp_index, -1);
}

TEST(HostDspOpen, SetUpThenValuesThenStatusesAtClockZero)
{
    DspInstance dsp(fixture(), small_blocks());
    dsp.set_value("Level", 0.25);
    dsp.set_source("In", [](uint32_t) { return 0.5f; });
    dsp.open();
    FixLog log = log_of(dsp);
    EXPECT_EQ(log.sample_rate, 48000.0f);
    EXPECT_EQ(log.block_size, 256);
    auto events = entries(dsp, FIX_EVENT);
    ASSERT_EQ(events.size(), 5u); // In, Level, Mode, Flag, Both
    const int32_t expected_status[] = {STATUS_STREAMING, STATUS_STILL, STATUS_STILL, STATUS_STILL,
                                       STATUS_STILL};
    for (size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].clock, 0u);
        EXPECT_EQ(events[i].a, EV_PIN_STATUS);
        EXPECT_EQ(events[i].b, expected_status[i]);
        EXPECT_EQ(events[i].c, static_cast<int32_t>(i));
    }
    // every value is in place before the first status
    EXPECT_EQ(events[0].level, 0.25f);
    EXPECT_EQ(events[0].mode, 5); // default "B" through the list
    EXPECT_EQ(events[0].flag, 1);
    EXPECT_EQ(events[0].both, 0);
    EXPECT_THROW(dsp.open(), HostError);
}

TEST(HostDspRun, ValueChangeSplitsTheBlockAtItsStamp)
{
    DspInstance dsp(fixture(), small_blocks());
    dsp.set_source("In", [](uint32_t clock) { return clock < 256 ? 0.1f : 0.3f; });
    dsp.capture("Out");
    dsp.open();
    dsp.set_value("Level", 2.0, 100);
    dsp.run(512);
    auto process = entries(dsp, FIX_PROCESS);
    ASSERT_EQ(process.size(), 3u);
    EXPECT_EQ(process[0].clock, 0u);
    EXPECT_EQ(process[0].a, 0);
    EXPECT_EQ(process[0].b, 100);
    EXPECT_EQ(process[1].clock, 100u);
    EXPECT_EQ(process[1].a, 100);
    EXPECT_EQ(process[1].b, 156);
    EXPECT_EQ(process[2].clock, 256u);
    EXPECT_EQ(process[2].a, 0);
    EXPECT_EQ(process[2].c, 256); // HOST_GET_BUFFER_START: clock of element 0
    auto events = entries(dsp, FIX_EVENT);
    ASSERT_EQ(events.size(), 6u);
    EXPECT_EQ(events[5].clock, 100u);
    EXPECT_EQ(events[5].b, STATUS_CHANGED);
    EXPECT_EQ(events[5].c, 1);
    EXPECT_EQ(events[5].level, 2.0f);
    const auto &out = dsp.captured("Out");
    ASSERT_EQ(out.size(), 512u);
    EXPECT_FLOAT_EQ(out[99], 0.05f);
    EXPECT_FLOAT_EQ(out[100], 0.2f);
    EXPECT_FLOAT_EQ(out[300], 0.6f);
    EXPECT_EQ(dsp.clock(), 512u);
    EXPECT_EQ(dsp.process_calls(), 3u);
}

TEST(HostDspRun, AudioValueHoldsFromItsClock)
{
    DspInstance dsp(fixture(), small_blocks());
    dsp.set_value("Level", 1.0);
    dsp.capture("Out");
    dsp.open();
    dsp.set_value("In", 0.7, 10);
    dsp.run(512);
    const auto &out = dsp.captured("Out");
    EXPECT_EQ(out[9], 0.0f);
    EXPECT_EQ(out[10], 0.7f);
    EXPECT_EQ(out[256], 0.7f); // held in later blocks
    EXPECT_EQ(out[511], 0.7f);
    float *in = dsp.input("In"); // filled by hand from here on
    std::iota(in, in + 256, 0.0f);
    dsp.run_block();
    EXPECT_EQ(out[512 + 3], 3.0f);
    dsp.run_block();
    EXPECT_EQ(out[768 + 200], 200.0f); // the host leaves a hand-filled buffer alone
    EXPECT_THROW(dsp.output("In"), HostError);
    EXPECT_THROW(dsp.input("Out"), HostError);
}

// A source fills each block once, before the block runs, whatever the block
// is split into; set after open it fills the rest of the current block at
// once; a value set later in a block takes over from its clock.  The
// per-sample form gives the same samples.
TEST(HostDspRun, SourceFillsEachBlockOnceFromWhereItStarts)
{
    struct Case {
        uint32_t set_at;   // clock at which the source is set (held 0.25 before)
        uint32_t value_at; // clock of a held 0.75, or past the run
        std::vector<int32_t> split;
    };
    const uint32_t kRun = 1024, kBlock = 256;
    const Case cases[] = {{0, kRun, {}},  {0, 300, {7, 50}}, {100, kRun, {}},
                          {256, 700, {}}, {100, 130, {3}},   {511, 512, {1, 255}}};
    auto shape = [](uint32_t c) { return static_cast<float>(c % 997) / 1024.0f; };
    for (const Case &c : cases) {
        for (bool per_sample : {false, true}) {
            SCOPED_TRACE(::testing::Message() << "set at " << c.set_at << ", value at "
                                              << c.value_at << (per_sample ? ", per sample" : ""));
            DspInstance dsp(fixture(), small_blocks());
            dsp.set_value("Level", 1.0);
            dsp.set_value("In", 0.25);
            dsp.capture("Out");
            dsp.open();
            if (!c.split.empty())
                dsp.split_lengths(c.split);
            dsp.run(c.set_at);
            std::vector<std::pair<uint32_t, uint32_t>> fills;
            if (per_sample)
                dsp.set_source("In", [&](uint32_t clock) {
                    fills.emplace_back(clock, 1);
                    return shape(clock);
                });
            else
                dsp.set_source(
                    "In", DspInstance::SourceFill([&](uint32_t first, uint32_t count, float *out) {
                        fills.emplace_back(first, count);
                        for (uint32_t i = 0; i < count; ++i)
                            out[i] = shape(first + i);
                    }));
            if (c.value_at < kRun)
                dsp.set_value("In", 0.75, c.value_at);
            dsp.run(kRun - c.set_at);

            const auto &out = dsp.captured("Out");
            ASSERT_EQ(out.size(), kRun);
            for (uint32_t k = 0; k < kRun; ++k) {
                const float want = k < c.set_at ? 0.25f : k < c.value_at ? shape(k) : 0.75f;
                ASSERT_EQ(out[k], want) << "clock " << k;
            }
            // The fills asked for: the rest of the block at set_source, then
            // every later block up to the one in which the value cut it.
            std::vector<std::pair<uint32_t, uint32_t>> want_fills;
            const uint32_t end_of_set = c.set_at - c.set_at % kBlock + kBlock;
            want_fills.emplace_back(c.set_at, end_of_set - c.set_at);
            uint32_t start = c.set_at % kBlock == 0 ? c.set_at : end_of_set;
            for (; start < kRun && start <= c.value_at; start += kBlock)
                want_fills.emplace_back(start, kBlock);
            if (per_sample) { // the same clocks one at a time
                std::vector<std::pair<uint32_t, uint32_t>> one_by_one;
                for (auto [first, count] : want_fills)
                    for (uint32_t i = 0; i < count; ++i)
                        one_by_one.emplace_back(first + i, 1);
                want_fills = one_by_one;
            }
            EXPECT_EQ(fills, want_fills);
        }
    }
}

TEST(HostDspRun, EqualStampsKeepQueueOrderAndLaterBlocksWait)
{
    DspInstance dsp(fixture(), small_blocks());
    dsp.open();
    dsp.queue_midi(300, SE_MIDI_PACK(0x90, 1, 2), static_cast<int32_t>(0xFFFF8001u));
    dsp.queue_patch_change(300);
    dsp.queue_midi(300, SE_MIDI_PACK(0x80, 1, 0));
    dsp.run_block();
    EXPECT_EQ(entries(dsp, FIX_EVENT).size(), 5u); // only the start-up statuses
    dsp.run_block();
    auto events = entries(dsp, FIX_EVENT);
    ASSERT_EQ(events.size(), 8u);
    EXPECT_EQ(events[5].a, EV_MIDI);
    EXPECT_EQ(events[5].b, SE_MIDI_PACK(0x90, 1, 2));
    EXPECT_EQ(events[6].a, EV_PATCH_CHANGE);
    EXPECT_EQ(events[7].b, SE_MIDI_PACK(0x80, 1, 0));
    for (size_t i = 5; i < 8; ++i)
        EXPECT_EQ(events[i].clock, 300u);
    EXPECT_THROW(dsp.queue_patch_change(100), HostError); // in the past
}

// Taking an event off the queue does not depend on how many wait behind
// it: 300,000 at one clock pass in a fraction of a second (taken off the
// front of a sorted list one at a time, they took minutes), in the order
// they were queued, also when earlier ones arrive after later ones.
TEST(HostDspRun, ManyWaitingEventsPassInLinearTime)
{
    DspInstance dsp(fixture(), small_blocks());
    dsp.open();
    constexpr int32_t kEvents = 300000;
    for (int32_t k = 0; k < kEvents; ++k)
        dsp.queue_midi(k < 100 ? 300 : 299, k);
    const auto t0 = std::chrono::steady_clock::now();
    dsp.run(512);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    FixLog log = log_of(dsp);
    EXPECT_EQ(log.events, 5 + kEvents); // the start-up statuses, then the queue
    EXPECT_LT(seconds, 5.0);
    auto events = entries(dsp, FIX_EVENT);
    ASSERT_GT(events.size(), 10u);
    for (size_t i = 5; i < events.size(); ++i) {
        EXPECT_EQ(events[i].b, static_cast<int32_t>(100 + i - 5));
        EXPECT_EQ(events[i].clock, 299u);
    }
}

TEST(HostDspRun, SleepStopsProcessCallsUntilTheNextEvent)
{
    DspInstance dsp(fixture(), small_blocks());
    dsp.set_value("Level", 1.0);
    dsp.set_value("In", 0.4);
    dsp.open();
    misbehave(dsp, FIX_DO_SLEEP);
    dsp.run(1024);
    EXPECT_EQ(dsp.process_calls(), 1u);
    EXPECT_TRUE(dsp.asleep());
    EXPECT_EQ(dsp.sleeps(), std::vector<uint32_t>{0});
    EXPECT_EQ(dsp.output("Out")[200], 0.4f); // kept while asleep
    dsp.queue_patch_change(1100);
    dsp.run(256);
    auto process = entries(dsp, FIX_PROCESS);
    ASSERT_EQ(process.size(), 2u);
    EXPECT_EQ(process[1].clock, 1100u);
    EXPECT_EQ(process[1].a, 1100 - 1024);
}

TEST(HostDspRun, PostedEventsArriveAtTheirStamp)
{
    DspInstance dsp(fixture(), small_blocks());
    dsp.open();
    dsp.split_lengths({4});
    misbehave(dsp, FIX_DO_POST_AHEAD); // posts at clock + 10 from the stretch at 0
    dsp.run(20);
    auto events = entries(dsp, FIX_EVENT);
    ASSERT_EQ(events.size(), 6u);
    EXPECT_EQ(events[5].a, EV_PATCH_CHANGE); // the host copied it before the module spoiled it
    EXPECT_EQ(events[5].clock, 10u);
    auto process = entries(dsp, FIX_PROCESS);
    ASSERT_EQ(process.size(), 6u); // 0-4, 4-8, 8-10 | 10-12, 12-16, 16-20
    EXPECT_EQ(process[2].a, 8);
    EXPECT_EQ(process[2].b, 2);
    EXPECT_EQ(process[3].a, 10);
    EXPECT_EQ(process[3].b, 2);
}

TEST(HostDspRun, RequestsAreRecordedWithTheirClocks)
{
    sehost::HostConfig config = small_blocks();
    config.repeat_copies = 1;
    DspInstance dsp(fixture(), config);
    int32_t gui_value = 0;
    dsp.on_send_to_gui = [&](int32_t, int32_t v) { gui_value = v; };
    dsp.open();
    dsp.run(40);
    misbehave(dsp, FIX_DO_ANNOUNCE);
    dsp.run(10);
    auto statuses = dsp.statuses();
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0].pin, 5);
    EXPECT_EQ(statuses[0].stamp, 43u);
    EXPECT_EQ(statuses[0].clock, 40u);
    EXPECT_FALSE(statuses[0].value); // audio pins carry no variable value
    auto midi = dsp.midi_out();
    ASSERT_EQ(midi.size(), 2u);
    EXPECT_EQ(midi[0].pin, 6);
    EXPECT_EQ(midi[0].message, SE_MIDI_PACK(0x90, 60, 100));
    EXPECT_EQ(midi[0].stamp, 40u);
    EXPECT_EQ(midi[1].pin, 7);
    EXPECT_EQ(midi[1].stamp, 41u);
    EXPECT_EQ(dsp.gui_messages(), std::vector<int32_t>{995});
    EXPECT_EQ(gui_value, 995);
    EXPECT_TRUE(dsp.errors().empty());
}

// Queries are counted, and recorded only when asked for; what the module
// announces is always recorded, in call order.  A clear forgets both.
TEST(HostDspRun, QueriesAreCountedAndRecordedOnlyWhenAsked)
{
    const int32_t announced[] = {HOST_SET_PIN_STATUS, HOST_SEND_MIDI, HOST_SEND_MIDI,
                                 HOST_SEND_TO_GUI};
    // This process call asks for the buffer start and twice for the clock first.
    const int32_t everything[] = {
        HOST_GET_BUFFER_START, HOST_GET_SAMPLE_CLOCK, HOST_GET_SAMPLE_CLOCK, HOST_SET_PIN_STATUS,
        HOST_SEND_MIDI,        HOST_SEND_MIDI,        HOST_SEND_TO_GUI};
    for (bool record_queries : {false, true}) {
        SCOPED_TRACE(record_queries ? "queries recorded" : "queries counted");
        sehost::HostConfig config = small_blocks();
        config.record_queries = record_queries;
        config.repeat_copies = 1; // the second MIDI pin
        DspInstance dsp(fixture(), config);
        dsp.open();
        dsp.run(40);
        EXPECT_GT(dsp.count(HOST_GET_SAMPLE_CLOCK), 0u);
        dsp.clear_requests();
        EXPECT_EQ(dsp.count(HOST_GET_SAMPLE_CLOCK), 0u);
        misbehave(dsp, FIX_DO_ANNOUNCE);
        dsp.run(10);
        std::vector<int32_t> ops;
        for (const sehost::Request &r : dsp.requests())
            ops.push_back(r.op);
        if (record_queries)
            EXPECT_EQ(ops, std::vector<int32_t>(std::begin(everything), std::end(everything)));
        else
            EXPECT_EQ(ops, std::vector<int32_t>(std::begin(announced), std::end(announced)));
        EXPECT_EQ(dsp.count(HOST_GET_BUFFER_START), 1u);
        EXPECT_EQ(dsp.count(HOST_GET_SAMPLE_CLOCK), 2u);
        EXPECT_EQ(dsp.count(HOST_SEND_MIDI), 2u);
        EXPECT_EQ(dsp.count(HOST_SLEEP), 0u);
    }
}

// A request's carried value keeps every number a pin variable can hold, bit
// for bit (a float's NaN included); "none" is told apart from all of them.
TEST(HostDspRun, ACarriedValueKeepsItsBits)
{
    const double values[] = {0.0,
                             -0.0,
                             -32768.0,
                             2147483647.0,
                             double(1e-45f),
                             double(std::numeric_limits<float>::infinity()),
                             double(std::numeric_limits<float>::quiet_NaN()),
                             double(-std::numeric_limits<float>::quiet_NaN())};
    for (double v : values) {
        sehost::OptionalValue carried(std::optional<double>{v});
        ASSERT_TRUE(carried.has_value()) << v;
        EXPECT_EQ(bits64(*carried), bits64(v)) << v;
        ASSERT_TRUE(carried.get());
        EXPECT_EQ(bits64(*carried.get()), bits64(v)) << v;
    }
    EXPECT_FALSE(sehost::OptionalValue().has_value());
    EXPECT_FALSE(sehost::OptionalValue(std::nullopt));
    EXPECT_FALSE(sehost::OptionalValue(std::optional<double>{}).get());
}

// Each request reaches the instance whose record made it, whatever the
// order of the instances' calls, and an instance made after another was
// destroyed (its record often at the freed address) gets its own requests.
TEST(HostDspRun, RequestsReachTheirOwnInstance)
{
    auto announce = [](DspInstance &dsp) {
        misbehave(dsp, FIX_DO_ANNOUNCE);
        dsp.run(10);
    };
    auto made = [](DspInstance &dsp) {
        return std::make_pair(dsp.statuses().size(), dsp.midi_out().size());
    };
    sehost::HostConfig config = small_blocks();
    config.repeat_copies = 1; // the MIDI pins the fixture announces on
    auto a = std::make_unique<DspInstance>(fixture(), config);
    DspInstance b(fixture(), config);
    a->open();
    b.open();
    const void *a_record = a->record();
    announce(*a);
    announce(b);
    announce(*a);
    EXPECT_EQ(made(*a), std::make_pair(size_t{2}, size_t{4}));
    EXPECT_EQ(made(b), std::make_pair(size_t{1}, size_t{2}));
    a.reset();
    for (int k = 0; k < 4; ++k) {
        DspInstance c(fixture(), config);
        c.open();
        announce(c);
        announce(c);
        EXPECT_EQ(made(c), std::make_pair(size_t{2}, size_t{4}))
            << "instance " << k << ", record " << (c.record() == a_record ? "reused" : "new");
        EXPECT_TRUE(c.errors().empty());
    }
    EXPECT_EQ(made(b), std::make_pair(size_t{1}, size_t{2}));
    EXPECT_TRUE(b.errors().empty());
    EXPECT_TRUE(sehost::orphan_errors().empty());
}

TEST(HostDspRun, ProcessEntryIsReadBeforeEveryCall)
{
    DspInstance dsp(fixture(), small_blocks());
    dsp.open();
    misbehave(dsp, FIX_DO_SWITCH_PROCESS);
    dsp.run(10);
    dsp.queue_patch_change(20);
    dsp.run(30);
    EXPECT_EQ(dsp.process_changes(), std::vector<uint32_t>{0});
    EXPECT_EQ(entries(dsp, FIX_PROCESS).size(), 1u);
    auto second = entries(dsp, FIX_PROCESS2);
    ASSERT_EQ(second.size(), 2u);
    EXPECT_EQ(second[0].clock, 10u);
    EXPECT_EQ(second[1].clock, 20u);
}

TEST(HostDspRun, CustomSplitsCoverTheBlockExactly)
{
    DspInstance dsp(fixture(), small_blocks());
    dsp.open();
    dsp.split_lengths({3, 5});
    dsp.run(16);
    auto process = entries(dsp, FIX_PROCESS);
    ASSERT_EQ(process.size(), 4u);
    EXPECT_EQ(process[1].a, 3);
    EXPECT_EQ(process[1].b, 5);
    EXPECT_EQ(process[3].a, 11);
    EXPECT_EQ(process[3].b, 5);

    DspInstance random(fixture(), small_blocks());
    random.open();
    random.split_random(7, 40);
    random.run(512);
    auto stretches = entries(random, FIX_PROCESS);
    int32_t expected_start = 0;
    int64_t total = 0;
    for (const FixEntry &e : stretches) {
        EXPECT_EQ(e.a, expected_start);
        EXPECT_LE(e.b, 40);
        expected_start = (e.a + e.b) % 256;
        total += e.b;
    }
    EXPECT_EQ(total, 512);
    EXPECT_GT(stretches.size(), 512u / 40u);
}

struct FaultCase {
    int32_t action;
    const char *text;
};

TEST(HostDspFaults, BadRequestsAreReportedNotObeyed)
{
    const FaultCase cases[] = {
        {FIX_DO_BAD_PIN, "no such DSP pin"},
        {FIX_DO_POST_PAST, "lies in the past"},
        {FIX_DO_SPILL, "outside its buffer"},
        {FIX_DO_SPILL_FAR, "outside its buffer"},
    };
    for (const FaultCase &c : cases) {
        SCOPED_TRACE(c.text);
        DspInstance strict(fixture(), small_blocks());
        strict.open();
        strict.run(10);
        misbehave(strict, c.action);
        try {
            strict.run(10);
            ADD_FAILURE() << "no HostError";
        } catch (const HostError &e) {
            EXPECT_NE(std::string(e.what()).find(c.text), std::string::npos) << e.what();
        }
        EXPECT_EQ(strict.clock(), 20u); // the faulty stretch is not run again

        sehost::HostConfig lenient = small_blocks();
        lenient.throw_on_module_error = false;
        DspInstance dsp(fixture(), lenient);
        dsp.open();
        dsp.run(10);
        misbehave(dsp, c.action);
        dsp.run(300);
        ASSERT_EQ(dsp.errors().size(), 1u);
        EXPECT_NE(dsp.errors()[0].find(c.text), std::string::npos) << dsp.errors()[0];
        EXPECT_EQ(entries(dsp, FIX_EVENT).size(), 5u); // a past event is never delivered
    }
}

// The whole text of each kind of request fault: the library, the request,
// its index and clock, then why.  Requests are made as from inside a process
// call at clock 10; the past stamp comes from the fixture itself.
TEST(HostDspFaults, RequestFaultsAreToldInFull)
{
    struct TextCase {
        int32_t op, index, value;
        const char *tail;
    };
    const TextCase cases[] = {
        {HOST_SET_PIN_STATUS, 99, STATUS_CHANGED,
         "HOST_SET_PIN_STATUS (index 99) at clock 10: no such DSP pin (the instance has 7)"},
        {HOST_SET_PIN_STATUS, 5, 7, "HOST_SET_PIN_STATUS (index 5) at clock 10: unknown status 7"},
        {HOST_SEND_MIDI, 5, 0x90, "HOST_SEND_MIDI (index 5) at clock 10: not a MIDI output"},
        {HOST_GET_PIN_BUFFER, -1, 0,
         "HOST_GET_PIN_BUFFER (index -1) at clock 10: no such DSP pin (the instance has 7)"},
    };
    sehost::HostConfig lenient = small_blocks();
    lenient.throw_on_module_error = false;
    for (const TextCase &c : cases) {
        SCOPED_TRACE(c.tail);
        DspInstance dsp(fixture(), lenient);
        dsp.open();
        dsp.run(10);
        dsp.clear_requests();
        sehost::DspMeasure::requests_in_process(dsp, c.op, c.index, c.value, 1);
        ASSERT_EQ(dsp.errors().size(), 1u);
        EXPECT_EQ(dsp.errors()[0], dsp.library().path() + ": " + c.tail);
        EXPECT_EQ(dsp.count(c.op), 1u); // counted all the same
    }
    DspInstance dsp(fixture(), lenient);
    dsp.open();
    dsp.run(10);
    misbehave(dsp, FIX_DO_POST_PAST);
    dsp.run(1);
    ASSERT_EQ(dsp.errors().size(), 1u);
    EXPECT_EQ(dsp.errors()[0], dsp.library().path() +
                                   ": HOST_POST_EVENT (index 0) at clock 10: event stamped 9 "
                                   "lies in the past");
}

// Requests made as from a process call carry the stamps clock + k in order.
TEST(HostDspRequests, RequestsInProcessAreStampedFromTheClock)
{
    DspInstance dsp(fixture(), small_blocks());
    dsp.open();
    dsp.run(20);
    dsp.clear_requests();
    sehost::DspMeasure::requests_in_process(dsp, HOST_SET_PIN_STATUS, dsp.dsp_index("Out"),
                                            STATUS_CHANGED, 3);
    const auto statuses = dsp.statuses();
    ASSERT_EQ(statuses.size(), 3u);
    for (uint32_t k = 0; k < 3; ++k) {
        EXPECT_EQ(statuses[k].stamp, 20u + k);
        EXPECT_EQ(statuses[k].clock, 20u);
    }
    EXPECT_TRUE(dsp.errors().empty());
}

// After each stretch the host checks the guard word next to each end of
// every buffer, which puts an overrun by one on the call that made it; the
// whole guard zones are checked at the end of each block (and before run()
// returns), which catches a write further out by the end of its block.
// A throw of the host's own handler inside a request is raised once the
// module's call has returned: the stretch is done and counted.
TEST(HostDspFaults, AHandlersThrowIsRaisedAfterTheStretch)
{
    DspInstance dsp(fixture(), small_blocks());
    dsp.open();
    dsp.on_send_to_gui = [](int32_t, int32_t) { throw HostError("handler failed"); };
    misbehave(dsp, FIX_DO_ANNOUNCE); // its last request sends to the GUI
    try {
        dsp.run(10);
        ADD_FAILURE() << "the handler's throw was lost";
    } catch (const HostError &e) {
        EXPECT_STREQ(e.what(), "handler failed");
    }
    EXPECT_EQ(dsp.clock(), 10u);
    EXPECT_EQ(dsp.process_calls(), 1u);
    dsp.on_send_to_gui = nullptr;
    dsp.run(10); // nothing is left to raise
    EXPECT_EQ(dsp.clock(), 20u);
    EXPECT_EQ(dsp.count(HOST_SEND_TO_GUI), 1u);
}

TEST(HostDspFaults, GuardNextToTheBufferPerStretchWholeZonePerBlock)
{
    const struct {
        int32_t action;
        uint32_t clock_after;
    } cases[] = {{FIX_DO_SPILL, 14}, {FIX_DO_SPILL_FAR, 256}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.action);
        DspInstance dsp(fixture(), small_blocks());
        dsp.open();
        dsp.run(10);
        dsp.split_lengths({4});
        misbehave(dsp, c.action);
        EXPECT_THROW(dsp.run(500), HostError);
        ASSERT_EQ(dsp.errors().size(), 1u);
        EXPECT_EQ(dsp.clock(), c.clock_after) << dsp.errors()[0];
        dsp.run(500); // the guards were restored: nothing more to report
        EXPECT_EQ(dsp.errors().size(), 1u);
    }
}

// Every word of both zones counts, at any zone size: a write next to the
// buffer is told after the stretch, one further out by the end of the block;
// either is told once and the zone restored.
TEST(HostDspFaults, EveryWordOfEitherGuardZoneIsChecked)
{
    for (int32_t guard : {1, 7, 8, 13, 64}) {
        sehost::HostConfig config = small_blocks();
        config.guard_samples = guard;
        DspInstance dsp(fixture(), config);
        dsp.open();
        dsp.split_lengths({4});
        float *buffers[] = {dsp.input("In"), dsp.output("Out")};
        const int32_t bs = config.block_size;
        for (float *buf : buffers)
            for (int32_t at = -guard; at < bs + guard; at = at == -1 ? bs : at + 1) {
                SCOPED_TRACE("guard " + std::to_string(guard) + ", word " + std::to_string(at));
                const size_t before = dsp.errors().size();
                const uint32_t start = dsp.clock();
                buf[at] = 0.25f; // what a module's stray write would leave
                EXPECT_THROW(dsp.run(uint32_t(bs)), HostError);
                const bool next_to_it = at == -1 || at == bs;
                EXPECT_EQ(dsp.clock(), start + (next_to_it ? 4u : uint32_t(bs)));
                ASSERT_EQ(dsp.errors().size(), before + 1);
                EXPECT_NE(dsp.errors()[before].find("outside its buffer"), std::string::npos);
                dsp.run_until(start + 2 * uint32_t(bs));
                EXPECT_EQ(dsp.errors().size(), before + 1);
            }
    }
}

TEST(HostDspClose, CloseOnceThenNothingReachesTheObject)
{
    DspInstance dsp(fixture(), small_blocks());
    dsp.open();
    dsp.close();
    EXPECT_EQ(dsp.record(), nullptr);
    EXPECT_THROW(dsp.dispatch(MOD_MESSAGE), HostError);
    EXPECT_THROW(dsp.run(1), HostError);
    EXPECT_NO_THROW(dsp.close());
}

} // namespace
