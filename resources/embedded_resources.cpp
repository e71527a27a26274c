// The padded image files made by the build are placed into the executable's read-only data
// with the assembler's .incbin, so the program uses them in place and never copies them.
#include "resources/embedded_resources.h"

#ifndef QUILLON_FW_DIR
#error "QUILLON_FW_DIR names the folder of the padded images"
#endif

#define QUILLON_EMBED(id)                                              \
    asm(".section .rodata.quillon_fw,\"a\"\n"                          \
        ".balign 64\n"                                                 \
        ".globl quillon_fw_" #id "_begin\n"                            \
        ".hidden quillon_fw_" #id "_begin\n"                           \
        "quillon_fw_" #id "_begin:\n"                                  \
        ".incbin \"" QUILLON_FW_DIR "/FW_FILE_" #id ".bin\"\n"         \
        ".globl quillon_fw_" #id "_end\n"                              \
        ".hidden quillon_fw_" #id "_end\n"                             \
        "quillon_fw_" #id "_end:\n"                                    \
        ".previous\n");                                                \
    extern "C" const char quillon_fw_##id##_begin[];                   \
    extern "C" const char quillon_fw_##id##_end[];

QUILLON_EMBED(140)
QUILLON_EMBED(141)
QUILLON_EMBED(142)
QUILLON_EMBED(144)
QUILLON_EMBED(145)

namespace firmware {

std::span<const EmbeddedResource> EmbeddedResourceTable() {
    static const EmbeddedResource table[] = {
        {"FW_FILE", 140, quillon_fw_140_begin, quillon_fw_140_end},
        {"FW_FILE", 141, quillon_fw_141_begin, quillon_fw_141_end},
        {"FW_FILE", 142, quillon_fw_142_begin, quillon_fw_142_end},
        {"FW_FILE", 144, quillon_fw_144_begin, quillon_fw_144_end},
        {"FW_FILE", 145, quillon_fw_145_begin, quillon_fw_145_end},
    };
    return table;
}

}  // namespace firmware
