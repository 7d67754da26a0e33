#pragma once

#include <string>

#include "status.h"

// What a person asks about the workspace: the working file and its history.
namespace tolva {

// Format, length and the number of snapshots, one "name: value" line each.
Status DescribeWorkspace(std::string* text);

// The snapshots, newest first: name, when it was taken (UTC) and its length.
Status DescribeHistory(std::string* text);

}  // namespace tolva
