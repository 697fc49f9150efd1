/* The setup program only ever reads archives, but the archive library's table of compression
   methods names zlib's compressor next to its decompressor, and would link the whole compressor
   (some 35 KB) into every setup program. These stand in for its three entry points in the
   shipped program only (the tests, which write archives, link the real ones) and refuse every
   stream, as zlib does a stream it cannot set up. */
#include <zlib.h>

int ZEXPORT deflateInit2_(z_streamp stream, int level, int method, int windowBits, int memLevel, int strategy,
                          const char* version, int streamSize) {
  (void)stream, (void)level, (void)method, (void)windowBits, (void)memLevel, (void)strategy, (void)version,
      (void)streamSize;
  return Z_STREAM_ERROR;
}

int ZEXPORT deflate(z_streamp stream, int flush) {
  (void)stream, (void)flush;
  return Z_STREAM_ERROR;
}

int ZEXPORT deflateEnd(z_streamp stream) {
  (void)stream;
  return Z_STREAM_ERROR;
}
