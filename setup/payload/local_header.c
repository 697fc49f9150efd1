/* Reads the archive library's own record of an entry (its private header), which alone knows
   where the entry's local header stands. */
#include "payload/local_header.h"

#include <string.h>

#include "zipint.h"

int localHeaderIsSound(zip_t* archive, zip_uint64_t index) {
  unsigned char head[4];
  if (index >= archive->nentry || archive->entry[index].orig == NULL) return 0;
  if (zip_source_seek(archive->src, (zip_int64_t)archive->entry[index].orig->offset, SEEK_SET) < 0) return 0;
  if (zip_source_read(archive->src, head, sizeof head) != (zip_int64_t)sizeof head) return 0;
  return memcmp(head, LOCAL_MAGIC, sizeof head) == 0;
}
