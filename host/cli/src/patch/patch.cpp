// patch.cpp - what a patch holds, counted.
#include "patch/patch.h"

namespace secli {

LateMidi midi_after_end(const ModuleSpec &m, double rate, uint64_t total)
{
    LateMidi late;
    for (const MidiIn &mi : m.midi)
        late.listed += mi.time.clock(rate) >= total;
    if (m.midi_file) {
        // in time order: those before the end, then the rest
        uint64_t played = 0;
        MidiFileCursor cursor(m.midi_file, rate);
        for (MidiIn mi; cursor.next(mi) && mi.time.clock(rate) < total;)
            ++played;
        late.in_file = m.midi_file->messages - played;
    }
    return late;
}

} // namespace secli
