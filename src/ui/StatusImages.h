#pragma once
// The three 48 x 48 status pictures of the slot tiles, drawn by our own code:
// a green light (recording as set up), a red light (switched off or stopped)
// and a warning sign (something is wrong).
#include <QImage>

struct TStatusImages {
  QImage fIMGOK;
  QImage fIMGDisabled;
  QImage fIMGError;
};

// "status_ok", "status_disabled", "status_error".
TStatusImages LoadStatusImages();
