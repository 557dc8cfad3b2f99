#pragma once
#include <string>

// Media type by the extension of a path (letter case ignored);
// application/octet-stream for anything unknown.
std::string ContentTypeForPath(const std::string& iPath);
