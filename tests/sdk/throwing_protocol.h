// throwing_protocol.h - what the throwing test module tells its host.
#ifndef THROWING_PROTOCOL_H
#define THROWING_PROTOCOL_H

#include <cstdint>

// Host requests no real host defines: the module is about to throw, and one
// of its objects has been destroyed.
constexpr int32_t THROWING_ABOUT_TO_THROW = 9001;
constexpr int32_t THROWING_DESTROYED = 9002;

// makeModule's host data that makes the DSP constructor throw.
inline void *const THROWING_IN_CONSTRUCTOR =
    reinterpret_cast<void *>(static_cast<uintptr_t>(0x7E57));

#endif
