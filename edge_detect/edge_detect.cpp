// edge_detect - zero crossings of an audio signal turned into pulses or
// square waves of a chosen level.
//
// Every test on a sample looks at its bit pattern: positive = sign bit clear
// and not zero, zero = +0 or -0, negative = sign bit set and not zero.  One
// process function per detect/pulse mode pair keeps mode tests out of the
// sample loops; the level is read once per call, at the call's first sample.
#include <cstdint>
#include <cstring>
#include <iterator>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "SEGUI_base.h"
#include "SEModule_base.h"
#include "se_module_exports.h"
#include "se_pin_table.h"
#include "se_sleep.h"

namespace {

const char *const kAbout = "Wave Edge Detector\n"
                           "Ver:2.90 module pack edition, free to use in any patch\n"
                           "\n"
                           "Detects Zero Crossings in Audio\n"
                           "\n"
                           "Features:\n"
                           "Edge Detect Modes:\n"
                           "    ZeroX: Both -To+ and +To- detected\n"
                           "    LeadX: Leading Edge -To+ only\n"
                           "Pulse Output Modes:\n"
                           "    +Ve:  Pulses are always +ve/High\n"
                           "    +Ve/-Ve:  +ve on -To+ : -ve on +To-\n"
                           "    Sqr:  High if +ve : Low if -ve : Either/Last State if input=0\n"
                           "    Sqr+0:  High if +ve : Low if -ve : 0 if input=0\n"
                           "Variable Pulse Level (*Can be Inverted by setting -ve value)\n"
                           "\n"
                           "Sqr2 (LeadX) divides the input frequency by two.";

const se_sdk::ModuleIdentity kIdentity = {"QZ_Edge_Detect", "Edge_Detect_QZ2003", kAbout, 0, 2240};

constexpr uint32_t kSignBit = 0x80000000u;

// Detect modes (pin 1) and pulse modes (pin 2) as the lists number them.
enum : int16_t { kZeroX = 0 };
enum : int16_t { kPulse = 0, kBipolar = 1, kSquare = 2, kSign = 3, kSquare2 = 4 };

inline uint32_t bits_of(float x)
{
    uint32_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// The sample loops choose their outputs by masks instead of branches, so an
// unpredictable input (noise) costs what a predictable one costs.
// All ones when the sample is positive (sign clear and not zero), else 0.
inline uint32_t positive_mask(uint32_t b)
{
    return 0u - static_cast<uint32_t>(static_cast<int32_t>(b) > 0);
}
// All ones when the sample is +0 or -0, else 0.
inline uint32_t zero_mask(uint32_t b)
{
    return 0u - static_cast<uint32_t>((b << 1) == 0);
}
inline uint32_t mask_if(bool c)
{
    return 0u - static_cast<uint32_t>(c);
}

inline void store(float *out, uint32_t b)
{
    std::memcpy(out, &b, sizeof b);
}

// m_sign x L, for m_sign = +1 or -1, as bits: the product of a number with
// +-1 is the number with its sign bit set accordingly, except that a
// not-a-number level comes out quiet and with its own sign, whatever the
// factor.  Computed once per call, so no multiply touches a subnormal,
// infinite or not-a-number level in the loop.  `sign` is 0 for +1 and
// kSignBit for -1.
struct SignedLevel {
    uint32_t base; // L's bits, made quiet if L is not-a-number
    uint32_t flip; // kSignBit, or 0 for a not-a-number level
    explicit SignedLevel(float level)
    {
        const uint32_t b = bits_of(level);
        const bool nan = (b & ~kSignBit) > 0x7F800000u;
        base = nan ? b | 0x00400000u : b;
        flip = nan ? 0u : kSignBit;
    }
    uint32_t times(uint32_t sign) const { return base ^ (sign & flip); }
};

// The outputs that depend on the sample and the one before it only, never
// on a carried state: each shape's formula on one sample (bits in, bits
// out), and the same on four samples at once with SSE2.
enum class Shape {
    ZeroxPulse,   // L where the sign bit changed and the sample is not zero
    ZeroxBipolar, // as ZeroxPulse, L with the sample's own sign bit
    ZeroxSquare,  // L while positive, else -L
    ZeroxSign,    // L with the sample's sign bit, 0 for a zero sample
    LeadxPulse,   // L where a positive sample follows a not positive one
    LeadxSquare,  // L while positive, else 0
};

template <Shape S> inline uint32_t shape_of(uint32_t x, uint32_t before, uint32_t level)
{
    switch (S) {
    case Shape::ZeroxPulse:
        return level & mask_if(((x ^ before) & kSignBit) != 0) & ~zero_mask(x);
    case Shape::ZeroxBipolar:
        return (level ^ (x & kSignBit)) & mask_if(((x ^ before) & kSignBit) != 0) & ~zero_mask(x);
    case Shape::ZeroxSquare:
        return level ^ (~positive_mask(x) & kSignBit);
    case Shape::ZeroxSign:
        return (level ^ (x & kSignBit)) & ~zero_mask(x);
    case Shape::LeadxPulse:
        return level & positive_mask(x) & ~positive_mask(before);
    case Shape::LeadxSquare:
        return level & positive_mask(x);
    }
    return 0;
}

#if defined(__SSE2__)
// Lane masks: a signed compare with 0 is positive_mask, an arithmetic shift
// of the sign bit over the word is the sign test, a shift out of the sign
// bit and a compare with 0 is zero_mask.
template <Shape S> inline __m128i shape_of(__m128i x, __m128i before, __m128i level)
{
    const __m128i zero = _mm_setzero_si128();
    const __m128i sign = _mm_set1_epi32(static_cast<int32_t>(kSignBit));
    const __m128i changed = _mm_srai_epi32(_mm_xor_si128(x, before), 31);
    const __m128i is_zero = _mm_cmpeq_epi32(_mm_slli_epi32(x, 1), zero);
    switch (S) {
    case Shape::ZeroxPulse:
        return _mm_and_si128(level, _mm_andnot_si128(is_zero, changed));
    case Shape::ZeroxBipolar:
        return _mm_and_si128(_mm_xor_si128(level, _mm_and_si128(x, sign)),
                             _mm_andnot_si128(is_zero, changed));
    case Shape::ZeroxSquare:
        return _mm_xor_si128(level, _mm_andnot_si128(_mm_cmpgt_epi32(x, zero), sign));
    case Shape::ZeroxSign:
        return _mm_andnot_si128(is_zero, _mm_xor_si128(level, _mm_and_si128(x, sign)));
    case Shape::LeadxPulse:
        return _mm_and_si128(
            level, _mm_andnot_si128(_mm_cmpgt_epi32(before, zero), _mm_cmpgt_epi32(x, zero)));
    case Shape::LeadxSquare:
        return _mm_and_si128(level, _mm_cmpgt_epi32(x, zero));
    }
    return zero;
}
#endif

// out[i] = shape_of<S>(in[i], in[i - 1], level) for i in [from, count);
// from is at least 1 for the shapes that read the sample before.  Four at
// a time with SSE2, unless the buffers overlap: then one by one, each read
// after the previous write, as always.
template <Shape S>
void shape_samples(const float *in, float *out, int32_t from, int32_t count, uint32_t level)
{
    int32_t i = from;
#if defined(__SSE2__)
    const uintptr_t in_at = reinterpret_cast<uintptr_t>(in),
                    out_at = reinterpret_cast<uintptr_t>(out);
    const uintptr_t bytes = static_cast<uintptr_t>(count) * sizeof(float);
    if (out_at + bytes <= in_at || in_at + bytes <= out_at) {
        const __m128i lv = _mm_set1_epi32(static_cast<int32_t>(level));
        for (; i + 4 <= count; i += 4) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i));
            // The shapes that do not read the sample before get x again
            // (in[-1] is not theirs to read).
            const __m128i before =
                S == Shape::ZeroxSquare || S == Shape::ZeroxSign || S == Shape::LeadxSquare
                    ? x
                    : _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i - 1));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), shape_of<S>(x, before, lv));
        }
    }
#endif
    for (; i < count; ++i) {
        const uint32_t x = bits_of(in[i]);
        store(out + i, shape_of<S>(x, i > 0 ? bits_of(in[i - 1]) : x, level));
    }
}

// LeadX with a sign that flips at every rise (a positive sample after a
// not positive one), from sample `from` (at least 1) to count - 1: with
// `Pulse`, L x sign at the rises and 0 elsewhere; else L x sign throughout.
// `sign` (0 or kSignBit) is the sign before sample `from` and after the
// last.  With SSE2 four samples at a time: the flips of four rises are
// summed over the lanes by a prefix exclusive-or (two shifted copies).
template <bool Pulse>
void flipping_level(const float *in, float *out, int32_t from, int32_t count,
                    const SignedLevel &level, uint32_t &sign)
{
    int32_t i = from;
#if defined(__SSE2__)
    const uintptr_t in_at = reinterpret_cast<uintptr_t>(in),
                    out_at = reinterpret_cast<uintptr_t>(out);
    const uintptr_t bytes = static_cast<uintptr_t>(count) * sizeof(float);
    if (out_at + bytes <= in_at || in_at + bytes <= out_at) {
        const __m128i zero = _mm_setzero_si128();
        const __m128i sign_bit = _mm_set1_epi32(static_cast<int32_t>(kSignBit));
        const __m128i base = _mm_set1_epi32(static_cast<int32_t>(level.base));
        const __m128i flip = _mm_set1_epi32(static_cast<int32_t>(level.flip));
        __m128i carried = _mm_set1_epi32(static_cast<int32_t>(sign));
        for (; i + 4 <= count; i += 4) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i));
            const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i - 1));
            const __m128i rise =
                _mm_andnot_si128(_mm_cmpgt_epi32(before, zero), _mm_cmpgt_epi32(x, zero));
            __m128i flips = _mm_and_si128(rise, sign_bit);
            flips = _mm_xor_si128(flips, _mm_slli_si128(flips, 4));
            flips = _mm_xor_si128(flips, _mm_slli_si128(flips, 8));
            const __m128i signs = _mm_xor_si128(carried, flips);
            __m128i value = _mm_xor_si128(base, _mm_and_si128(signs, flip));
            if (Pulse)
                value = _mm_and_si128(value, rise);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), value);
            carried = _mm_shuffle_epi32(signs, 0xFF);
        }
        sign = static_cast<uint32_t>(_mm_cvtsi128_si32(carried));
    }
#endif
    for (; i < count; ++i) {
        const uint32_t rise = positive_mask(bits_of(in[i])) & ~positive_mask(bits_of(in[i - 1]));
        sign ^= rise & kSignBit;
        store(out + i, Pulse ? level.times(sign) & rise : level.times(sign));
    }
}

inline uint32_t sign_bit_of(float sign)
{
    return bits_of(sign) & kSignBit;
}
inline float sign_of_bit(uint32_t sign)
{
    return sign != 0 ? -1.0f : 1.0f;
}

} // namespace

class Module : public SEModule_base
{
    // ---- pins ----------------------------------------------------------------
    enum Pin : int32_t { kIn, kDetectMode, kPulseMode, kLevel, kPulseOut, kPinCount };

    float *m_in = nullptr;
    int16_t m_detect_mode = 0;
    int16_t m_pulse_mode = 0;
    float *m_level_in = nullptr;
    float *m_out = nullptr;

    static constexpr se_sdk::PinSpec kPins[] = {
        {"Audio In", DR_IN, DT_FSAMPLE, SE_FIELD(Module, m_in), nullptr, nullptr, 0},
        {"Detect Mode", DR_IN, DT_CHOICE, SE_FIELD(Module, m_detect_mode), "0", "ZeroX,LeadX", 0},
        {"Pulse Mode", DR_IN, DT_CHOICE, SE_FIELD(Module, m_pulse_mode), "0",
         "+Ve,+Ve/-Ve,Sqr,Sqr+0,Sqr2", 0},
        {"Pulse Level", DR_IN, DT_FSAMPLE, SE_FIELD(Module, m_level_in), "10.0", "20,0,20,0", 0},
        {"Pulse Out", DR_OUT, DT_FSAMPLE, SE_FIELD(Module, m_out), nullptr, nullptr, 0},
    };
    static_assert(std::size(kPins) == kPinCount, "one name per pin");

public:
    Module(se_host_callback callback, void *host_data) : SEModule_base(callback, host_data) {}

    bool QueryPinProperties(int32_t number, SEPinProperties *p) override
    {
        return se_sdk::describe_pin(kPins, number, this, p);
    }

    // No process function is installed here: the SDK's empty one stays until
    // the first status change of a mode pin.
    void Open() override
    {
        SEModule_base::Open();
        m_sleep_reload = BlockSize() + 1;
        m_out_pin = PinAt(kPulseOut);
        // 2 is neither a sign bit pattern nor a LeadX flag: the first
        // qualifying sample after open counts as a crossing in every mode.
        m_edge_state = 2;
        m_sign = -1.0f;
    }

    void OnPinStatusChange(SEPin *pin) override
    {
        switch (pin->PinIndex()) {
        case kIn:
            m_in_status = pin->Status();
            break;
        case kDetectMode:
        case kPulseMode:
            install_mode_pair();
            break;
        default:
            break;
        }
        // Awake while either input streams: the output follows the level
        // from call to call too, and a sleeping module's output would keep
        // the level of its last call.
        const bool streaming =
            m_in_status == STATUS_STREAMING || PinAt(kLevel)->Status() == STATUS_STREAMING;
        m_sleep_enabled = streaming ? 0 : 1;
        m_out_pin->SendStatus(SampleClock(), STATUS_STREAMING);
        m_sleep.restart(m_sleep_reload);
    }

    // ---- ZeroX: crossings in both directions ---------------------------

    // A one-sample pulse of L at every crossing.  A zero sample never pulses
    // but leaves its own sign bit as the state: -1, +0, +1 is silent while
    // -1, -0, +1 pulses at the +1.  The state of sample i is the sign bit of
    // sample i - 1, so the loop after the first sample reads it from there.
    void process_zerox_pulse(int32_t start, int32_t count)
    {
        const uint32_t level = bits_of(m_level_in[start]);
        const float *in = m_in + start;
        float *out = m_out + start;
        const uint32_t first = bits_of(in[0]);
        store(out, level & mask_if((first & kSignBit) != m_edge_state) & ~zero_mask(first));
        shape_samples<Shape::ZeroxPulse>(in, out, 1, count, level);
        m_edge_state = bits_of(in[count - 1]) & kSignBit;
        count_down(count);
    }

    // As process_zerox_pulse, with +L on a rise and -L on a fall: the pulse
    // is L with the sample's own sign bit.
    void process_zerox_bipolar(int32_t start, int32_t count)
    {
        const uint32_t level = bits_of(m_level_in[start]);
        const float *in = m_in + start;
        float *out = m_out + start;
        const uint32_t first = bits_of(in[0]);
        const uint32_t s0 = first & kSignBit;
        store(out, (level ^ s0) & mask_if(s0 != m_edge_state) & ~zero_mask(first));
        shape_samples<Shape::ZeroxBipolar>(in, out, 1, count, level);
        m_edge_state = bits_of(in[count - 1]) & kSignBit;
        count_down(count);
    }

    // L while the input is positive, -L otherwise (zero included).
    void process_zerox_square(int32_t start, int32_t count)
    {
        const uint32_t level = bits_of(m_level_in[start]);
        const float *in = m_in + start;
        float *out = m_out + start;
        shape_samples<Shape::ZeroxSquare>(in, out, 0, count, level);
        count_down(count);
    }

    // L, 0 or -L by the input's sign: L with the sample's sign bit.
    void process_zerox_sign(int32_t start, int32_t count)
    {
        const uint32_t level = bits_of(m_level_in[start]);
        const float *in = m_in + start;
        float *out = m_out + start;
        shape_samples<Shape::ZeroxSign>(in, out, 0, count, level);
        count_down(count);
    }

    // ---- LeadX: rises from zero-or-below to positive only ---------------
    // The state is a flag: 1 after a sample that was not positive.

    // A one-sample pulse of L at every rise.
    void process_leadx_pulse(int32_t start, int32_t count)
    {
        const uint32_t level = bits_of(m_level_in[start]);
        const float *in = m_in + start;
        float *out = m_out + start;
        const uint32_t first = positive_mask(bits_of(in[0]));
        store(out, level & first & mask_if(m_edge_state != 0));
        shape_samples<Shape::LeadxPulse>(in, out, 1, count, level);
        m_edge_state = positive_mask(bits_of(in[count - 1])) ? 0u : 1u;
        count_down(count);
    }

    // Rises give pulses of alternating polarity, +L first after open.
    void process_leadx_alternate(int32_t start, int32_t count)
    {
        const SignedLevel level(m_level_in[start]);
        const float *in = m_in + start;
        float *out = m_out + start;
        // The first sample's rise is judged by the state, the others' by
        // the sample before them.
        const uint32_t below = mask_if(m_edge_state != 0); // the previous sample was not positive
        uint32_t sign = sign_bit_of(m_sign);
        const uint32_t rise = positive_mask(bits_of(in[0])) & below;
        sign ^= rise & kSignBit;
        store(out, level.times(sign) & rise);
        flipping_level<true>(in, out, 1, count, level, sign);
        m_edge_state = positive_mask(bits_of(in[count - 1])) ? 0u : 1u;
        m_sign = sign_of_bit(sign);
        count_down(count);
    }

    // L while the input is positive, else 0 (Sqr and Sqr+0 coincide here,
    // since the low level of LeadX is 0).
    void process_leadx_square(int32_t start, int32_t count)
    {
        const uint32_t level = bits_of(m_level_in[start]);
        const float *in = m_in + start;
        float *out = m_out + start;
        shape_samples<Shape::LeadxSquare>(in, out, 0, count, level);
        count_down(count);
    }

    // A square wave of +-L that flips at each rise: the input frequency
    // divided by two.  -L before the first rise after open.
    void process_leadx_toggle(int32_t start, int32_t count)
    {
        const SignedLevel level(m_level_in[start]);
        const float *in = m_in + start;
        float *out = m_out + start;
        const uint32_t below = mask_if(m_edge_state != 0);
        uint32_t sign = sign_bit_of(m_sign);
        sign ^= positive_mask(bits_of(in[0])) & below & kSignBit;
        store(out, level.times(sign));
        flipping_level<false>(in, out, 1, count, level, sign);
        m_edge_state = positive_mask(bits_of(in[count - 1])) ? 0u : 1u;
        m_sign = sign_of_bit(sign);
        count_down(count);
    }

private:
    // Makes the function of the current (detect, pulse) pair current; a
    // pulse mode outside the list keeps the function in place, a detect mode
    // other than ZeroX counts as LeadX.
    void install_mode_pair()
    {
        const bool zerox = m_detect_mode == kZeroX;
        switch (m_pulse_mode) {
        case kPulse:
            zerox ? InstallProcess<&Module::process_zerox_pulse>()
                  : InstallProcess<&Module::process_leadx_pulse>();
            break;
        case kBipolar:
            zerox ? InstallProcess<&Module::process_zerox_bipolar>()
                  : InstallProcess<&Module::process_leadx_alternate>();
            break;
        case kSquare:
            zerox ? InstallProcess<&Module::process_zerox_square>()
                  : InstallProcess<&Module::process_leadx_square>();
            break;
        case kSign:
            zerox ? InstallProcess<&Module::process_zerox_sign>()
                  : InstallProcess<&Module::process_leadx_square>();
            break;
        case kSquare2:
            zerox ? InstallProcess<&Module::process_zerox_square>()
                  : InstallProcess<&Module::process_leadx_toggle>();
            break;
        default:
            break;
        }
    }

    // Block size + 1 samples after the last pin-status change (unless an
    // input streams) ask to sleep: the output changes once more at the clock
    // just after this call and then holds still.
    void count_down(int32_t count)
    {
        if (m_sleep_enabled == 0)
            return;
        if (m_sleep.run_down(count)) {
            CallHost(HOST_SLEEP);
            m_out_pin->SendStatus(SampleClock() + static_cast<uint32_t>(count), STATUS_CHANGED);
        }
    }

    float m_sign = -1.0f;
    SEPin *m_out_pin = nullptr;
    int32_t m_sleep_reload = 0;
    se_sdk::SleepCountdown m_sleep;
    int32_t m_sleep_enabled = 0;
    uint32_t m_edge_state = 2;
    int32_t m_in_status = STATUS_STILL;
};

// The GUI side adds nothing to the base.
class GuiModule : public SEGUI_base
{
public:
    using SEGUI_base::SEGUI_base;
};

SE_MODULE_EXPORTS(kIdentity, Module, GuiModule)
