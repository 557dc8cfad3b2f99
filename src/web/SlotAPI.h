#pragma once
// Slot status in JSON and text, and the start and stop commands.
#include <string>

#include "web/WebContext.h"

// The JSON text of the slot list (as /ws/slots sends it).
std::string SlotListJSON(const IWebHost& iHost);
// Whole seconds between two clock values, as an unsigned difference.
uint64_t ElapsedSeconds(uint64_t iNow, uint64_t iThen);

// "SLOT <n> START" / "SLOT <n> STOP" post the request for slot index n - 1;
// any other text does nothing.
void ExecuteCommand(IWebHost& iHost, const std::string& iCommand);

// "/ws/slots" and the text routes (with the "/ws/slot/" alias), then the
// archive routes; false when no route matched.
bool HandleSlotRoutes(TWebContext& iContext, const std::string& iPath);
