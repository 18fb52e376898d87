// pitch_adjust - a constant pitch offset for an oscillator in 1 V/octave.
//
// Output = octave + semitone/12 + cents/1200 octaves, at 0.1 per octave
// (1.0 = 10 V).  The module only works when a setting changes: it announces
// the new value, writes it for one block's worth of samples and then sleeps.
#include <cstring>
#include <iterator>

#include "SEGUI_base.h"
#include "SEModule_base.h"
#include "se_module_exports.h"
#include "se_pin_table.h"
#include "se_sleep.h"

namespace {

const char *const kAbout =
    "Oscillator Pitch Adjustment (1v/Oct)\n"
    "Ver:2.90 module pack edition, free to use in any patch\n"
    "\n"
    "Simple options to Adjust/Transpose an Oscillators pitch in 1V/Oct mode\n"
    "\n"
    "Octave, semitone and cent offsets add up into one control voltage.";

constexpr const char *kOctaveList = "-6=-6,-5,-4,-3,-2,-1,0,+1,+2,+3,+4,+5,+6";

// -48..+48; multiples of 12 carry their octave count.
constexpr const char *kSemitoneList =
    "-48 (-4 Oct)=-48,-47,-46,-45,-44,-43,-42,-41,-40,-39,-38,-37,-36 (-3 Oct),-35,-34,-33,-32,"
    "-31,-30,-29,-28,-27,-26,-25,-24 (-2 Oct),-23,-22,-21,-20,-19,-18,-17,-16,-15,-14,-13,"
    "-12 (-1 Oct),-11,-10,-9,-8,-7,-6,-5,-4,-3,-2,-1,0,+1,+2,+3,+4,+5,+6,+7,+8,+9,+10,+11,"
    "+12 (+1 Oct),+13,+14,+15,+16,+17,+18,+19,+20,+21,+22,+23,+24 (+2 Oct),+25,+26,+27,+28,"
    "+29,+30,+31,+32,+33,+34,+35,+36 (+3 Oct),+37,+38,+39,+40,+41,+42,+43,+44,+45,+46,+47,"
    "+48 (+4 Oct)";

// -99..+99, two digits each; positive cents have no sign.
constexpr const char *kCentList =
    "-99=-99,-98,-97,-96,-95,-94,-93,-92,-91,-90,-89,-88,-87,-86,-85,-84,-83,-82,-81,-80,-79,"
    "-78,-77,-76,-75,-74,-73,-72,-71,-70,-69,-68,-67,-66,-65,-64,-63,-62,-61,-60,-59,-58,-57,"
    "-56,-55,-54,-53,-52,-51,-50,-49,-48,-47,-46,-45,-44,-43,-42,-41,-40,-39,-38,-37,-36,-35,"
    "-34,-33,-32,-31,-30,-29,-28,-27,-26,-25,-24,-23,-22,-21,-20,-19,-18,-17,-16,-15,-14,-13,"
    "-12,-11,-10,-09,-08,-07,-06,-05,-04,-03,-02,-01,00,01,02,03,04,05,06,07,08,09,10,11,12,13,"
    "14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31,32,33,34,35,36,37,38,39,40,41,42,43,"
    "44,45,46,47,48,49,50,51,52,53,54,55,56,57,58,59,60,61,62,63,64,65,66,67,68,69,70,71,72,73,"
    "74,75,76,77,78,79,80,81,82,83,84,85,86,87,88,89,90,91,92,93,94,95,96,97,98,99";

const se_sdk::ModuleIdentity kIdentity = {"QZ_Osc_Pitch_Adj", "Osc_Pitch_Adj_QZ2006", kAbout, 0,
                                          2240};

// The formula's constants as the exact 32-bit floats the output is defined by.
float float_bits(uint32_t bits)
{
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}
const double kPerCent = float_bits(0x3A5A740E);     // 1/1200
const double kPerSemitone = float_bits(0x3DAAAAAB); // 1/12
const double kPerOctave = float_bits(0x3DCCCCCD);   // 0.1 (1 V)

} // namespace

class Module : public SEModule_base
{
    // ---- pins ----------------------------------------------------------------
    enum Pin : int32_t { kOctave, kSemitone, kCents, kPitchOut, kPinCount };

    int16_t m_octave = 0;
    int16_t m_semitone = 0;
    int16_t m_cents = 0;
    float *m_out = nullptr;

    static constexpr se_sdk::PinSpec kPins[] = {
        {"Octave", DR_IN, DT_CHOICE, SE_FIELD(Module, m_octave), "0", kOctaveList, 0},
        {"Semitone", DR_IN, DT_CHOICE, SE_FIELD(Module, m_semitone), "0", kSemitoneList, 0},
        {"Cents", DR_IN, DT_CHOICE, SE_FIELD(Module, m_cents), "0", kCentList, 0},
        {"Pitch_Adj", DR_OUT, DT_FSAMPLE, SE_FIELD(Module, m_out), nullptr, nullptr, 0},
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
        m_sleep.restart(BlockSize());
        InstallProcess<&Module::process_pitch>();
    }

    // Every setting change: announce, then one block's worth of the new value
    // before the sleep request.
    void OnPinStatusChange(SEPin *) override
    {
        m_sleep.restart(BlockSize());
        PinAt(kPitchOut)->SendStatus(SampleClock(), STATUS_CHANGED);
    }

    void process_pitch(int32_t start, int32_t count)
    {
        if (m_sleep.run_down(count))
            CallHost(HOST_SLEEP); // this call's samples are still written

        // The sum in double precision, rounded once to a float at the end.
        const double octaves =
            m_cents * kPerCent + m_semitone * kPerSemitone + static_cast<double>(m_octave);
        const float value = static_cast<float>(octaves * kPerOctave);
        float *out = m_out + start;
        for (int32_t i = 0; i < count; ++i)
            out[i] = value;
    }

private:
    se_sdk::SleepCountdown m_sleep;
};

// The GUI side adds nothing to the base.
class GuiModule : public SEGUI_base
{
public:
    using SEGUI_base::SEGUI_base;
};

SE_MODULE_EXPORTS(kIdentity, Module, GuiModule)
