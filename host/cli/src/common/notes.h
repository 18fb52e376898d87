// notes.h - what a user should know about a run that is no error: MIDI that
// lies after the end, a WAV file at another rate than the run, a WAV file
// shorter than its header says. Printed on standard error as one line,
// "sehost: note: ...", each text once; only while a run is built or
// finished, never from the audio path.
#ifndef SEHOST_CLI_NOTES_H
#define SEHOST_CLI_NOTES_H

#include <string>

namespace secli {

void note(const std::string &text);

} // namespace secli

#endif
