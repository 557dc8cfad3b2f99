#pragma once
// Helpers of the outgoing stream (SlotStreaming.cpp).
#include <cstdint>
#include <string>

// The address handed to the engine: in server mode "host:port" (an empty host
// listens on every address); else "host:port/mount" (a "/" put in front of the
// mount point when it has none), "host:port,streamid" or "host:port".
std::string StreamingServerAddress(const std::string& iHost, int32_t iPort, bool iServerMode,
                                   const std::string& iMountPoint, const std::string& iStreamID);
