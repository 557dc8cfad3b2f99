#include "audio/engine/EngineRealtime.h"

namespace vt::engine {
namespace {
thread_local int tRealtimeDepth = 0;
}

bool InRealtimeSection() { return tRealtimeDepth > 0; }
TRealtimeScope::TRealtimeScope() { ++tRealtimeDepth; }
TRealtimeScope::~TRealtimeScope() { --tRealtimeDepth; }

}  // namespace vt::engine
