// pulse_counter - counts cycles of an audio input and sends a 0-based index.
//
// Every rise of the input from zero-or-below to above zero is one cycle.  For
// each cycle the module sends its current index on "Index:Count" (a choice
// output that drives a switch or choice module directly) and then moves the
// index by the rule of the counting mode.  Sends are time-stamped with a
// random "humanise" delay plus a fixed delay, both in milliseconds.
//
// Positions are 16-bit signed and 0-based: Start 1 is index 0.  The two
// pseudo-random generators are 32-bit xor/add pairs that wrap modulo 2^32.
#include <cmath>
#include <cstdint>
#include <iterator>

#include "SEGUI_base.h"
#include "SEModule_base.h"
#include "se_module_exports.h"
#include "se_pin_table.h"
#include "se_sleep.h"
#include "counter_math.h"

namespace {

using namespace pulse_counter;

// Choice lists: each entry shows its own number.
#define PC_LIST_1_TO_31                                                                            \
    "1=1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31"
#define PC_LIST_1_TO_64                                                                            \
    PC_LIST_1_TO_31 ",32,33,34,35,36,37,38,39,40,41,42,43,44,45,46,47,48,49,50,51,52,53,54,55,"    \
                    "56,57,58,59,60,61,62,63,64"
constexpr const char *kPositionList = PC_LIST_1_TO_64;     // Start, End: 1..64
constexpr const char *kStepList = PC_LIST_1_TO_31;         // Step: 1..31
constexpr const char *kResetList = "Off," PC_LIST_1_TO_64; // Reset (to): Off = 0, 1..64
constexpr const char *kModeList = "Forward,Back,Fwd+Back,Back+Fwd,Random,Fwd+Back2,Back+Fwd2";
constexpr const char *kActiveList = "OFF,ON";
#undef PC_LIST_1_TO_64
#undef PC_LIST_1_TO_31

// The ranges of those lists.  A wired input can carry any 16-bit value; it is
// clamped into its list range where it is read.
const int16_t kPositionMax = 64;
const int16_t kStepMax = 31;

enum Mode : int16_t {
    kForward = 0,
    kBack = 1,
    kFwdBack = 2,
    kBackFwd = 3,
    kRandom = 4,
    kFwdBack2 = 5,
    kBackFwd2 = 6,
};

} // namespace

class Module : public SEModule_base
{
    // ---- pins ----------------------------------------------------------------
    enum Pin : int32_t {
        kIn,
        kStart,
        kEnd,
        kStep,
        kMode,
        kResetTo,
        kIndexOut,
        kActive,
        kSeed,
        kHumanise,
        kShift,
        kPinCount
    };

    float *m_in = nullptr;
    int16_t m_start = 0;
    int16_t m_end = 0;
    int16_t m_step = 0;
    int16_t m_mode = 0;
    int16_t m_reset_to = 0;
    int16_t m_index = -1;
    int16_t m_active = 0;
    float *m_seed_in = nullptr;
    float *m_humanise_in = nullptr;
    float *m_shift_in = nullptr;

    static constexpr se_sdk::PinSpec kPins[] = {
        {"Pulse/Osc In", DR_IN, DT_FSAMPLE, SE_FIELD(Module, m_in), nullptr, nullptr, 0},
        {"Start", DR_IN, DT_CHOICE, SE_FIELD(Module, m_start), "1", kPositionList, 0},
        {"End", DR_IN, DT_CHOICE, SE_FIELD(Module, m_end), "8", kPositionList, 0},
        {"Step", DR_IN, DT_CHOICE, SE_FIELD(Module, m_step), "1", kStepList, 0},
        {"Mode", DR_IN, DT_CHOICE, SE_FIELD(Module, m_mode), "0", kModeList, 0},
        {"Reset (to)", DR_IN, DT_CHOICE, SE_FIELD(Module, m_reset_to), "0", kResetList, 0},
        {"Index:Count", DR_OUT, DT_CHOICE, SE_FIELD(Module, m_index), nullptr, nullptr, 0},
        {"Active", DR_IN, DT_CHOICE, SE_FIELD(Module, m_active), "0", kActiveList, 0},
        {"Random Seed (ratio)", DR_IN, DT_FSAMPLE, SE_FIELD(Module, m_seed_in), "1.0", nullptr, 0},
        {"Humanise (ms)", DR_IN, DT_FSAMPLE, SE_FIELD(Module, m_humanise_in), "0.0", "100,0,100,0",
         0},
        {"Shift/Delay (ms) +ve only", DR_IN, DT_FSAMPLE, SE_FIELD(Module, m_shift_in), "0.0",
         "500,0,500,0", 0},
    };
    static_assert(std::size(kPins) == kPinCount, "one name per pin");

public:
    Module(se_host_callback callback, void *host_data) : SEModule_base(callback, host_data) {}

    bool QueryPinProperties(int32_t number, SEPinProperties *p) override
    {
        return se_sdk::describe_pin(kPins, number, this, p);
    }

    void Open() override
    {
        SEModule_base::Open();
        m_sleep_reload = BlockSize() + 1;
        m_time_scale = static_cast<float>(SampleRate() * 0.01); // samples per 10 ms
        InstallProcess<&Module::process_forward>();
        m_out_pin = PinAt(kIndexOut);

        m_random_x = kRandomX0;
        m_random_y = kRandomY0;
        m_timing_x = kTimingX0;
        m_timing_y = kTimingY0;
        m_prev_sample = 0xFFFFFFFFu; // negative: a first positive sample is a cycle
        m_index = -1;
        m_phase = -1;
        m_start = -1; // placeholders until the host delivers the pin values
        m_end = 1;
        m_mirror = 1;
    }

    void OnPinStatusChange(SEPin *pin) override
    {
        switch (pin->PinIndex()) {
        case kIn:
            m_in_status = pin->Status();
            break;
        case kStart:
        case kEnd:
            setup_range();
            setup_step();
            break;
        case kStep:
            setup_step();
            break;
        case kMode:
            setup_mode();
            break;
        case kResetTo:
            apply_reset();
            break;
        case kActive:
            if (m_active != 0)
                setup_mode();
            else
                m_prev_sample = 1; // positive: the input must fall before a cycle counts
            break;
        case kSeed:
            reseed();
            break;
        default: // kIndexOut, kHumanise, kShift
            break;
        }
        m_sleep_enabled = (m_in_status == STATUS_STREAMING && m_active != 0) ? 0 : 1;
        m_sleep.restart(m_sleep_reload);
    }

    // ---- process functions, one per counting rule --------------------------
    void process_forward(int32_t start, int32_t count)
    {
        run<&Module::count_forward>(start, count);
    }
    void process_back(int32_t start, int32_t count) { run<&Module::count_back>(start, count); }
    void process_bounce(int32_t start, int32_t count) { run<&Module::count_bounce>(start, count); }
    void process_random(int32_t start, int32_t count) { run<&Module::count_random>(start, count); }
    void process_mirror(int32_t start, int32_t count) { run<&Module::count_mirror>(start, count); }

private:
    // ---- set-up on pin changes ----------------------------------------------
    void setup_range()
    {
        const int16_t start = clamp16(m_start, 1, kPositionMax);
        const int16_t end = clamp16(m_end, 1, kPositionMax);
        // Start above End describes the same range as End above Start.
        m_low = static_cast<int16_t>((end < start ? end : start) - 1);
        m_high = static_cast<int16_t>((end < start ? start : end) - 1);
        m_wrap = static_cast<int16_t>(2 * m_high - m_low + 1);
        m_mirror = static_cast<int16_t>(2 * m_high + 1);
    }

    void setup_step()
    {
        const int16_t step = clamp16(m_step, 1, kStepMax);
        // A step wider than the range freezes the counter.
        m_stride = (m_high - m_low >= step) ? step : int16_t(0);
        // A bouncing counter keeps its direction; 0 becomes downward.
        m_direction = m_direction > 0 ? m_stride : static_cast<int16_t>(-m_stride);
    }

    void setup_mode()
    {
        switch (m_mode) {
        case kForward:
            start_at(m_low, m_stride);
            InstallProcess<&Module::process_forward>();
            break;
        case kBack:
            start_at(m_high, static_cast<int16_t>(-m_stride));
            InstallProcess<&Module::process_back>();
            break;
        case kFwdBack:
            start_at(m_low, m_stride);
            InstallProcess<&Module::process_bounce>();
            break;
        case kBackFwd:
            start_at(m_high, static_cast<int16_t>(-m_stride));
            InstallProcess<&Module::process_bounce>();
            break;
        case kRandom:
            InstallProcess<&Module::process_random>();
            break;
        case kFwdBack2:
            start_at(m_low, m_stride);
            m_phase = m_low;
            InstallProcess<&Module::process_mirror>();
            break;
        case kBackFwd2:
            start_at(m_high, static_cast<int16_t>(-m_stride));
            m_phase = static_cast<int16_t>(m_high + 1); // first position of the upper half
            InstallProcess<&Module::process_mirror>();
            break;
        default: // unknown mode: keep the installed function
            break;
        }
        // At the very start of processing a set Reset (to) takes precedence
        // over the mode's start position.
        const int16_t reset = clamp16(m_reset_to, 0, kPositionMax);
        if (SampleClock() == 0 && reset > 0)
            m_index = m_phase = static_cast<int16_t>(reset - 1);
    }

    void start_at(int16_t index, int16_t direction)
    {
        m_index = index;
        m_direction = direction;
    }

    void apply_reset()
    {
        if (m_reset_to <= 0)
            return; // Off
        // Clamped into the range; the pin variable keeps the clamped value.
        if (m_reset_to - 1 < m_low)
            m_reset_to = static_cast<int16_t>(m_low + 1);
        else if (m_reset_to - 1 > m_high)
            m_reset_to = static_cast<int16_t>(m_high + 1);
        m_index = m_phase = static_cast<int16_t>(m_reset_to - 1);
    }

    void reseed()
    {
        const float x = PinAt(kSeed)->CurrentSample();
        m_random_x = seed_word(kRandomXSeed, x);
        m_random_y = seed_word(kRandomYSeed, x);
        m_timing_x = seed_word(kTimingXSeed, x);
        m_timing_y = seed_word(kTimingYSeed, x);
    }

    // ---- the per-sample engine ----------------------------------------------
    template <void (Module::*Count)(uint32_t)> void run(int32_t start, int32_t count)
    {
        if (m_active == 0) {
            CallHost(HOST_SLEEP);
            return;
        }
        const uint32_t t0 = SampleClock();
        // The delay is drawn at the call's first cycle, so a call that
        // counts none steps no generator: the draws then follow the sends
        // alone, not how many quiet calls the host made (or skipped while
        // the module slept).
        uint32_t stamp = 0;
        bool drawn = false;

        // The scan works in chunks of 32 samples: the positive samples of a
        // chunk become the bits of a word, and a crossing is a positive bit
        // whose lower neighbour (the previous sample) is not positive.  The
        // crossings of a chunk are then sent in order.  A chunk without a
        // crossing costs one predictable test, however irregular the input.
        const float *in = m_in + start;
        uint32_t prev_positive = se_sdk::positive_mask(m_prev_sample) & 1u;
        for (int32_t base = 0; base < count; base += 32) {
            const int32_t n = count - base < 32 ? count - base : 32;
            const uint32_t pos = positive_bits(in + base, n);
            uint32_t hits = pos & ~((pos << 1) | prev_positive);
            prev_positive = (pos >> (n - 1)) & 1u;
            while (hits != 0) {
                const int32_t j = lowest_bit(hits);
                hits &= hits - 1;
                if (!drawn) {
                    stamp = t0 + draw_delay(t0, start, count);
                    drawn = true;
                }
                (this->*Count)(stamp + static_cast<uint32_t>(base + j));
            }
        }
        if (count > 0)
            m_prev_sample = se_sdk::bits_of(in[count - 1]);

        if (m_sleep_enabled != 0 && m_sleep.run_down(count))
            CallHost(HOST_SLEEP);
    }

    // D = |u * h + s| * (samples per 10 ms), rounded to nearest, ties to even;
    // h and s are the first humanise and shift samples of the call (1.0 =
    // 10 ms).  The delay is bounded so that no stamp of this call wraps
    // around the 32-bit clock.
    uint32_t draw_delay(uint32_t t0, int32_t start, int32_t count)
    {
        const double u = step_and_draw(m_timing_x, m_timing_y);
        const double h = timing_value(m_humanise_in[start]);
        const double s = timing_value(m_shift_in[start]);
        double d = std::fabs(u * h + s) * double(m_time_scale);
        if (std::isnan(d)) // infinities of opposite sign
            d = 0.0;
        const double headroom = 4294967295.0 - (double(t0) + double(count - 1));
        double limit = headroom < kMaxDelay ? headroom : kMaxDelay;
        if (limit < 0.0)
            limit = 0.0;
        if (!(d < limit))
            return static_cast<uint32_t>(limit);
        return static_cast<uint32_t>(round_even(d));
    }

    void send(uint32_t stamp) { m_out_pin->SendStatus(stamp, STATUS_CHANGED); }

    int16_t range_width() const { return static_cast<int16_t>(m_high - m_low + 1); }

    // Counting rules, one per completed cycle: send, then step.  A position
    // left outside the range by a change of Start or End is first clamped
    // into it (a no-op for every position inside the range).
    void count_forward(uint32_t stamp)
    {
        send(stamp);
        int16_t next = static_cast<int16_t>(clamp16(m_index, m_low, m_high) + m_stride);
        if (next > m_high)
            next = static_cast<int16_t>(next - range_width());
        m_index = next;
    }

    void count_back(uint32_t stamp)
    {
        send(stamp);
        int16_t next = static_cast<int16_t>(clamp16(m_index, m_low, m_high) - m_stride);
        if (next < m_low)
            next = static_cast<int16_t>(next + range_width());
        m_index = next;
    }

    // Reflects at the ends: a step landing on an end turns there, a step past
    // an end bounces back from it.
    void count_bounce(uint32_t stamp)
    {
        send(stamp);
        int16_t next = static_cast<int16_t>(clamp16(m_index, m_low, m_high) + m_direction);
        if (m_direction >= 0) {
            if (next >= m_high) {
                next = static_cast<int16_t>(2 * m_high - next);
                m_direction = static_cast<int16_t>(-m_direction);
            }
        } else if (next <= m_low) {
            next = static_cast<int16_t>(2 * m_low - next);
            m_direction = static_cast<int16_t>(-m_direction);
        }
        m_index = next;
    }

    // The phase runs over twice the range, m_low .. m_wrap; its upper half
    // maps back down the range, so each end is sent twice in a row.
    void count_mirror(uint32_t stamp)
    {
        send(stamp);
        int16_t phase = static_cast<int16_t>(clamp16(m_phase, m_low, m_wrap) + m_stride);
        if (phase > m_wrap)
            phase = static_cast<int16_t>(phase - (m_wrap - m_low + 1));
        m_phase = phase;
        m_index = phase <= m_high ? phase : static_cast<int16_t>(m_mirror - phase);
    }

    // A fresh index every cycle: v * span + low, rounded ties to even, so
    // the two ends come up half as often as each inner index.
    //
    // Worked in integers, exactly as the double arithmetic of step_and_draw
    // and round_even gives it: the draw v is u / 2^32 for u = x + 2^31
    // (mod 2^32), span and low are whole numbers below 2^15, so v * span +
    // low is N / 2^32 with N = u * span + low * 2^32 < 2^48, which a double
    // holds exactly at every step.  Rounding N / 2^32 ties to even reads N's
    // upper word (the whole part) and lower word (the fraction).  On 32-bit
    // targets this is one multiply instead of a chain of conversions.
    void count_random(uint32_t stamp)
    {
        const uint32_t u = step_word(m_random_x, m_random_y) ^ 0x80000000u;
        const uint64_t n = uint64_t{u} * static_cast<uint32_t>(m_high - m_low) +
                           (uint64_t{static_cast<uint32_t>(m_low)} << 32);
        const uint32_t whole = static_cast<uint32_t>(n >> 32);
        const uint32_t fraction = static_cast<uint32_t>(n);
        const uint32_t up = static_cast<uint32_t>(fraction > 0x80000000u) |
                            (static_cast<uint32_t>(fraction == 0x80000000u) & whole);
        m_index = static_cast<int16_t>(whole + (up & 1u));
        send(stamp);
    }

    uint32_t m_timing_x = 0;
    uint32_t m_timing_y = 0;
    SEPin *m_out_pin = nullptr;
    int32_t m_sleep_reload = 0;
    se_sdk::SleepCountdown m_sleep;
    int32_t m_sleep_enabled = 0;
    uint32_t m_prev_sample = 0;
    uint32_t m_random_x = 0;
    uint32_t m_random_y = 0;
    int32_t m_in_status = STATUS_STILL;
    int16_t m_low = 0;
    int16_t m_high = 0;
    int16_t m_direction = 0;
    int16_t m_stride = 0;
    int16_t m_phase = 0;
    int16_t m_wrap = 0;
    int16_t m_mirror = 0;
    float m_time_scale = 0.0f;
};

// The GUI side adds nothing to the base.
class GuiModule : public SEGUI_base
{
public:
    using SEGUI_base::SEGUI_base;
};

namespace {

const char *const kAbout =
    "Pulse/Osc Counter with Indexing Output\n"
    "Ver:2.90 module pack edition, free to use in any patch\n"
    "\n"
    "Counts Pulses/Osc Cycles, Output directly controls Switch/Choice modules\n"
    "\n"
    "Features:\n"
    "Start and End counter range\n"
    "\n"
    "Seven counting modes, a reset position and a seeded random mode.\n"
    "Humanise and Shift/Delay move every send later by milliseconds.";

const se_sdk::ModuleIdentity kIdentity = {"QZ_Counter_IndexingV2", "Pulse_Count_IDX_V2_QZ2008",
                                          kAbout, 0, 2240};

} // namespace

SE_MODULE_EXPORTS(kIdentity, Module, GuiModule)
