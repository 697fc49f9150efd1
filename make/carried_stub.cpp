#include "carried_stub.h"

// The build names the stub's file in PONDREL_STUB_FILE (a string); the assembler copies its
// bytes in.
asm(".section .rodata\n"
    ".balign 16\n"
    ".globl pondrel_carried_stub\n"
    ".hidden pondrel_carried_stub\n"
    "pondrel_carried_stub:\n"
    ".incbin \"" PONDREL_STUB_FILE "\"\n"
    ".globl pondrel_carried_stub_end\n"
    ".hidden pondrel_carried_stub_end\n"
    "pondrel_carried_stub_end:\n"
    ".previous\n");

extern "C" const std::uint8_t pondrel_carried_stub[];
extern "C" const std::uint8_t pondrel_carried_stub_end[];

CarriedStub carriedStub() {
  return CarriedStub{pondrel_carried_stub, static_cast<std::size_t>(pondrel_carried_stub_end - pondrel_carried_stub)};
}
