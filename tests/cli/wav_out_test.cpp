// wav_out_test.cpp - a WAV file's bytes do not depend on how its samples
// were split into writes: the same samples written in blocks of any size, by
// the buffer's edges or straight through, give one file, and its peak is
// the first sample of the greatest magnitude.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sndfile.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/errors.h"
#include "output/wav_out.h"

namespace {

namespace fs = std::filesystem;
using secli::WavOut;
constexpr size_t kBuf = WavOut::kBufferSamples;

std::vector<unsigned char> file_bytes(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The PEAK chunk's value and frame, with its time stamp (the second of
// writing) cleared in `bytes`.
struct Peak {
    float value = -1;
    uint32_t frame = UINT32_MAX;
};
Peak take_peak(std::vector<unsigned char> &bytes)
{
    static const char tag[] = "PEAK";
    auto at = std::search(bytes.begin(), bytes.end(), tag, tag + 4);
    Peak p;
    if (at == bytes.end() || bytes.end() - at < 24)
        return p;
    std::fill(at + 12, at + 16, 0);
    std::memcpy(&p.value, &*(at + 16), 4);
    std::memcpy(&p.frame, &*(at + 20), 4);
    return p;
}

// Writes `samples` in writes of the sizes in `splits` (cycled; 0 is an empty
// write) and answers the file's bytes.
std::vector<unsigned char> write_split(const fs::path &p, const std::vector<float> &samples,
                                       const std::vector<size_t> &splits)
{
    WavOut out(p.string(), 48000);
    size_t at = 0;
    for (size_t k = 0; at < samples.size(); ++k) {
        const size_t n = std::min(splits[k % splits.size()], samples.size() - at);
        out.write(samples.data() + at, n);
        at += n;
    }
    out.close();
    return file_bytes(p);
}

struct Signal {
    const char *name;
    size_t length;
    std::vector<size_t> peaks; // frames holding the greatest magnitude, in order
};

TEST(SehostWavOut, FileIsTheSameHoweverTheSamplesAreSplit)
{
    const fs::path dir = fs::temp_directory_path() / ("wav_out_test_" + std::to_string(getpid()));
    fs::create_directories(dir);
    // Peaks of equal magnitude (both signs) on both sides of the buffer's
    // edges, so a scan cut anywhere must still name the first one.
    const Signal signals[] = {
        {"empty", 0, {}},
        {"short", 100, {37}},
        {"one buffer", kBuf, {kBuf - 1}},
        {"ties across an edge", 3 * kBuf + 17, {kBuf + 5, kBuf - 1, 2 * kBuf}},
        {"ties in one buffer", 2 * kBuf + 1, {kBuf + 300, kBuf + 2, 2 * kBuf}},
        {"peak in the tail", 5 * kBuf + 999, {5 * kBuf + 998}},
    };
    const std::vector<std::vector<size_t>> splits = {
        {1},           {1024}, {kBuf},   {kBuf + 1},       {3 * kBuf + 5},
        {kBuf - 1, 2}, {0, 7}, {37, 64}, {100000, 1, 333}, {1 << 30},
    };
    std::mt19937 rng(5);
    for (const Signal &s : signals) {
        std::vector<float> samples(s.length);
        std::uniform_real_distribution<float> small(-0.5f, 0.5f);
        for (float &x : samples)
            x = small(rng);
        float sign = 1;
        for (size_t f : s.peaks) {
            samples[f] = 0.75f * sign;
            sign = -sign;
        }
        // the first in file order, not the first in the list
        size_t first = s.peaks.empty() ? 0 : *std::min_element(s.peaks.begin(), s.peaks.end());

        // one write of everything: straight through by whole buffers
        std::vector<unsigned char> whole = write_split(dir / "whole.wav", samples, {1u << 30});
        const Peak p = take_peak(whole);
        if (!s.peaks.empty()) {
            EXPECT_EQ(p.value, 0.75f) << s.name;
            EXPECT_EQ(p.frame, first) << s.name;
        }
        for (const auto &split : splits) {
            std::vector<unsigned char> bytes = write_split(dir / "split.wav", samples, split);
            take_peak(bytes);
            EXPECT_EQ(bytes, whole) << s.name << ", writes of " << split[0] << " first";
        }
        // and the samples read back as written
        SF_INFO info{};
        SNDFILE *f = sf_open((dir / "split.wav").c_str(), SFM_READ, &info);
        ASSERT_NE(f, nullptr);
        std::vector<float> back(s.length + 1);
        EXPECT_EQ(sf_read_float(f, back.data(), static_cast<sf_count_t>(back.size())),
                  static_cast<sf_count_t>(s.length))
            << s.name;
        sf_close(f);
        back.resize(s.length);
        EXPECT_EQ(back, samples) << s.name;
    }
    fs::remove_all(dir);
}

// A write that fails (a full device) is told, at a later write or at close,
// never lost.
TEST(SehostWavOut, AFailedWriteIsToldByClose)
{
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    std::vector<float> samples(1000, 0.25f);
    bool told = false;
    try {
        WavOut out("/dev/full", 48000);
        out.write(samples.data(), samples.size());
        out.close();
    } catch (const secli::InputError &e) {
        told = std::string(e.what()).find("/dev/full") != std::string::npos;
    }
    EXPECT_TRUE(told);
}

} // namespace
