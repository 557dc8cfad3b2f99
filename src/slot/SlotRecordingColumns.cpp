#include "slot/SlotRecordingColumns.h"

#include <cmath>
#include <set>
#include <string>

#include "support/SimpleSQLInterface.h"

namespace {
struct TColumn {
  const char* fName;
  const char* fType;
};
constexpr TColumn kColumns[] = {
    {"startsample", "INTEGER DEFAULT NULL"},
    {"loudness", "REAL DEFAULT NULL"},
    {"loudnessrange", "REAL DEFAULT NULL"},
    {"truepeak", "REAL DEFAULT NULL"},
};

// Silence has no loudness: libebur128 says -inf, which SQLite cannot hold as
// a number the archive could send as JSON.
void BindLoudness(ISQLPreparedStatement& iStatement, const char* iName, double iValue) {
  if (std::isfinite(iValue))
    iStatement.SetFloatByName(iName, iValue);
  else
    iStatement.SetNullByName(iName, ftFloat);
}
}  // namespace

void EnsureRecordingColumns(ISQLConnection& iConnection) {
  std::set<std::string> present;
  auto rows = iConnection.PrepareStatement("PRAGMA table_info(recordings)")->ExecuteQueryPrepared();
  while (rows->Next()) present.insert(rows->GetString(2));
  for (const auto& column : kColumns) {
    if (present.count(column.fName)) continue;
    try {
      iConnection.PrepareStatement(std::string("ALTER TABLE recordings ADD COLUMN ") + column.fName + " " + column.fType)
          ->ExecuteUpdatePrepared();
    } catch (const std::exception&) {
      // another connection added it meanwhile; anything else shows up at the
      // statement that needs the column
    }
  }
}

void StoreRecordingStartSample(ISQLConnection& iConnection, int32_t iID, int64_t iStartSample) {
  auto update = iConnection.PrepareStatement("UPDATE recordings SET startsample=:startsample WHERE id=:id");
  // a double holds every frame count of the next hundred thousand years exactly
  update->SetFloatByName("startsample", static_cast<double>(iStartSample));
  update->SetIntByName("id", iID);
  update->ExecuteUpdatePrepared();
}

void StoreRecordingLoudness(ISQLConnection& iConnection, int32_t iID, const TLoudnessValues& iValues) {
  auto update = iConnection.PrepareStatement(
      "UPDATE recordings SET loudness=:loudness, loudnessrange=:range, truepeak=:truepeak WHERE id=:id");
  BindLoudness(*update, "loudness", iValues.fIntegrated);
  BindLoudness(*update, "range", iValues.fRange);
  BindLoudness(*update, "truepeak", iValues.fTruePeak);
  update->SetIntByName("id", iID);
  update->ExecuteUpdatePrepared();
}
