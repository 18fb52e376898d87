// shifted_call.h - calling a cdecl function with the stack pointer moved
// off a 16-byte boundary by a chosen number of bytes (32-bit x86 only).
#ifndef SE_SHIFTED_CALL_H
#define SE_SHIFTED_CALL_H

#include <cstdint>

extern "C" {
// Calls fn(args[0], ..., args[count - 1]) with every argument one 32-bit
// word on the stack; at the call instruction the stack pointer plus `shift`
// is a multiple of 16 (shift 0: the alignment gcc's own code keeps).
// Answers what fn left in eax (its result, for int and pointer results).
uint32_t se_call_shifted(const void *fn, const uint32_t *args, uint32_t count, uint32_t shift);
// Answers the stack pointer at its call instruction (the address of its
// first argument), to check the shift itself.
uint32_t se_stack_at_call(void);
}

#endif
