#pragma once
// GET /metrics: the slots' state and the run's counters in the Prometheus
// text format, for a station's monitoring (read-only access suffices).
#include <string>

#include "web/WebContext.h"

// The whole metrics text from the host's slot copies and the reply counts.
std::string MetricsText(const IWebHost& iHost);
// Sends it for "/metrics"; false for any other path.
bool HandleMetricsRoute(TWebContext& iContext, const std::string& iPath);
