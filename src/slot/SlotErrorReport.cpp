#include "slot/SlotErrorReport.h"

#include <fmt/format.h>

#include <filesystem>
#include <system_error>

#include "audio/basserrors.h"
#include "slot/SlotInfo.h"

std::string ErrorClearedLine(TSlotErrorKind iKind, const std::string& iError) {
  switch (iKind) {
    case ekStream: return fmt::format("Stream playing again after: {}", iError);
    case ekFile: return fmt::format("Recording again after: {}", iError);
    case ekDatabase: return fmt::format("Database usable again after: {}", iError);
    default: return {};
  }
}

std::string TSlotErrorReport::Set(TSlotErrorKind iKind, const std::string& iError, const std::string& iBeginLine) {
  std::string& current = fErrors[iKind];
  if (current == iError) return {};
  std::string line = iError.empty() ? ErrorClearedLine(iKind, current) : iBeginLine.empty() ? iError : iBeginLine;
  current = iError;
  return line;
}

std::string TSlotErrorReport::Text() const {
  std::string text;
  for (const std::string& error : fErrors) {
    if (error.empty()) continue;
    if (!text.empty()) text += "; ";
    text += error;
  }
  return text;
}

std::string MakeRecordingFolder(const std::string& iFullName) {
  const std::filesystem::path folder = std::filesystem::path(iFullName).parent_path();
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (!ec) return {};
  return fmt::format("Cannot create folder {}: {}", folder.string(), ec.message());
}

std::string FileStartError(const std::string& iFolderError, int iEngineError, const std::string& iCommand, bool iWav) {
  // A folder that cannot be made is why the encoder could not start; the
  // engine would only say that it could not create the file.
  if (!iFolderError.empty()) return iFolderError;
  if (iWav) return fmt::format("Cannot write WAV file: {}", BassErrorText(iEngineError));
  // The command starts with the program between double quotes.
  std::string program = iCommand;
  if (!program.empty() && program.front() == '"') {
    const size_t close = program.find('"', 1);
    program = program.substr(1, close == std::string::npos ? std::string::npos : close - 1);
  } else {
    program = program.substr(0, program.find(' '));
  }
  return fmt::format("Cannot start encoder \"{}\": {}", program, BassErrorText(iEngineError));
}

// ---------------------------------------------------------------- the slot's side

void TSlotInfo::ReportError(TSlotErrorKind iKind, const std::string& iError, const std::string& iBeginLine) {
  std::string line;
  {
    // The stream thread and the controller's thread both report; the shown
    // text is replaced under the same lock, so it never lags a report.
    std::lock_guard<std::mutex> lock(fErrorsLock);
    line = fErrors.Set(iKind, iError, iBeginLine);
    fErrorMessage.Set(fErrors.Text());
  }
  // Outside the lock: a line from another thread waits for the controller.
  if (!line.empty()) DoLogMessage(line);
}

void TSlotInfo::WithdrawError(TSlotErrorKind iKind) {
  std::lock_guard<std::mutex> lock(fErrorsLock);
  fErrors.Withdraw(iKind);
  fErrorMessage.Set(fErrors.Text());
}

