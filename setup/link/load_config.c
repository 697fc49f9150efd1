/* The program's load configuration. Its one field of note asks the loader to look up the DLLs
   the program imports in the system folder only, never beside the program (a download folder
   may hold anything), on the systems that read it (Windows 10 and later). The size stops
   before the exception-handler table, at the 64 bytes that Windows XP expects of a 32-bit
   program; everything else stays at the system's defaults. The linker does not point the
   header at it: cmake/load_config.py does after linking. */
#include <windows.h>
#include <stddef.h>

const IMAGE_LOAD_CONFIG_DIRECTORY _load_config_used = {
    .Size = offsetof(IMAGE_LOAD_CONFIG_DIRECTORY, SEHandlerTable),
    .Reserved1 = LOAD_LIBRARY_SEARCH_SYSTEM32, /* the dependents' load flags */
};
