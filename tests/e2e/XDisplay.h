#pragma once
// A private X server (Xvfb) for the whole-program tests of the window, and the
// few X requests a test needs to see and drive top-level windows without a
// window manager: find by caption, mapped state, the close button's request
// (WM_DELETE_WINDOW) and a key press.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "E2EProcess.h"

class TXvfb {
public:
  TXvfb() {
    // A display number of this process's own, free of stale sockets.
    for (int n = 400 + static_cast<int>(getpid() % 500);; ++n) {
      if (!std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(n)) &&
          !std::filesystem::exists("/tmp/.X" + std::to_string(n) + "-lock")) {
        fNumber = n;
        break;
      }
    }
    fName = ":" + std::to_string(fNumber);
    fServer = std::make_unique<TChildProcess>(
        std::vector<std::string>{"Xvfb", fName, "-screen", "0", "1024x768x24", "-nolisten", "tcp"},
        fLog.Path() + "/xvfb.txt");
    WaitUntil([this] { return (fDisplay = XOpenDisplay(fName.c_str())) != nullptr || !fServer->Running(); }, 15000);
  }
  ~TXvfb() {
    if (fDisplay) XCloseDisplay(fDisplay);
    fServer.reset();
  }
  bool Ready() const { return fDisplay != nullptr; }
  const std::string& Name() const { return fName; }

  // Top-level windows (children of the root) whose caption starts with iPrefix.
  std::vector<Window> Windows(const std::string& iPrefix) {
    std::vector<Window> found;
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(fDisplay, DefaultRootWindow(fDisplay), &root, &parent, &children, &count)) return found;
    for (unsigned i = 0; i < count; ++i) {
      char* name = nullptr;
      if (XFetchName(fDisplay, children[i], &name) && name) {
        if (std::string(name).rfind(iPrefix, 0) == 0) found.push_back(children[i]);
        XFree(name);
      }
    }
    if (children) XFree(children);
    return found;
  }
  bool Viewable(Window iWindow) {
    XWindowAttributes attributes{};
    return XGetWindowAttributes(fDisplay, iWindow, &attributes) && attributes.map_state == IsViewable;
  }
  // A viewable top-level window with exactly this caption, or 0.
  Window Shown(const std::string& iCaption) {
    for (Window w : Windows(iCaption)) {
      char* name = nullptr;
      bool exact = false;
      if (XFetchName(fDisplay, w, &name) && name) {
        exact = iCaption == name;
        XFree(name);
      }
      if (exact && Viewable(w)) return w;
    }
    return 0;
  }
  void RequestClose(Window iWindow) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = iWindow;
    event.xclient.message_type = XInternAtom(fDisplay, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(fDisplay, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(fDisplay, iWindow, False, NoEventMask, &event);
    XFlush(fDisplay);
  }
  void PressKey(Window iWindow, KeySym iKey) {
    XSetInputFocus(fDisplay, iWindow, RevertToParent, CurrentTime);
    for (int type : {KeyPress, KeyRelease}) {
      XEvent event{};
      event.xkey.type = type;
      event.xkey.display = fDisplay;
      event.xkey.window = iWindow;
      event.xkey.root = DefaultRootWindow(fDisplay);
      event.xkey.subwindow = None;
      event.xkey.time = CurrentTime;
      event.xkey.same_screen = True;
      event.xkey.keycode = XKeysymToKeycode(fDisplay, iKey);
      XSendEvent(fDisplay, iWindow, True, type == KeyPress ? KeyPressMask : KeyReleaseMask, &event);
    }
    XFlush(fDisplay);
  }

private:
  TE2ETempFolder fLog;
  int fNumber = 0;
  std::string fName;
  std::unique_ptr<TChildProcess> fServer;
  Display* fDisplay = nullptr;
};
