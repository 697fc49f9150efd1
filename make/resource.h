#pragma once
// Resource identifiers of the builder.

#define IDS_ARCHIVING 3
#define IDS_CREATING_SFX 4
#define IDS_SUCCEEDED 5

#define IDI_APP 107
// The setup stub that every build writes out: RCDATA 1, language 1033.
#define IDR_STUB_IMAGE 1
