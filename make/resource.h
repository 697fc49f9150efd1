#pragma once
// Resource identifiers of the builder.

#define IDS_ARCHIVING 3
#define IDS_CREATING_SFX 4
#define IDS_SUCCEEDED 5

// The progress lines in English and Russian (UTF-8): the string table's texts, and on other
// systems the builder's own.
#define TEXT_ARCHIVING_EN "Archiving..."
#define TEXT_CREATING_SFX_EN "Creating sfx archive..."
#define TEXT_SUCCEEDED_EN "Succesfully created sfx"
#define TEXT_ARCHIVING_RU "Архивация..."
#define TEXT_CREATING_SFX_RU "Создание sfx архива..."
#define TEXT_SUCCEEDED_RU "Sfx архив успешно создан"

#define IDI_APP 107
// The setup stub that every build writes out: RCDATA 1, language 1033.
#define IDR_STUB_IMAGE 1
