// wav_check.h - the WAV files sehost writes, read by two readers besides
// libsndfile (which wrote them): the header walked here chunk by chunk
// (RIFF or RF64, sizes that add up to the file, 32-bit float, no PEAK
// chunk) and sox, which reads the header its own way. sox warns of every
// float WAV it reads that its format chunk lacks an extension, also of a
// WAVE_FORMAT_EXTENSIBLE one that has it: that warning alone is expected.
#ifndef SE_TEST_WAV_CHECK_H
#define SE_TEST_WAV_CHECK_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace se_test {

struct WavHeader {
    bool rf64 = false;
    int format = 0; // 3 for float; WAVE_FORMAT_EXTENSIBLE gives its subformat
    int channels = 0, bits = 0;
    uint32_t rate = 0;
    uint64_t data_at = 0, data_bytes = 0;
    bool peak = false; // a PEAK chunk (its time stamp changes run to run)
    std::string fault; // empty when the sizes add up
};

inline uint64_t le_bytes(const std::string &b, size_t at, int n)
{
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i)
        v = v << 8 | static_cast<unsigned char>(b[at + static_cast<size_t>(i)]);
    return v;
}

// The header of a file of `file_size` bytes from its first bytes (up to
// the data chunk's start).
inline WavHeader walk_wav(const std::string &head, uint64_t file_size)
{
    WavHeader h;
    if (head.size() < 12 || head.compare(8, 4, "WAVE") != 0 ||
        (head.compare(0, 4, "RIFF") != 0 && head.compare(0, 4, "RF64") != 0)) {
        h.fault = "no RIFF or RF64 WAVE header";
        return h;
    }
    h.rf64 = head.compare(0, 4, "RF64") == 0;
    uint64_t riff = le_bytes(head, 4, 4), data64 = 0;
    for (size_t at = 12; at + 8 <= head.size();) {
        const std::string id = head.substr(at, 4);
        const uint64_t size = le_bytes(head, at + 4, 4);
        const size_t body = at + 8;
        if (id == "ds64" && body + 16 <= head.size()) {
            riff = le_bytes(head, body, 8);
            data64 = le_bytes(head, body + 8, 8);
        } else if (id == "fmt " && body + 16 <= head.size()) {
            h.format = static_cast<int>(le_bytes(head, body, 2));
            h.channels = static_cast<int>(le_bytes(head, body + 2, 2));
            h.rate = static_cast<uint32_t>(le_bytes(head, body + 4, 4));
            h.bits = static_cast<int>(le_bytes(head, body + 14, 2));
            if (h.format == 0xFFFE && size >= 40 && body + 26 <= head.size())
                h.format = static_cast<int>(le_bytes(head, body + 24, 2));
        } else if (id == "PEAK") {
            h.peak = true;
        } else if (id == "data") {
            h.data_at = body;
            h.data_bytes = h.rf64 && size == 0xFFFFFFFF ? data64 : size;
            if (riff + 8 != file_size)
                h.fault = "the RIFF size says " + std::to_string(riff + 8) +
                          " bytes, the file has " + std::to_string(file_size);
            else if (h.data_at + h.data_bytes != file_size)
                h.fault = "the data chunk says " + std::to_string(h.data_bytes) +
                          " bytes, the file has " + std::to_string(file_size - h.data_at);
            return h;
        }
        at = body + size + (size & 1);
    }
    h.fault = "no data chunk";
    return h;
}

// Every file: the walk above finds a mono 32-bit float WAV at `rate` (0:
// any) whose sizes add up and that has no PEAK chunk, and sox counts the
// samples the data chunk holds; one sox process for all of them.
inline void check_wav_files(const std::vector<std::string> &paths, uint32_t rate = 0)
{
    if (paths.empty())
        return;
    std::vector<uint64_t> samples;
    std::string cmd = "sox --i -s";
    for (const std::string &p : paths) {
        std::ifstream in(p, std::ios::binary);
        std::string head(4096, '\0');
        in.read(&head[0], static_cast<std::streamsize>(head.size()));
        head.resize(static_cast<size_t>(in.gcount()));
        in.clear();
        in.seekg(0, std::ios::end);
        const WavHeader h = walk_wav(head, static_cast<uint64_t>(in.tellg()));
        EXPECT_EQ(h.fault, "") << p;
        EXPECT_FALSE(h.peak) << p << ": a PEAK chunk";
        EXPECT_EQ(h.format, 3) << p << ": not IEEE float";
        EXPECT_EQ(h.channels, 1) << p;
        EXPECT_EQ(h.bits, 32) << p;
        if (rate) {
            EXPECT_EQ(h.rate, rate) << p;
        }
        samples.push_back(h.data_bytes / 4);
        std::string q = "'";
        for (char c : p)
            q += c == '\'' ? std::string("'\\''") : std::string(1, c);
        cmd += " " + q + "'";
    }
    const std::string err = "/tmp/se_wav_check_" + std::to_string(getpid());
    cmd += " 2>" + err;
    std::FILE *pipe = popen(cmd.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char buf[256];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;)
        out.append(buf, n);
    const int status = pclose(pipe);
    std::ifstream e(err);
    std::string warnings;
    for (std::string line; std::getline(e, line);)
        if (line != "sox WARN wav: wave header missing extended part of fmt chunk")
            warnings += line + "\n";
    std::remove(err.c_str());
    ASSERT_EQ(status, 0) << "sox (scripts/bootstrap native installs it) failed:\n" << warnings;
    EXPECT_EQ(warnings, "") << paths.front();
    std::istringstream counts(out);
    for (size_t i = 0; i < paths.size(); ++i) {
        uint64_t n = UINT64_MAX;
        counts >> n;
        EXPECT_EQ(n, samples[i]) << paths[i] << ": sox counts other samples";
    }
}

} // namespace se_test

#endif
