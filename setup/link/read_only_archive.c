/* The setup program reads every entry's stored data itself (inflating and checking it on its
   own), refuses encrypted entries before it opens them and opens no entry that stores nothing.
   The archive library's reading layers would still link its decompression pipeline, its
   memory-buffer source and its table of encryption methods, which names the traditional PKWARE
   encryption's writer (with the random numbers it needs) next to its reader. These stand in
   for them in the shipped program only (the tests link the real ones): the library never asks
   for them when an entry's stored data is read, and reports an error if it does. */
#include <zip.h>

typedef zip_source_t* (*EncryptionImplementation)(zip_t*, zip_source_t*, zip_uint16_t, int, const char*);

/* An entry that stores no bytes is never opened (the reader gives it as empty), so the
   memory-buffer source the library would make for one is not needed either. */
zip_source_t* zip_source_buffer_with_attributes(zip_t* archive, const void* data, zip_uint64_t length, int freeData,
                                                zip_file_attributes_t* attributes) {
  (void)data, (void)length, (void)freeData, (void)attributes;
  zip_error_set(zip_get_error(archive), ZIP_ER_INTERNAL, 0);
  return 0;
}

/* No method is known: the library reports ZIP_ER_ENCRNOTSUPP itself. */
EncryptionImplementation _zip_get_encryption_implementation(zip_uint16_t method, int operation) {
  (void)method, (void)operation;
  return 0;
}

zip_source_t* zip_source_decompress(zip_t* archive, zip_source_t* source, zip_int32_t method) {
  (void)source, (void)method;
  zip_error_set(zip_get_error(archive), ZIP_ER_COMPNOTSUPP, 0);
  return 0;
}
