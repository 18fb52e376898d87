// wav_out.h - audio outputs as 32-bit float WAV files.
#ifndef SEHOST_CLI_WAV_OUT_H
#define SEHOST_CLI_WAV_OUT_H

#include <cstddef>
#include <string>
#include <vector>

namespace secli {

// Samples are gathered and handed to the library kBufferSamples at a time:
// each hand-over is a system call and a scan for the peak, so a block-sized
// write (a few kilobytes) costs far more per sample than a large one. The
// file's bytes do not depend on how the samples were split (the peak is the
// first sample of the greatest magnitude however the scans are cut).
// A write error may show at a later write or at close.
class WavOut
{
public:
    static constexpr size_t kBufferSamples = 32768;
    WavOut(const std::string &path, double rate);
    ~WavOut();
    void write(const float *samples, size_t n);
    void close();

private:
    void hand_over(const float *samples, size_t n);
    void *m_file = nullptr;
    std::string m_path;
    std::vector<float> m_buffer; // kBufferSamples, m_used of them waiting
    size_t m_used = 0;
};

} // namespace secli

#endif
