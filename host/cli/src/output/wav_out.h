// wav_out.h - audio outputs as 32-bit float WAV files.
#ifndef SEHOST_CLI_WAV_OUT_H
#define SEHOST_CLI_WAV_OUT_H

#include <cstddef>
#include <string>
#include <vector>

struct SF_VIRTUAL_IO;

namespace secli {

// A file is plain WAV while its RIFF size field can hold it (4 GiB) and
// RF64, the same with 64-bit sizes, when it grows past that: an hour at
// 768 kHz is 11 GB. The header is written in its final form at close. It
// holds no PEAK chunk, whose time stamp would make two identical runs
// differ, so the file's bytes depend only on its samples and rate.
// Samples are gathered and handed to the library kBufferSamples at a time:
// each hand-over is a system call, so a block-sized write (a few kilobytes)
// costs far more per sample than a large one.
// A write error may show at a later write or at close.
class WavOut
{
public:
    static constexpr size_t kBufferSamples = 32768;
    WavOut(const std::string &path, double rate);
    // The same into the caller's stream (`name` for messages): lets a test
    // write a file past 4 GiB without the disk for it.
    WavOut(SF_VIRTUAL_IO &io, void *user, const std::string &name, double rate);
    ~WavOut();
    void write(const float *samples, size_t n);
    void close();

private:
    void configure();
    void hand_over(const float *samples, size_t n);
    void *m_file = nullptr;
    std::string m_path;
    std::vector<float> m_buffer; // kBufferSamples, m_used of them waiting
    size_t m_used = 0;
};

} // namespace secli

#endif
