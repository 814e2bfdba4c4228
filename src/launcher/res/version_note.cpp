// The Linux build's counterpart of the version resource: an ELF note (owner "Velmora", type 1,
// see os/version_info.h) whose descriptor is the file version, read back from the file by
// FileVersionString.
#define VELMORA_NOTE_TEXT_(x) #x
#define VELMORA_NOTE_TEXT(x) VELMORA_NOTE_TEXT_(x)

__asm__(
    ".pushsection .note.velmora.version,\"a\",@note\n"
    ".balign 4\n"
    ".long 8\n"            // owner size: "Velmora" and its NUL
    ".long 2f - 1f\n"      // descriptor size
    ".long 1\n"            // type: file version
    ".asciz \"Velmora\"\n"
    ".balign 4\n"
    "1: .asciz " VELMORA_NOTE_TEXT(VELMORA_VERSION_TEXT) "\n"
    "2: .balign 4\n"
    ".popsection\n");
