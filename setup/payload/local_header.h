#pragma once
// The archive library finds an entry's data through the lengths in its local header, but never
// reads the signature in front of them: bytes that are no local header at all would be taken
// for one. This checks the signature.
#include <zip.h>

#ifdef __cplusplus
extern "C" {
#endif

// Nonzero when the local header of entry `index` of `archive` can be read and begins with the
// local header's signature. Moves the archive's own read position: the caller holds the
// archive's lock.
int localHeaderIsSound(zip_t* archive, zip_uint64_t index);

#ifdef __cplusplus
}
#endif
