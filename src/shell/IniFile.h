#pragma once
// The settings file Vantorel.ini: INI text, sections and keys matched without
// regard to case, every write reaching the file (see TIniUpdate for batching).
#include <memory>
#include <mutex>
#include <string>

class TIniFile {
public:
  explicit TIniFile(std::string iFileName);  // neither reads nor creates the file
  ~TIniFile();
  TIniFile(const TIniFile&) = delete;
  TIniFile& operator=(const TIniFile&) = delete;

  const std::string& FileName() const;

  // Reads; a missing file, section or key (or an unreadable value) gives the default.
  // Values are cut at 2047 characters.
  std::string ReadString(const std::string& iSection, const std::string& iKey,
                         const std::string& iDefault) const;
  // decimal with optional sign, "0x"/"0X" or "$" for hexadecimal
  int ReadInteger(const std::string& iSection, const std::string& iKey, int iDefault) const;
  // flag: an integer, non-zero is true ("1"/"0" when written)
  bool ReadBool(const std::string& iSection, const std::string& iKey, bool iDefault) const;
  // switch: true only for exactly "on"; a missing key gives the default
  bool ReadSwitch(const std::string& iSection, const std::string& iKey, bool iDefault) const;
  bool SectionExists(const std::string& iSection) const;  // true when it holds at least one key

  // Writes; a refused write throws std::runtime_error("Unable to write to <path>").
  void WriteString(const std::string& iSection, const std::string& iKey, const std::string& iValue);
  void WriteInteger(const std::string& iSection, const std::string& iKey, int iValue);
  void WriteBool(const std::string& iSection, const std::string& iKey, bool iValue);    // "1"/"0"
  void WriteSwitch(const std::string& iSection, const std::string& iKey, bool iValue);  // "on"/"off"
  void DeleteKey(const std::string& iSection, const std::string& iKey);
  void UpdateFile();  // everything written so far is on disk

  // Batching: between BeginUpdate and the matching EndUpdate, writes change the
  // file's content in memory only; the outermost EndUpdate rewrites the file once
  // (throws "Unable to write to %s" on failure). Prefer the TIniUpdate guard.
  void BeginUpdate();
  void EndUpdate();

private:
  struct TImpl;
  std::unique_ptr<TImpl> fImpl;
};

// RAII scope of one flush operation. Commit() ends the batch and reports a failed
// write; a scope left by an exception ends the batch without throwing again.
class TIniUpdate {
public:
  explicit TIniUpdate(TIniFile& iIni) : fIni(&iIni) { fIni->BeginUpdate(); }
  ~TIniUpdate() {
    if (fIni) {
      try { fIni->EndUpdate(); } catch (...) {}
    }
  }
  void Commit() {
    TIniFile* ini = fIni;
    fIni = nullptr;
    ini->EndUpdate();
  }
  TIniUpdate(const TIniUpdate&) = delete;
  TIniUpdate& operator=(const TIniUpdate&) = delete;

private:
  TIniFile* fIni;
};
