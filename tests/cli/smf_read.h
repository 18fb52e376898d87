// smf_read.h - a small Standard MIDI File reader for the tests, written apart
// from sehost's own: every event of every track with its pulse and time in
// seconds (tempo changes followed), system-exclusive and escaped events as
// their bytes; meta events other than tempo are left out.
#ifndef SE_TEST_SMF_READ_H
#define SE_TEST_SMF_READ_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace se_cli {

struct SmfEvent {
    double seconds;
    std::vector<int> bytes;
    uint64_t tick = 0;
};

struct SmfFile {
    int format = -1, tracks = 0, division = 0;
    std::vector<SmfEvent> events; // in time order
    bool ok = false;
};

inline SmfFile parse_smf(const std::string &path)
{
    SmfFile f;
    std::ifstream in(path, std::ios::binary);
    std::vector<unsigned char> d((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
    size_t at = 0;
    auto need = [&](size_t n) { return at + n <= d.size(); };
    auto be = [&](int n) {
        uint64_t v = 0;
        for (int i = 0; i < n; ++i)
            v = v << 8 | d[at++];
        return v;
    };
    if (!need(14) || std::string(d.begin(), d.begin() + 4) != "MThd")
        return f;
    at = 8;
    f.format = static_cast<int>(be(2));
    f.tracks = static_cast<int>(be(2));
    f.division = static_cast<int>(be(2));
    if (f.division == 0 || (f.division & 0x8000))
        return f;
    struct Raw {
        uint64_t tick;
        size_t order;
        bool tempo;
        uint32_t us;
        std::vector<int> bytes;
    };
    std::vector<Raw> raw;
    for (int t = 0; t < f.tracks; ++t) {
        if (!need(8) || std::string(d.begin() + at, d.begin() + at + 4) != "MTrk")
            return f;
        at += 4;
        size_t length = be(4), end = at + length;
        if (end > d.size())
            return f;
        uint64_t tick = 0;
        int running = 0;
        bool ended = false;
        auto vlq = [&] {
            uint64_t v = 0;
            for (int i = 0; i < 4 && at < end; ++i) {
                v = v << 7 | (d[at] & 0x7F);
                if (!(d[at++] & 0x80))
                    return v;
            }
            at = end + 1; // malformed
            return v;
        };
        while (at < end && !ended) {
            tick += vlq();
            if (at >= end)
                return f;
            int status = d[at];
            Raw r{tick, raw.size(), false, 0, {}};
            if (status == 0xFF) {
                at++;
                int type = d[at++];
                size_t n = vlq();
                if (at + n > end)
                    return f;
                if (type == 0x51 && n == 3) {
                    r.tempo = true;
                    r.us = static_cast<uint32_t>(be(3));
                    raw.push_back(r);
                } else {
                    at += n;
                }
                ended = type == 0x2F;
                continue;
            }
            if (status == 0xF0 || status == 0xF7) {
                at++;
                size_t n = vlq();
                if (at + n > end)
                    return f;
                if (status == 0xF0)
                    r.bytes.push_back(0xF0);
                for (size_t i = 0; i < n; ++i)
                    r.bytes.push_back(d[at++]);
                raw.push_back(r);
                continue;
            }
            if (status & 0x80) {
                running = status;
                at++;
            }
            if (running < 0x80 || running >= 0xF0)
                return f;
            int size = (running & 0xF0) == 0xC0 || (running & 0xF0) == 0xD0 ? 1 : 2;
            r.bytes.push_back(running);
            for (int i = 0; i < size && at < end; ++i)
                r.bytes.push_back(d[at++]);
            raw.push_back(r);
        }
        if (!ended || at != end)
            return f;
    }
    std::stable_sort(raw.begin(), raw.end(),
                     [](const Raw &a, const Raw &b) { return a.tick < b.tick; });
    double seconds = 0, per_tick = 0.5 / f.division;
    uint64_t last = 0;
    for (const Raw &r : raw) {
        seconds += static_cast<double>(r.tick - last) * per_tick;
        last = r.tick;
        if (r.tempo)
            per_tick = r.us / 1e6 / f.division;
        else
            f.events.push_back(SmfEvent{seconds, r.bytes, r.tick});
    }
    f.ok = true;
    return f;
}

inline std::vector<SmfEvent> read_smf(const std::string &path)
{
    SmfFile f = parse_smf(path);
    EXPECT_TRUE(f.ok) << path << ": not a well-formed Standard MIDI File";
    return f.events;
}

} // namespace se_cli

#endif
