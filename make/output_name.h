#pragma once
// What the builder accepts as the name of the setup program it writes below the output folder.
#include <string>

// Whether `name` names a file below a folder and nothing else: components separated by "\" or
// "/", none of them empty (no leading, trailing or doubled separator, so no root, drive-relative
// or network name), "." or "..", ending in a dot or a space (which the system would drop), holding
// a control character or one of < > : " | ? * (so no drive and no data stream), or naming a
// device (CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM0-9 and LPT0-9 with the superscript-digit
// spellings, whatever extension follows, letter case ignored).
[[nodiscard]] bool isPlainFileName(const std::wstring& name);
