#pragma once
// The audio engine's public calls, constants and handle types, in the form the
// slot code uses them. Handles are unsigned 32-bit; 0 means failure, after which
// BASS_ErrorGetCode on the same thread tells why.
#include <cstdint>

using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using QWORD = uint64_t;
using BOOL = int;
#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif
using HSTREAM = DWORD;
using HRECORD = DWORD;
using HSYNC = DWORD;
using HDSP = DWORD;
using HFX = DWORD;
using HPLUGIN = DWORD;
using HENCODE = DWORD;
using HCHANNEL = DWORD;

// (the engine's declarations follow here)

// capture back-ends: BASS_Record*, BASS_ASIO_*, BASS_WASAPI_*
#include "audio/engine/EngineCapture.h"
