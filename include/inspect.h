#pragma once

#include <filesystem>
#include <string>

#include "status.h"

// What a person asks about the workspace: the working file and its history.
namespace tolva {

// Format, length and the number of snapshots, one "name: value" line each.
Status DescribeWorkspace(std::string* text);

// Every version, numbered for SaveHistoryVersion: redo steps "rN" (r1 comes
// back with the next redo), then the working file, then snapshots "N" (1 comes
// back with the next undo); each with its name, when it entered the history
// (UTC), its length and whether it is kept as pieces.
Status DescribeHistory(std::string* text);

// Writes version `id` of the history as a WAV file `file` (outside audio/),
// leaving the history as it is.
Status SaveHistoryVersion(const std::string& id, const std::filesystem::path& file);

}  // namespace tolva
