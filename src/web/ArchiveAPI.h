#pragma once
// The recordings archive of a slot: statistics, calendar events, the day
// list, file download, and the waveform peaks of a recording.
#include <memory>
#include <string>

#include "support/DateTime.h"
#include "web/WebContext.h"

class ISQLConnection;

// A new connection to the slot's database (its folder and table created when
// missing), as every archive request uses one of its own.
std::shared_ptr<ISQLConnection> OpenArchiveDatabase(const std::string& iDatabasePath);

// Date texts of the replies.
std::string StatsDateText(TDateTime iLocal);       // "mm/dd/yyyy hh:nn:ss"
std::string UTCEventDateText(TDateTime iUTC);      // "yyyy-mm-ddThh:nn:ss.zzzZ"
std::string DayListTimeText(TDateTime iLocal);     // "yyyy-mm-ddThh:nn:ss"

std::string ArchiveStatsJSON(const TWebSlotSnapshot& iSlot);
std::string CalendarEventsJSON(const TWebSlotSnapshot& iSlot, TDateTime iStartLocal, TDateTime iEndLocal);
std::string DayListJSON(const TWebSlotSnapshot& iSlot, int iYear, int iMonth, int iDay);

// iPath has the "/ws/slot/" alias already resolved; false when no archive route matched.
bool HandleArchiveRoutes(TWebContext& iContext, const std::string& iPath);
