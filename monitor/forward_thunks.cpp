// The pool of generic forwarding entries that both monitor libraries export
// (monitoring/forward_block.h): 64 small assembly entries under placeholder
// names, the table of their addresses, and the block that Varrow fills with the
// copy's export table. An entry changes neither the caller's registers nor its
// stack: it counts the call, takes the cached address of the original's
// function and jumps there; at the first call it saves the argument registers
// (x86-64: rcx, rdx, r8, r9 and xmm0-xmm5; x86: eax, ecx, edx and xmm0-xmm5 for
// register conventions), asks VarrowResolveForward (monitor/forward_pool.cpp),
// restores them and jumps. On x86-64 only r10 and r11 are used, which no
// calling convention passes arguments in; on x86 the entry's own push is taken
// off again before the jump (the original returns straight to the caller).
#include <cstdint>

#include "monitoring/forward_block.h"

namespace {

struct BlockStorage {
  forward::BlockHeader header;
  unsigned char data[forward::kBlockBytes - sizeof(forward::BlockHeader)];
};

}  // namespace

// The block: initialised data in a section of its own, so that it is in the
// file where Varrow finds it by the section's name. Read through a volatile
// pointer (VarrowForwardBlock): the copy's bytes differ from what was built.
extern "C" __attribute__((section(".vfwd"), used))
const BlockStorage varrow_forward_block = {
    {{'V', 'R', 'W', 'F', 'W', 'D', '0', '1'}, forward::kPoolSize, forward::kBlockBytes, 0, 0, 0, 0},
    {}};

extern "C" const volatile unsigned char* VarrowForwardBlock() {
  return reinterpret_cast<const volatile unsigned char*>(&varrow_forward_block);
}

// The targets (null until resolved) and the call counts, indexed by entry.
extern "C" {
std::uintptr_t varrow_forward_targets[forward::kPoolSize];
std::uintptr_t varrow_forward_calls[forward::kPoolSize];
}

#define VARROW_POOL(X) X(0) X(1) X(2) X(3) X(4) X(5) X(6) X(7) X(8) X(9) X(10) X(11) X(12) X(13) X(14) X(15) X(16) X(17) X(18) X(19) X(20) X(21) X(22) X(23) X(24) X(25) X(26) X(27) X(28) X(29) X(30) X(31) X(32) X(33) X(34) X(35) X(36) X(37) X(38) X(39) X(40) X(41) X(42) X(43) X(44) X(45) X(46) X(47) X(48) X(49) X(50) X(51) X(52) X(53) X(54) X(55) X(56) X(57) X(58) X(59) X(60) X(61) X(62) X(63)

#if defined(__x86_64__)
#define SYM(name) name
#define ENTRY(i)                                                              \
  ".globl " SYM("VarrowForward" #i) "\n"                                      \
  ".balign 16\n" SYM("VarrowForward" #i) ":\n"                                \
  "  movl $" #i ", %r11d\n"                                                   \
  "  jmp varrow_forward_common\n"
#define ADDRESS(i) "  .quad " SYM("VarrowForward" #i) "\n"
#define COMMON                                                                \
  "varrow_forward_common:\n"                                                  \
  "  leaq varrow_forward_calls(%rip), %r10\n"                                 \
  "  lock incq (%r10,%r11,8)\n"                                               \
  "  leaq varrow_forward_targets(%rip), %r10\n"                               \
  "  movq (%r10,%r11,8), %r10\n"                                              \
  "  testq %r10, %r10\n"                                                      \
  "  jz 1f\n"                                                                 \
  "  jmp *%r10\n"                                                             \
  "1:\n"                                                                      \
  "  pushq %rax\n"                      /* the stack aligned to 16 again */   \
  "  subq $0xa0, %rsp\n"                /* 32 bytes home space, then saves */ \
  "  movq %rcx, 0x20(%rsp)\n"                                                 \
  "  movq %rdx, 0x28(%rsp)\n"                                                 \
  "  movq %r8, 0x30(%rsp)\n"                                                  \
  "  movq %r9, 0x38(%rsp)\n"                                                  \
  "  movdqu %xmm0, 0x40(%rsp)\n"                                              \
  "  movdqu %xmm1, 0x50(%rsp)\n"                                              \
  "  movdqu %xmm2, 0x60(%rsp)\n"                                              \
  "  movdqu %xmm3, 0x70(%rsp)\n"                                              \
  "  movdqu %xmm4, 0x80(%rsp)\n"                                              \
  "  movdqu %xmm5, 0x90(%rsp)\n"                                              \
  "  movq %r11, %rcx\n"                                                       \
  "  call VarrowResolveForward\n"                                             \
  "  movq %rax, %r10\n"                                                       \
  "  movq 0x20(%rsp), %rcx\n"                                                 \
  "  movq 0x28(%rsp), %rdx\n"                                                 \
  "  movq 0x30(%rsp), %r8\n"                                                  \
  "  movq 0x38(%rsp), %r9\n"                                                  \
  "  movdqu 0x40(%rsp), %xmm0\n"                                              \
  "  movdqu 0x50(%rsp), %xmm1\n"                                              \
  "  movdqu 0x60(%rsp), %xmm2\n"                                              \
  "  movdqu 0x70(%rsp), %xmm3\n"                                              \
  "  movdqu 0x80(%rsp), %xmm4\n"                                              \
  "  movdqu 0x90(%rsp), %xmm5\n"                                              \
  "  addq $0xa0, %rsp\n"                                                      \
  "  popq %rax\n"                                                             \
  "  jmp *%r10\n"
#elif defined(__i386__)
#define SYM(name) "_" name
#define ENTRY(i)                                                              \
  ".globl " SYM("VarrowForward" #i) "\n"                                      \
  ".balign 16\n" SYM("VarrowForward" #i) ":\n"                                \
  "  pushl $" #i "\n"                                                         \
  "  jmp varrow_forward_common\n"
#define ADDRESS(i) "  .long " SYM("VarrowForward" #i) "\n"
// [esp] holds the entry's index until it is replaced by the target, which the
// final ret jumps to with the stack as the caller left it.
#define COMMON                                                                \
  "varrow_forward_common:\n"                                                  \
  "  pushl %eax\n"                                                            \
  "  movl 4(%esp), %eax\n"                                                    \
  "  lock incl _varrow_forward_calls(,%eax,4)\n"                              \
  "  movl _varrow_forward_targets(,%eax,4), %eax\n"                           \
  "  testl %eax, %eax\n"                                                      \
  "  jz 1f\n"                                                                 \
  "  movl %eax, 4(%esp)\n"                                                    \
  "  popl %eax\n"                                                             \
  "  ret\n"                                                                   \
  "1:\n"                                                                      \
  "  pushl %ecx\n"                                                            \
  "  pushl %edx\n"                                                            \
  "  subl $96, %esp\n"                                                        \
  "  movdqu %xmm0, 0(%esp)\n"                                                 \
  "  movdqu %xmm1, 16(%esp)\n"                                                \
  "  movdqu %xmm2, 32(%esp)\n"                                                \
  "  movdqu %xmm3, 48(%esp)\n"                                                \
  "  movdqu %xmm4, 64(%esp)\n"                                                \
  "  movdqu %xmm5, 80(%esp)\n"                                                \
  "  pushl 108(%esp)\n"                  /* the index */                      \
  "  call _VarrowResolveForward\n"                                            \
  "  addl $4, %esp\n"                                                         \
  "  movdqu 0(%esp), %xmm0\n"                                                 \
  "  movdqu 16(%esp), %xmm1\n"                                                \
  "  movdqu 32(%esp), %xmm2\n"                                                \
  "  movdqu 48(%esp), %xmm3\n"                                                \
  "  movdqu 64(%esp), %xmm4\n"                                                \
  "  movdqu 80(%esp), %xmm5\n"                                                \
  "  addl $96, %esp\n"                                                        \
  "  popl %edx\n"                                                             \
  "  popl %ecx\n"                                                             \
  "  movl %eax, 4(%esp)\n"                                                    \
  "  popl %eax\n"                                                             \
  "  ret\n"
#else
#error "the forwarding entries are written for x86 and x86-64"
#endif

#define EXPORT(i) "  .ascii \" -export:VarrowForward" #i "\"\n"

asm(".text\n"
    VARROW_POOL(ENTRY)
    ".balign 16\n"
    COMMON
    ".section .rdata,\"dr\"\n"
    ".balign 8\n"
    ".globl " SYM("varrow_forward_entries") "\n"
    SYM("varrow_forward_entries") ":\n"
    VARROW_POOL(ADDRESS)
    ".section .drectve\n"
    VARROW_POOL(EXPORT)
    ".text\n");
