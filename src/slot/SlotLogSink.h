#pragma once
// Where the slot's database, cleanup and level units send their log lines.
// The sink receives the bare message; the slot adds its name and ": " in front.
#include <functional>
#include <string>

using TSlotLogSink = std::function<void(const std::string& iMessage)>;
