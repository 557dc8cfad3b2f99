// Engine plug-ins are shared libraries; the engine decodes every format itself
// (FFmpeg), so loading one only checks that it is a loadable library and keeps
// it loaded until it is freed.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "audio/engine/Engine.h"
#include "audio/engine/EngineObject.h"

using namespace vt::engine;

namespace {
class TPlugin : public TEngineObject {
public:
  explicit TPlugin(void* iLibrary) : fLibrary(iLibrary) {}
  void Free() override {
    if (fLibrary) dlclose(fLibrary);
    fLibrary = nullptr;
  }

private:
  void* fLibrary;
};
}  // namespace

HPLUGIN BASS_PluginLoad(const char* file, DWORD) {
  if (!file || !*file) return Fail(BASS_ERROR_FILEOPEN), 0;
  const int fd = ::open(file, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Fail(BASS_ERROR_FILEOPEN), 0;
  ::close(fd);
  // A path without a slash would make dlopen search the library path instead.
  const std::string path = std::string(file).find('/') == std::string::npos ? "./" + std::string(file) : file;
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) return Fail(BASS_ERROR_FILEFORM), 0;
  SetError(BASS_OK);
  return RegisterObject(std::make_shared<TPlugin>(library));
}

BOOL BASS_PluginFree(HPLUGIN handle) {
  if (!Lookup<TPlugin>(handle)) return Fail(BASS_ERROR_HANDLE);
  return UnregisterObject(handle);
}
