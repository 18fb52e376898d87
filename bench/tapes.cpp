// tapes.cpp - see tapes.h.
#include "tapes.h"

#include <cmath>
#include <cstring>
#include <map>
#include <tuple>

namespace se_bench {

const Kind kKinds[8] = {Kind::SineSlow, Kind::SineFast,  Kind::Noise,      Kind::Pulses,
                        Kind::Constant, Kind::Subnormal, Kind::NotANumber, Kind::Infinite};

const char *kind_name(Kind kind)
{
    switch (kind) {
    case Kind::Constant:
        return "constant";
    case Kind::SineSlow:
        return "sine slow";
    case Kind::SineFast:
        return "sine fast";
    case Kind::Noise:
        return "noise";
    case Kind::Pulses:
        return "pulses";
    case Kind::Subnormal:
        return "subnormal";
    case Kind::NotANumber:
        return "not-a-number";
    case Kind::Infinite:
        return "infinite";
    }
    return "?";
}

namespace {

float with_sign_of(float magnitude, double s)
{
    return s < 0.0 ? -magnitude : magnitude;
}

std::vector<float> make(Kind kind, TapeShape shape)
{
    std::vector<float> t(kTapeSamples);
    uint64_t x = 0x2545F4914F6CDD1Dull; // xorshift64: long period, no short repeat
    const double slow = 6.283185307179586 / 997.3, fast = 6.283185307179586 / 7.31;
    for (uint32_t i = 0; i < kTapeSamples; ++i) {
        double s = std::sin(slow * i);
        switch (kind) {
        case Kind::Constant:
            t[i] = static_cast<float>(shape.offset + with_sign_of(shape.amplitude, s));
            break;
        case Kind::SineSlow:
            t[i] = static_cast<float>(shape.offset + shape.amplitude * s);
            break;
        case Kind::SineFast:
            t[i] = static_cast<float>(shape.offset + shape.amplitude * std::sin(fast * i));
            break;
        case Kind::Noise: {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            double u = static_cast<double>(x >> 11) * (1.0 / 9007199254740992.0); // [0, 1)
            t[i] = static_cast<float>(shape.offset + shape.amplitude * (2.0 * u - 1.0));
            break;
        }
        case Kind::Pulses:
            t[i] = i % 8 == 0 ? shape.amplitude : 0.0f;
            break;
        case Kind::Subnormal: {
            uint32_t b = 1u + static_cast<uint32_t>(std::fabs(s) * 0x7FFFFEu);
            float f;
            std::memcpy(&f, &b, sizeof f);
            t[i] = with_sign_of(f, s);
            break;
        }
        case Kind::NotANumber:
            t[i] = with_sign_of(std::nanf(""), s);
            break;
        case Kind::Infinite:
            t[i] = with_sign_of(INFINITY, s);
            break;
        }
    }
    return t;
}

} // namespace

const std::vector<float> &tape(Kind kind, TapeShape shape)
{
    static std::map<std::tuple<int, float, float>, std::vector<float>> made;
    auto key = std::make_tuple(static_cast<int>(kind), shape.amplitude, shape.offset);
    auto it = made.find(key);
    if (it == made.end())
        it = made.emplace(key, make(kind, shape)).first;
    return it->second;
}

} // namespace se_bench
