#pragma once
#include <string>

// The file in iFolder that serves iRequestPath, or "" when the folder must not
// be consulted: a path with "..", a NUL byte, or one that leaves the folder
// once links are followed. Also "" when no regular file is there.
std::string ResolveOverrideFile(const std::string& iFolder, const std::string& iRequestPath);
