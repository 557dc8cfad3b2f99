#pragma once
// posix_spawn's file actions and attributes as owned objects: destroyed on
// every path out of the code that starts a child, thrown exceptions included.
#include <spawn.h>

struct TFileActions {
  posix_spawn_file_actions_t fActions;
  TFileActions() { posix_spawn_file_actions_init(&fActions); }
  ~TFileActions() { posix_spawn_file_actions_destroy(&fActions); }
  TFileActions(const TFileActions&) = delete;
  TFileActions& operator=(const TFileActions&) = delete;
};

struct TSpawnAttributes {
  posix_spawnattr_t fAttributes;
  TSpawnAttributes() { posix_spawnattr_init(&fAttributes); }
  ~TSpawnAttributes() { posix_spawnattr_destroy(&fAttributes); }
  TSpawnAttributes(const TSpawnAttributes&) = delete;
  TSpawnAttributes& operator=(const TSpawnAttributes&) = delete;
};
