// events_out.cpp - one JSON object per line.
#include "errors.h"
#include "writers.h"

namespace secli {

EventsOut::EventsOut(const std::string &path) : m_path(path)
{
    m_file = std::fopen(path.c_str(), "w");
    if (!m_file)
        throw InputError(path + ": cannot write");
}

EventsOut::~EventsOut()
{
    if (m_file)
        std::fclose(m_file);
}

void EventsOut::write(const nlohmann::json &e)
{
    std::string line = e.dump() + "\n";
    if (std::fwrite(line.data(), 1, line.size(), m_file) != line.size())
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
