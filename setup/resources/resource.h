#pragma once
// Resource identifiers of the setup program.

#define IDS_PROGRESS_PREFIX 4
#define IDS_SIGNATURE_QUESTION 5
#define IDS_NO_ROOM 6
#define IDS_OPTIONS 7
#define IDS_APP_NAME 103
#define IDS_WINDOW_CLASS 109

#define IDI_APP 107
