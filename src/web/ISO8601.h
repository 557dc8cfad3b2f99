#pragma once
#include "support/DateTime.h"
#include <string>

// An ISO 8601 date-time as the calendar sends it ("2024-03-05",
// "2024-03-05T14:00:00", "...T14:00:00.25+02:00", "...Z"), converted to local
// time. A value with a zone offset is moved from that offset; one without
// (also one ending in "Z") is taken as UTC. Throws std::invalid_argument on a
// missing digit group, a date or time that does not exist, or a date part
// shorter than 4 characters ("Invalid date").
TDateTime ParseISO8601Date(const std::string& iText);
