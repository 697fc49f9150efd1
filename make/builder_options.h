#pragma once
// The builder's switches and options, in the order the usage text lists them. None is
// mandatory: the builder itself decides what is missing.
#include "cmdline_parser.h"

inline constexpr CmdLineEntry kBuilderOptions[] = {
    {EntryKind::Option, L"d", L"input-directory", L"input directory", ValueType::String,
     EntryFlags::Optional},
    {EntryKind::Option, L"s", L"input-setup-file", L"input setup file", ValueType::String,
     EntryFlags::Optional},
    {EntryKind::Option, L"f", L"input-archive-file", L"input zip archive file", ValueType::String,
     EntryFlags::Optional},
    {EntryKind::Option, L"o", L"output-directory", L"output directory, default: current directory",
     ValueType::String, EntryFlags::Optional},
    {EntryKind::Option, L"c", L"output-setup-file", L"output setup file name, default: Pondrel.exe",
     ValueType::String, EntryFlags::Optional},
    {EntryKind::Option, nullptr, L"code-page",
     L"code page of the setup file name, default: the system's ANSI code page (1252 outside Windows)",
     ValueType::String, EntryFlags::Optional},
    {EntryKind::Switch, L"h", L"help", L"Usage", ValueType::String,
     EntryFlags::Help | EntryFlags::Optional},
    {EntryKind::End, nullptr, nullptr, nullptr, ValueType::String, EntryFlags::None},
};
