#pragma once
// Engine error numbers as texts for log lines and error messages.
#include <string>

// The text for an engine error number; numbers without a text of their own
// give "BASS error <n>".
std::string BassErrorText(int iErrorCode);
