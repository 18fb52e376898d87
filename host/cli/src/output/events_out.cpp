// events_out.cpp - one JSON object per line.
#include "output/events_out.h"

#include "common/errors.h"

namespace secli {

EventsOut::EventsOut(const std::string &path) : m_path(path)
{
    m_file = std::fopen(path.c_str(), "w");
    if (!m_file)
        throw InputError(path + ": cannot write");
    m_buffer.resize(1 << 16);
    std::setvbuf(m_file, m_buffer.data(), _IOFBF, m_buffer.size());
}

EventsOut::~EventsOut()
{
    if (m_file)
        std::fclose(m_file);
}

void EventsOut::write(const std::string &line)
{
    if (std::fwrite(line.data(), 1, line.size(), m_file) != line.size() ||
        std::fputc('\n', m_file) == EOF)
        throw InputError(m_path + ": cannot write");
}

void EventsOut::close()
{
    if (m_file && std::fclose(m_file) != 0) {
        m_file = nullptr;
        throw InputError(m_path + ": cannot write");
    }
    m_file = nullptr;
}

} // namespace secli
