// wav_out.cpp - streaming 32-bit float WAV files with libsndfile.
#include <sndfile.h>

#include "errors.h"
#include "writers.h"

namespace secli {

WavOut::WavOut(const std::string &path, double rate) : m_path(path)
{
    SF_INFO info{};
    info.samplerate = static_cast<int>(rate);
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    m_file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!m_file)
        throw InputError(path + ": cannot write WAV: " + sf_strerror(nullptr));
}

WavOut::~WavOut()
{
    if (m_file)
        sf_close(static_cast<SNDFILE *>(m_file));
}

void WavOut::write(const float *samples, size_t n)
{
    if (sf_write_float(static_cast<SNDFILE *>(m_file), samples, static_cast<sf_count_t>(n)) !=
        static_cast<sf_count_t>(n))
        throw InputError(m_path +
                         ": cannot write WAV: " + sf_strerror(static_cast<SNDFILE *>(m_file)));
}

void WavOut::close()
{
    if (m_file && sf_close(static_cast<SNDFILE *>(m_file)) != 0) {
        m_file = nullptr;
        throw InputError(m_path + ": cannot finish WAV");
    }
    m_file = nullptr;
}

} // namespace secli
