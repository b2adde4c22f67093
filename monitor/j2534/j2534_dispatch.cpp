// The exports whose arguments 04.04 and 05.00 lay out differently:
// PassThruConnect (05.00 adds a RESOURCE_STRUCT by value), PassThruStartMsgFilter
// (05.00 drops the flow-control message) and PassThruSetProgrammingVoltage
// (05.00 takes a RESOURCE_STRUCT for the pin). One export cannot take both:
// on x86 a __stdcall function pops its own arguments, so it must know their
// size; on x86-64 the arguments past the fourth lie on the stack in the
// caller's frame, placed as its declaration says. Each is therefore a short
// entry that asks which version the monitor serves and jumps, with the stack
// and argument registers as the application left them, to that version's
// function, which then returns to the application itself.
#include "monitor/j2534/j2534_monitor_v05.h"

#define VARROW_STR2(x) #x
#define VARROW_STR(x) VARROW_STR2(x)
// The assembler name of the export `name` (the C prefix of the target: "_" on x86).
#define VARROW_EXPORT(name) VARROW_STR(__USER_LABEL_PREFIX__) #name

#if defined(__i386__)
// The callee may change eax, ecx and edx; the call leaves the stack as it found it.
#define VARROW_DISPATCH(name, v0404, v0500)                        \
  __asm__(".text\n"                                                \
          ".globl " VARROW_EXPORT(name) "\n"                       \
          ".def " VARROW_EXPORT(name) "; .scl 2; .type 32; .endef\n" \
          VARROW_EXPORT(name) ":\n"                                \
          "  call varrow_j2534_serves_v05\n"                       \
          "  testl %eax, %eax\n"                                   \
          "  jnz " #v0500 "\n"                                     \
          "  jmp " #v0404 "\n");
#elif defined(__x86_64__)
// The four argument registers are kept across the call; the stack is aligned
// to 16 bytes at the call, with the 32 bytes of home space the callee may use.
// The prologue is described for the unwinder, so that a stack walked from
// within the call passes through the entry.
#define VARROW_DISPATCH(name, v0404, v0500)                        \
  __asm__(".text\n"                                                \
          ".globl " VARROW_EXPORT(name) "\n"                       \
          ".def " VARROW_EXPORT(name) "; .scl 2; .type 32; .endef\n" \
          ".seh_proc " VARROW_EXPORT(name) "\n"                    \
          VARROW_EXPORT(name) ":\n"                                \
          "  pushq %rcx\n"                                         \
          "  .seh_pushreg %rcx\n"                                  \
          "  pushq %rdx\n"                                         \
          "  .seh_pushreg %rdx\n"                                  \
          "  pushq %r8\n"                                          \
          "  .seh_pushreg %r8\n"                                   \
          "  pushq %r9\n"                                          \
          "  .seh_pushreg %r9\n"                                   \
          "  subq $40, %rsp\n"                                     \
          "  .seh_stackalloc 40\n"                                 \
          "  .seh_endprologue\n"                                   \
          "  call varrow_j2534_serves_v05\n"                       \
          "  addq $40, %rsp\n"                                     \
          "  popq %r9\n"                                           \
          "  popq %r8\n"                                           \
          "  popq %rdx\n"                                          \
          "  popq %rcx\n"                                          \
          "  testl %eax, %eax\n"                                   \
          "  jnz " #v0500 "\n"                                     \
          "  jmp " #v0404 "\n"                                     \
          ".seh_endproc\n");
#else
#error "the dispatch entries are written for x86 and x86-64"
#endif

VARROW_DISPATCH(PassThruConnect, varrow_connect_0404, varrow_connect_0500)
VARROW_DISPATCH(PassThruStartMsgFilter, varrow_start_filter_0404, varrow_start_filter_0500)
VARROW_DISPATCH(PassThruSetProgrammingVoltage, varrow_set_voltage_0404, varrow_set_voltage_0500)
