#pragma once
// Marks the code that runs on a real-time thread (the pull of a channel, a push
// stream's PutData), so tests can catch allocations there.
namespace vt::engine {

bool InRealtimeSection();

class TRealtimeScope {
public:
  TRealtimeScope();
  ~TRealtimeScope();
  TRealtimeScope(const TRealtimeScope&) = delete;
  TRealtimeScope& operator=(const TRealtimeScope&) = delete;
};

}  // namespace vt::engine
