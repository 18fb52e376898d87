// wav_out_test.cpp - a WAV file's bytes depend only on its samples and
// rate: not on how they were split into writes, nor on when it was written
// (no PEAK chunk and its time stamp). A file is plain WAV while it fits in
// 4 GiB and RF64 past that, with sizes every reader takes.
#include <gtest/gtest.h>

#include <algorithm>
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
#include "wav_check.h"

namespace {

namespace fs = std::filesystem;
using secli::WavOut;
constexpr size_t kBuf = WavOut::kBufferSamples;

std::string file_bytes(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Writes `samples` in writes of the sizes in `splits` (cycled; 0 is an empty
// write).
void write_split(WavOut &out, const std::vector<float> &samples, const std::vector<size_t> &splits)
{
    size_t at = 0;
    for (size_t k = 0; at < samples.size(); ++k) {
        const size_t n = std::min(splits[k % splits.size()], samples.size() - at);
        out.write(samples.data() + at, n);
        at += n;
    }
    out.close();
}

std::string write_file(const fs::path &p, const std::vector<float> &samples,
                       const std::vector<size_t> &splits, double rate = 48000)
{
    WavOut out(p.string(), rate);
    write_split(out, samples, splits);
    return file_bytes(p);
}

TEST(SehostWavOut, FileIsTheSameHoweverTheSamplesAreSplit)
{
    const fs::path dir = fs::temp_directory_path() / ("wav_out_test_" + std::to_string(getpid()));
    fs::create_directories(dir);
    // (no empty file: a run is never empty, and libsndfile's RIFF size of
    // an empty file leaves out its JUNK chunk)
    const size_t lengths[] = {1, 100, kBuf, 3 * kBuf + 17, 5 * kBuf + 999};
    const std::vector<std::vector<size_t>> splits = {
        {1},           {1024}, {kBuf},   {kBuf + 1},       {3 * kBuf + 5},
        {kBuf - 1, 2}, {0, 7}, {37, 64}, {100000, 1, 333}, {1 << 30},
    };
    std::mt19937 rng(5);
    for (size_t length : lengths) {
        std::vector<float> samples(length);
        std::uniform_real_distribution<float> any(-1.0f, 1.0f);
        for (float &x : samples)
            x = any(rng);
        // one write of everything: straight through by whole buffers
        const std::string whole = write_file(dir / "whole.wav", samples, {1u << 30});
        se_test::check_wav_files({(dir / "whole.wav").string()}, 48000);
        for (const auto &split : splits)
            EXPECT_EQ(write_file(dir / "split.wav", samples, split), whole)
                << length << " samples, writes of " << split[0] << " first";
        // and the samples read back as written
        SF_INFO info{};
        SNDFILE *f = sf_open((dir / "split.wav").c_str(), SFM_READ, &info);
        ASSERT_NE(f, nullptr);
        std::vector<float> back(length + 1);
        EXPECT_EQ(sf_read_float(f, back.data(), static_cast<sf_count_t>(back.size())),
                  static_cast<sf_count_t>(length));
        sf_close(f);
        back.resize(length);
        EXPECT_EQ(back, samples) << length << " samples";
    }
    fs::remove_all(dir);
}

// A stream that keeps only the first bytes of what is written to it (the
// header, which the library writes again at close) and the length: a file
// of many gigabytes costs no disk. Read back, the rest is zeros.
struct HeaderOnly {
    static constexpr sf_count_t kKept = 1 << 16;
    std::string head = std::string(kKept, '\0');
    sf_count_t at = 0, length = 0;

    static HeaderOnly &of(void *user) { return *static_cast<HeaderOnly *>(user); }
    static SF_VIRTUAL_IO io()
    {
        SF_VIRTUAL_IO v{};
        v.get_filelen = [](void *u) { return of(u).length; };
        v.seek = [](sf_count_t offset, int whence, void *u) {
            HeaderOnly &h = of(u);
            h.at = whence == SEEK_SET   ? offset
                   : whence == SEEK_CUR ? h.at + offset
                                        : h.length + offset;
            return h.at;
        };
        v.read = [](void *ptr, sf_count_t count, void *u) {
            HeaderOnly &h = of(u);
            count = std::max<sf_count_t>(0, std::min(count, h.length - h.at));
            for (sf_count_t i = 0; i < count; ++i, ++h.at)
                static_cast<char *>(ptr)[i] = h.at < kKept ? h.head[static_cast<size_t>(h.at)] : 0;
            return count;
        };
        v.write = [](const void *ptr, sf_count_t count, void *u) {
            HeaderOnly &h = of(u);
            if (h.at < kKept)
                std::memcpy(&h.head[static_cast<size_t>(h.at)], ptr,
                            static_cast<size_t>(std::min(count, kKept - h.at)));
            h.at += count;
            h.length = std::max(h.length, h.at);
            return count;
        };
        v.tell = [](void *u) { return of(u).at; };
        return v;
    }
};

// Past 4 GiB the RIFF and data sizes no longer fit their 32 bits: the file
// becomes RF64, whose ds64 chunk holds them, and libsndfile, sox and the
// tests' own walk read the whole length from it. Below, the same stream
// gives plain WAV, byte for byte the file the path writes.
TEST(SehostWavOut, SizesPast4GiBAreRF64)
{
    const fs::path dir = fs::temp_directory_path() / ("wav_out_rf64_" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::vector<float> zeros(1 << 20); // whole buffers go straight to the stream
    struct Size {
        uint64_t samples;
        bool rf64;
    };
    for (const Size size : {Size{1000, false}, Size{(uint64_t{1} << 30) - 64, false},
                            Size{(uint64_t{1} << 30) + 12345, true}}) {
        SCOPED_TRACE(size.samples);
        HeaderOnly sink;
        SF_VIRTUAL_IO io = HeaderOnly::io();
        {
            WavOut out(io, &sink, "stream", 768000);
            for (uint64_t left = size.samples; left > 0;) {
                const size_t n = static_cast<size_t>(std::min<uint64_t>(left, zeros.size()));
                out.write(zeros.data(), n);
                left -= n;
            }
            out.close();
        }
        const uint64_t length = static_cast<uint64_t>(sink.length);
        const se_test::WavHeader h = se_test::walk_wav(sink.head, length);
        EXPECT_EQ(h.fault, "");
        EXPECT_EQ(h.rf64, size.rf64);
        EXPECT_EQ(h.data_bytes, 4 * size.samples);
        // libsndfile reads it back
        sink.at = 0;
        SF_INFO info{};
        SNDFILE *f = sf_open_virtual(&io, SFM_READ, &info, &sink);
        ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
        EXPECT_EQ(static_cast<uint64_t>(info.frames), size.samples);
        EXPECT_EQ(info.samplerate, 768000);
        sf_close(f);
        // and so does sox, from a sparse file of the same length (but RF64,
        // whose data sox reads through to count it: two minutes for 4 GiB)
        if (!size.rf64) {
            const fs::path sparse = dir / "sparse.wav";
            std::ofstream(sparse, std::ios::binary)
                .write(sink.head.data(), static_cast<std::streamsize>(h.data_at));
            fs::resize_file(sparse, length);
            se_test::check_wav_files({sparse.string()}, 768000);
        }
        if (size.samples == 1000) {
            const std::vector<float> few(1000);
            EXPECT_EQ(write_file(dir / "few.wav", few, {1000}, 768000),
                      sink.head.substr(0, static_cast<size_t>(length)));
        }
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
