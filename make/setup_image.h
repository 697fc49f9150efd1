#pragma once
// The setup program's image: the stub this builder carries, with the payload resources and the
// rewritten version strings. On Windows the platform's resource update calls write them
// (setup_image_windows.cpp); elsewhere the builder's own resource writer does, in memory
// (setup_image_portable.cpp).
#include <cstdint>
#include <string>

#include "handles.h"

class PendingFile;

// What a build records in the image.
struct ImageRequest {
  std::string setupFileName;  // in its code page, without a terminator; empty: distribution mode
  std::wstring stem;          // the output's name without extension: OriginalFilename, FileDescription
};

// Writes the image into `file`, the pending output just created (and closes it), with the
// payload offset naming the image's end, where the archive goes. `output` names the program in
// messages. Returns that offset; 0 after a failure reported on the error stream. Raises Failure
// "can't find local resources" when the builder carries no stub.
[[nodiscard]] std::uint32_t writeSetupImage(PendingFile& pending, UniqueFile& file, const std::wstring& output,
                                            const ImageRequest& request);
