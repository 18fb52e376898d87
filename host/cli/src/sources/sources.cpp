// sources.cpp - oscillators, constants, ramps and WAV files as sources.
#include "sources/sources.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sndfile.h>
#include <vector>

#include "common/commit_journal.h"
#include "common/errors.h"
#include "common/input_file.h"
#include "common/notes.h"
#include "common/numbers.h"
#include "sources/chunks.h"
#include "sources/sine_fill.h"

namespace secli {
namespace {

std::vector<std::string> split(const std::string &s, char sep)
{
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t at = s.find(sep, start);
        out.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos)
            return out;
        start = at + 1;
    }
}

// Every number of a source is a frequency or volts; bounded so that the
// float samples made from it (volts / 10, sums of two) stay finite.
double number(const std::string &s, const std::string &where, const std::string &text)
{
    std::optional<double> v = read_decimal(s);
    if (!v)
        throw InputError(where + ": source \"" + text + "\": \"" + s + "\" is no number");
    if (std::fabs(*v) > FLT_MAX)
        throw InputError(where + ": source \"" + text + "\": " + s +
                         " is outside the range of a 32-bit float");
    return *v;
}

bool has_wav_suffix(const std::string &s)
{
    if (s.size() < 4)
        return false;
    std::string tail = s.substr(s.size() - 4);
    for (char &c : tail)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return tail == ".wav";
}

// The first channel of a WAV file, read through a window as the run asks
// for it: a long file costs one window of memory whatever its length, and
// only the samples the run needs are read. Reads run forward; a clock
// outside the window (another reader of the same source behind or ahead)
// moves it with a seek.
class WavStream
{
public:
    WavStream(const std::string &path, double rate, uint64_t total, const std::string &where)
        : m_path(path), m_where(where)
    {
        refuse_unsettled(path, where);
        SF_INFO info{};
        InputFile input(path, where + ": cannot read WAV file \"" + path + "\"");
        // The library closes the descriptor, also when it refuses the file.
        m_file = sf_open_fd(input.release(), SFM_READ, &info, SF_TRUE);
        if (!m_file)
            fail(sf_strerror(nullptr));
        if (info.frames <= 0 || info.channels <= 0) {
            sf_close(m_file);
            throw InputError(where + ": WAV file \"" + path + "\" holds no samples");
        }
        tell_what_differs(info, rate);
        m_channels = static_cast<size_t>(info.channels);
        m_frames = std::min<uint64_t>(static_cast<uint64_t>(info.frames), total);
        m_window = std::max<size_t>(1, kWindowSamples / m_channels);
        m_interleaved.resize(m_window * m_channels);
        m_first.resize(m_window);
        fill(0); // an unreadable file fails here, before the run
    }
    ~WavStream() { sf_close(m_file); }
    WavStream(const WavStream &) = delete;
    WavStream &operator=(const WavStream &) = delete;

    // Clocks first .. first + count - 1 (wrapping as uint32_t) into out.
    void read(uint32_t first, uint32_t count, float *out)
    {
        while (count > 0) {
            const uint64_t clock = first;
            // no run passes the clock's wrap back to 0
            uint64_t run = std::min<uint64_t>(count, (uint64_t{1} << 32) - clock);
            if (clock >= m_frames) {
                std::fill(out, out + run, 0.0f); // silence after the file
            } else {
                if (clock < m_start || clock >= m_start + m_count)
                    fill(clock);
                run = std::min<uint64_t>(run, m_start + m_count - clock);
                std::copy_n(m_first.data() + (clock - m_start), run, out);
            }
            first += static_cast<uint32_t>(run);
            count -= static_cast<uint32_t>(run);
            out += run;
        }
    }

private:
    static constexpr size_t kWindowSamples = 1 << 16;

    // A file is played one sample per sample of the run, whatever its rate,
    // and a file shorter than its header says (cut off in a copy or a
    // download) is played as far as it goes: both are said, as other
    // readers warn of them. The library notes a chunk that runs past the
    // file's end in its log: "data : 17640 (should be 9920)".
    void tell_what_differs(const SF_INFO &info, double rate) const
    {
        const std::string file = m_where + ": WAV file \"" + m_path + "\"";
        if (info.samplerate != static_cast<int>(rate)) {
            char speed[32];
            std::snprintf(speed, sizeof speed, "%.4g", rate / info.samplerate);
            note(file + " has " + std::to_string(info.samplerate) +
                 " samples a second and the run " + std::to_string(static_cast<long long>(rate)) +
                 ": it is played one sample per sample of the run, at " + speed +
                 " times its speed");
        }
        char log[4096] = "";
        sf_command(m_file, SFC_GET_LOG_INFO, log, sizeof log);
        for (const char *line = log; line && *line; line = std::strchr(line, '\n')) {
            line += *line == '\n';
            unsigned long long said = 0, held = 0;
            if (std::sscanf(line, "data : %llu (should be %llu)", &said, &held) == 2 && held < said)
                note(file + " ends early: its data chunk announces " + std::to_string(said) +
                     " bytes and the file holds " + std::to_string(held) +
                     "; it is played as far as it goes, then silence");
        }
    }

    [[noreturn]] void fail(const std::string &why) const
    {
        throw InputError(m_where + ": cannot read WAV file \"" + m_path + "\": " + why);
    }

    void fill(uint64_t clock)
    {
        if (clock != m_start + m_count &&
            sf_seek(m_file, static_cast<sf_count_t>(clock), SEEK_SET) < 0)
            fail(std::string("cannot seek to sample ") + std::to_string(clock) + ": " +
                 sf_strerror(m_file));
        uint64_t want = std::min<uint64_t>(m_window, m_frames - clock);
        sf_count_t got =
            sf_readf_float(m_file, m_interleaved.data(), static_cast<sf_count_t>(want));
        if (got != static_cast<sf_count_t>(want))
            fail("the file ends early or is damaged at sample " +
                 std::to_string(clock + (got > 0 ? got : 0)));
        for (size_t i = 0; i < want; ++i)
            m_first[i] = m_interleaved[i * m_channels];
        m_start = clock;
        m_count = want;
    }

    std::string m_path, m_where;
    SNDFILE *m_file = nullptr;
    size_t m_channels = 1, m_window = 1;
    uint64_t m_frames = 0, m_start = 0, m_count = 0;
    std::vector<float> m_interleaved, m_first;
};

Source wav_source(const std::string &path, double rate, uint64_t total, const std::string &where)
{
    auto stream = std::make_shared<WavStream>(path, rate, total, where);
    return Source{path, [stream](uint32_t first, uint32_t count, float *out) {
                      stream->read(first, count, out);
                  }};
}

} // namespace

namespace {
// The runs of clocks first .. first + count - 1 that neither pass the ring's
// end nor the clock's wrap to 0: f(ring offset, offset in the run, length).
template <class F> void ring_runs(uint32_t size, uint32_t first, uint32_t count, F &&f)
{
    uint32_t clock = first, done = 0;
    while (done < count) {
        const uint32_t at = clock % size;
        const uint64_t run =
            std::min<uint64_t>({count - done, size - at, (uint64_t{1} << 32) - clock});
        f(at, done, static_cast<uint32_t>(run));
        clock += static_cast<uint32_t>(run);
        done += static_cast<uint32_t>(run);
    }
}
} // namespace

void read_ring(const float *ring, uint32_t size, uint32_t first, uint32_t count, float *out)
{
    ring_runs(size, first, count,
              [&](uint32_t at, uint32_t i, uint32_t n) { std::copy_n(ring + at, n, out + i); });
}

void write_ring(float *ring, uint32_t size, uint32_t first, uint32_t count, const float *in)
{
    ring_runs(size, first, count,
              [&](uint32_t at, uint32_t i, uint32_t n) { std::copy_n(in + i, n, ring + at); });
}

bool looks_like_source(const std::string &text)
{
    for (const char *p : {"sine:", "square:", "saw:", "const:", "ramp:"})
        if (text.rfind(p, 0) == 0)
            return true;
    return has_wav_suffix(text);
}

Source make_source(const std::string &text, double rate, uint64_t total, const std::string &where)
{
    if (has_wav_suffix(text) && text.find(':') == std::string::npos)
        return wav_source(text, rate, total, where);
    std::vector<std::string> part = split(text, ':');
    const std::string &kind = part[0];
    auto args = [&](size_t lo, size_t hi) {
        if (part.size() - 1 < lo || part.size() - 1 > hi)
            throw InputError(
                where + ": source \"" + text + "\" takes " +
                (lo == hi ? std::to_string(lo) : std::to_string(lo) + " to " + std::to_string(hi)) +
                " numbers after \"" + kind + ":\"");
    };
    if (kind == "sine" || kind == "square" || kind == "saw") {
        args(1, 3);
        double freq = number(part[1], where, text);
        double volts = part.size() > 2 ? number(part[2], where, text) : 5.0;
        double offset = part.size() > 3 ? number(part[3], where, text) / 10.0 : 0.0;
        if (freq <= 0 || freq >= rate / 2)
            throw InputError(where + ": source \"" + text +
                             "\": frequency must lie between 0 and half the rate");
        double amp = volts / 10.0;
        double step = freq / rate;
        // Each sample from its own clock (first + i wraps as the clock
        // does), never from the one before: a run's samples do not depend on
        // how it is cut into blocks.
        if (kind == "sine")
            return Source{text, [w = SineWave{amp, step, offset}](uint32_t first, uint32_t count,
                                                                  float *out) {
                              fill_sine(w, first, count, out);
                          }};
        if (kind == "square")
            return Source{text, [amp, step, offset](uint32_t first, uint32_t count, float *out) {
                              fill_by_chunks(first, count, out, [&](double c0, float *y) {
                                  for (uint32_t i = 0; i < kChunkLength; ++i) {
                                      const double f =
                                          phase_fraction((c0 + static_cast<int32_t>(i)) * step);
                                      // amp while f < 1/2 (f - 1/2 is below zero,
                                      // never rounded to it), then -amp: the sign
                                      // bit flipped
                                      const uint64_t high = bits_of(f - 0.5) >> 63;
                                      const double a = from_bits(bits_of(amp) ^ ((high ^ 1) << 63));
                                      y[i] = static_cast<float>(offset + a);
                                  }
                              });
                          }};
        return Source{text, [amp, step, offset](uint32_t first, uint32_t count, float *out) {
                          fill_by_chunks(first, count, out, [&](double c0, float *y) {
                              for (uint32_t i = 0; i < kChunkLength; ++i) {
                                  const double f =
                                      phase_fraction((c0 + static_cast<int32_t>(i)) * step);
                                  y[i] = static_cast<float>(offset + amp * (2 * f - 1));
                              }
                          });
                      }};
    }
    if (kind == "const") {
        args(1, 1);
        float v = static_cast<float>(number(part[1], where, text) / 10.0);
        return Source{
            text, [v](uint32_t, uint32_t count, float *out) { std::fill(out, out + count, v); }};
    }
    if (kind == "ramp") {
        args(2, 2);
        double from = number(part[1], where, text) / 10.0, to = number(part[2], where, text) / 10.0;
        double n = total > 1 ? static_cast<double>(total - 1) : 1.0;
        return Source{text, [from, to, n](uint32_t first, uint32_t count, float *out) {
                          for (uint32_t i = 0; i < count; ++i) {
                              const uint32_t c = first + i;
                              double x = std::min(1.0, c / n);
                              out[i] = static_cast<float>(from + (to - from) * x);
                          }
                      }};
    }
    throw InputError(where + ": unknown source \"" + text +
                     "\" (sine:FREQ[:VOLTS], square:FREQ[:VOLTS], saw:FREQ[:VOLTS], const:VOLTS, "
                     "ramp:FROM:TO, FILE.wav)");
}

} // namespace secli
