// cv_to_rpn_support.h - driving the RPN/NRPN sender through the reference
// host and reading its MIDI output as text ("100: B0 65 00").
#ifndef CV_TO_RPN_SUPPORT_H
#define CV_TO_RPN_SUPPORT_H

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "plugin_library.h"
#include "sehost/sehost.h"

namespace cv_rpn_test {

constexpr int kMidiOut = 6; // DSP index of "MIDI Out"

inline std::shared_ptr<sehost::Library> library()
{
    return se_test::plugin_library("cv_to_rpn");
}

// A Value CV sample whose 14-bit value is k (k / 16383 of 10 V).
inline float cv(int k)
{
    return static_cast<float>(k) / 16383.0f;
}

// Pin values before open, as list indices and samples (1.0 = 10 V).
struct Settings {
    int select = 0;  // 0 List, 1 CV
    int rpn = 0;     // 0 RPN, 1 NRPN
    int channel = 0; // 0..15 for 1..16
    int depth = 7;   // 0..7 for 7..14 bits
    int parameter = 1;
    double value = 0.5;
    double parameter_cv = 0.0;
    double gate = 0.0;
};

inline std::unique_ptr<sehost::DspInstance> make(const Settings &s, sehost::HostConfig config = {})
{
    auto dsp = std::make_unique<sehost::DspInstance>(library(), config);
    dsp->set_value("Parameter# Select Mode", s.select);
    dsp->set_value("RPN/NRPN", s.rpn);
    dsp->set_value("Channel", s.channel);
    dsp->set_value("Bit Depth", s.depth);
    dsp->set_value("Parameter#", s.parameter);
    dsp->set_value("Value CV", s.value);
    dsp->set_value("Parameter# CV", s.parameter_cv);
    dsp->set_value("Gate", s.gate);
    dsp->open();
    return dsp;
}

// Every message as "stamp: SS D1 D2"; bits 24-31, if any, follow as "+XX".
// Each message is also checked: sent on "MIDI Out", a control change whose
// data bytes fit 7 bits and whose top byte is 0, stamped at or after the
// clock of the call that sent it.
inline std::vector<std::string> midi_text(const sehost::DspInstance &dsp)
{
    std::vector<std::string> out;
    for (const sehost::MidiOut &m : dsp.midi_out()) {
        const uint32_t u = static_cast<uint32_t>(m.message);
        EXPECT_EQ(m.pin, kMidiOut);
        EXPECT_EQ(u & 0xF0u, 0xB0u) << "not a control change: " << std::hex << u;
        EXPECT_EQ(u & 0xFF808000u, 0u) << "data byte above 127 or top byte set: " << std::hex << u;
        EXPECT_GE(m.stamp, m.clock);
        char text[48];
        if ((u >> 24) != 0)
            std::snprintf(text, sizeof text, "%u: %02X %02X %02X +%02X", m.stamp, u & 0xFF,
                          (u >> 8) & 0xFF, (u >> 16) & 0xFF, u >> 24);
        else
            std::snprintf(text, sizeof text, "%u: %02X %02X %02X", m.stamp, u & 0xFF,
                          (u >> 8) & 0xFF, (u >> 16) & 0xFF);
        out.emplace_back(text);
    }
    return out;
}

using Lines = std::vector<std::string>;

} // namespace cv_rpn_test

#endif
