#pragma once
// The values the controller needs before it is created, from [General] of the
// settings file. They are only read, never written.
#include <cstdint>
#include <string>

class TIniFile;

struct TStartupValues {
  int32_t InstanceNumber = 0;  // forms the single-instance key
  std::string DisplayName;     // shown in the main window title
  int FullSlotCount = 4;       // 0..255
  int AlarmSlotCount = 0;      // 0..255
};

inline constexpr int kMaxSlotCount = 255;

// Reads InstanceNumber (default 0), DisplayName (default: the host name),
// FullSlotCount (default 4) and AlarmSlotCount (default 0). Each count is clamped
// to 0..255; a recorder without any slot is useless, so when both counts come out
// as 0 the full slot count becomes 1.
TStartupValues ReadStartupValues(const TIniFile& iIni);

std::string HostName();

// The settings-file section of slot iIndex (0-based, full slots first): "Slot<n>".
std::string SlotSectionName(int iIndex);
