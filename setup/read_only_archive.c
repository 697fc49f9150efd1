/* The setup program reads every entry's stored data itself (inflating and checking it on its
   own) and refuses encrypted entries before it opens them. The archive library's reading layers
   would still link its decompression pipeline and its table of encryption methods, which names
   the traditional PKWARE encryption's writer (with the random numbers it needs) next to its
   reader. These stand in for both in the shipped program only (the tests link the real ones):
   the library never asks for them when an entry's stored data is read, and reports an
   unsupported method if it does. */
#include <zip.h>

typedef zip_source_t* (*EncryptionImplementation)(zip_t*, zip_source_t*, zip_uint16_t, int, const char*);

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
