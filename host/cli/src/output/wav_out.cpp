// wav_out.cpp - streaming 32-bit float WAV files with libsndfile.
#include "output/wav_out.h"

#include <sndfile.h>

#include <algorithm>

#include "common/errors.h"

namespace secli {

namespace {

SF_INFO wav_info(double rate)
{
    SF_INFO info{};
    info.samplerate = static_cast<int>(rate);
    info.channels = 1;
    info.format = SF_FORMAT_RF64 | SF_FORMAT_FLOAT;
    return info;
}

} // namespace

WavOut::WavOut(const std::string &path, double rate) : m_path(path)
{
    SF_INFO info = wav_info(rate);
    m_file = sf_open(path.c_str(), SFM_WRITE, &info);
    configure();
}

WavOut::WavOut(SF_VIRTUAL_IO &io, void *user, const std::string &name, double rate) : m_path(name)
{
    SF_INFO info = wav_info(rate);
    m_file = sf_open_virtual(&io, SFM_WRITE, &info, user);
    configure();
}

void WavOut::configure()
{
    if (!m_file)
        throw InputError(m_path + ": cannot write WAV: " + sf_strerror(nullptr));
    SNDFILE *file = static_cast<SNDFILE *>(m_file);
    // RF64 written as plain WAV when it fits (a WAVE_FORMAT_EXTENSIBLE
    // header with a JUNK chunk where RF64 keeps its 64-bit sizes). The RF64
    // writer adds no PEAK chunk unless asked; SFC_SET_ADD_PEAK_CHUNK is not
    // sent, since libsndfile 1.2 answers a first "no peak chunk" by adding
    // one. The tests check every file for it.
    sf_command(file, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
    m_buffer.resize(kBufferSamples);
}

WavOut::~WavOut()
{
    if (m_file)
        sf_close(static_cast<SNDFILE *>(m_file));
}

void WavOut::write(const float *samples, size_t n)
{
    while (n > 0) {
        // a run of whole buffers with nothing waiting goes straight through
        if (m_used == 0 && n >= kBufferSamples) {
            const size_t whole = n - n % kBufferSamples;
            hand_over(samples, whole);
            samples += whole;
            n -= whole;
            continue;
        }
        const size_t take = std::min(n, kBufferSamples - m_used);
        std::copy_n(samples, take, m_buffer.data() + m_used);
        m_used += take;
        samples += take;
        n -= take;
        if (m_used == kBufferSamples) {
            m_used = 0;
            hand_over(m_buffer.data(), kBufferSamples);
        }
    }
}

void WavOut::hand_over(const float *samples, size_t n)
{
    if (sf_write_float(static_cast<SNDFILE *>(m_file), samples, static_cast<sf_count_t>(n)) !=
        static_cast<sf_count_t>(n))
        throw InputError(m_path +
                         ": cannot write WAV: " + sf_strerror(static_cast<SNDFILE *>(m_file)));
}

void WavOut::close()
{
    if (m_file && m_used > 0) {
        const size_t n = m_used;
        m_used = 0;
        try {
            hand_over(m_buffer.data(), n);
        } catch (...) {
            sf_close(static_cast<SNDFILE *>(m_file));
            m_file = nullptr;
            throw;
        }
    }
    if (m_file && sf_close(static_cast<SNDFILE *>(m_file)) != 0) {
        m_file = nullptr;
        throw InputError(m_path + ": cannot finish WAV");
    }
    m_file = nullptr;
}

} // namespace secli
