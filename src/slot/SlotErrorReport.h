#pragma once
// The failures of one slot that a station must see on a server without a
// desktop: a source that cannot be opened or dropped, a file that cannot be
// started, a database that cannot be opened. Each kind is kept on its own, so
// that a working file does not hide a failing stream; the slot shows them
// together as its error text, and logs each once when it begins and once when
// it clears, never on every retry.
//
// Use from TSlotInfo (SlotErrorReport.cpp): ReportError(kind, text) at every
// place where an attempt fails or succeeds (empty text), WithdrawError(kind)
// when the failure no longer applies (the slot was disabled, the source changed).
#include <array>
#include <stdexcept>
#include <string>

enum TSlotErrorKind { ekMixer, ekInput, ekStream, ekFile, ekDatabase, ekCount };

class TSlotErrorReport {
public:
  // Sets the failure of iKind; an empty iError means the attempt succeeded.
  // iBeginLine is logged when the failure begins or its text changes (empty:
  // iError itself). Returns the line to log now, empty for none.
  std::string Set(TSlotErrorKind iKind, const std::string& iError, const std::string& iBeginLine = "");
  // Forgets the failure of iKind without a line.
  void Withdraw(TSlotErrorKind iKind) { fErrors[iKind].clear(); }
  const std::string& Get(TSlotErrorKind iKind) const { return fErrors[iKind]; }
  // Every current failure, in kind order, joined by "; "; empty when none.
  std::string Text() const;

private:
  std::array<std::string, ekCount> fErrors;
};

// The line logged when a failure of iKind clears, naming what it was; empty
// for kinds whose success is logged anyway ("Recording from <input>").
std::string ErrorClearedLine(TSlotErrorKind iKind, const std::string& iError);

// Creates the folder that will hold iFullName, with its parents. Returns
// "Cannot create folder <folder>: <reason>" when that fails, else empty.
std::string MakeRecordingFolder(const std::string& iFullName);
// The file's failure when its encoder did not start: the folder's error when
// there is one, else "Cannot write WAV file: <engine text>" (iWav: the engine
// writes the file itself), else "Cannot start encoder <program>: <engine
// text>" with the program of iCommand. Never the file's name, which changes
// with every attempt.
std::string FileStartError(const std::string& iFolderError, int iEngineError, const std::string& iCommand, bool iWav);

// An error that the slot has logged and shows already: whoever catches it
// need not log it again.
class TSlotReportedError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};
