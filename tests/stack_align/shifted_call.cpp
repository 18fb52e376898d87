// shifted_call.cpp - see shifted_call.h.  Written in assembly because no
// compiler gives a chosen misalignment: gcc keeps (or restores) 16 bytes.
#include "shifted_call.h"

#if !defined(__i386__)
#error "shifted calls are for 32-bit x86"
#endif

#if defined(_WIN32)
#define SE_ASM_NAME(n) "_" #n
#else
#define SE_ASM_NAME(n) #n
#endif

asm(".text\n"
    ".globl " SE_ASM_NAME(se_call_shifted) "\n" SE_ASM_NAME(
        se_call_shifted) ":\n"
                         "    pushl %ebp\n"
                         "    movl %esp, %ebp\n"
                         "    pushl %esi\n"
                         "    pushl %edi\n"
                         "    pushl %ebx\n"
                         "    movl 12(%ebp), %esi\n" // args
                         "    movl 16(%ebp), %ecx\n" // count
                         "    leal 0(,%ecx,4), %eax\n"
                         "    movl %esp, %edi\n"
                         "    subl %eax, %edi\n"
                         "    subl $64, %edi\n" // room below the saved registers
                         "    andl $-16, %edi\n"
                         "    subl 20(%ebp), %edi\n" // the shift
                         "    movl %edi, %esp\n"
                         "    xorl %edx, %edx\n"
                         "1:  cmpl %ecx, %edx\n"
                         "    jae 2f\n"
                         "    movl (%esi,%edx,4), %eax\n"
                         "    movl %eax, (%esp,%edx,4)\n"
                         "    incl %edx\n"
                         "    jmp 1b\n"
                         "2:  movl 8(%ebp), %eax\n"
                         "    call *%eax\n"
                         "    leal -12(%ebp), %esp\n"
                         "    popl %ebx\n"
                         "    popl %edi\n"
                         "    popl %esi\n"
                         "    popl %ebp\n"
                         "    ret\n"
                         ".globl " SE_ASM_NAME(se_stack_at_call) "\n" SE_ASM_NAME(
                             se_stack_at_call) ":\n"
                                               "    leal 4(%esp), %eax\n"
                                               "    ret\n");
