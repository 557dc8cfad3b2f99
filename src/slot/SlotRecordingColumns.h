#pragma once
// Columns of the recordings table beyond its first four: where each file's
// first sample lies on the slot's sample timeline (so clips join files
// exactly), and the file's loudness. They are added to a database that lacks
// them whenever it is opened; rows written before stay NULL.
#include <cstdint>

class ISQLConnection;

// Adds the missing columns. Cheap when they are there (one PRAGMA query).
void EnsureRecordingColumns(ISQLConnection& iConnection);

// The file's first sample in frames of the slot's timeline: the local time of
// the slot mixer's first file in frames since 1899-12-30, counted on by the
// mixer's own sample clock.
void StoreRecordingStartSample(ISQLConnection& iConnection, int32_t iID, int64_t iStartSample);

struct TLoudnessValues {
  double fIntegrated = 0;  // LUFS
  double fRange = 0;       // LU
  double fTruePeak = 0;    // dBTP
};
void StoreRecordingLoudness(ISQLConnection& iConnection, int32_t iID, const TLoudnessValues& iValues);
