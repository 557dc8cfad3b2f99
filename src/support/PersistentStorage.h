#pragma once
// The value classes of the JSON document model and the JSON writer.
// Create values with the New... functions (they must be owned by a shared_ptr).
#include <map>
#include <vector>
#include "support/PersistentStorageInterface.h"

IPersistentNullPtr NewPersistentNull();
IPersistentNumberPtr NewPersistentNumber(double iValue = 0);
IPersistentStringPtr NewPersistentString(const std::string& iValue = {});
IPersistentBooleanPtr NewPersistentBoolean(bool iValue = false);
IPersistentArrayPtr NewPersistentArray();
IPersistentObjectPtr NewPersistentObject();

// The writer's pieces, also used on their own by replies built as text.
// Numbers: up to 15 significant digits, "." always, "1E20"/"5E-5" outside
// 0.0001 <= |v| < 1E15; not finite numbers have no JSON form and are "null".
std::string JSONNumberText(double iValue);
// The text between the quotation marks of a JSON string.
std::string JSONEscape(const std::string& iText, bool iEscape);

class TPersistentStorage : public virtual IPersistentStorage,
                           public std::enable_shared_from_this<TPersistentStorage> {
public:
  IPersistentNullPtr AsNull() override;
  IPersistentNumberPtr AsNumber() override;
  IPersistentStringPtr AsString() override;
  IPersistentBooleanPtr AsBoolean() override;
  IPersistentArrayPtr AsArray() override;
  IPersistentObjectPtr AsObject() override;
  std::string AsJSon(bool iIndent, bool iEscape) const override;
  void Save(const std::string& iFilename) const override;
  // appends the JSON text at nesting level iLevel
  virtual void WriteJSon(std::string& ioText, bool iIndent, bool iEscape, int iLevel) const = 0;
};

class TPersistentNull final : public TPersistentStorage, public IPersistentNull {
public:
  TPersistentType GetType() const override { return ptNull; }
  void WriteJSon(std::string& ioText, bool iIndent, bool iEscape, int iLevel) const override;
};

class TPersistentNumber final : public TPersistentStorage, public IPersistentNumber {
public:
  explicit TPersistentNumber(double iValue) : fValue(iValue) {}
  TPersistentType GetType() const override { return ptNumber; }
  double GetValue() const override { return fValue; }
  void SetValue(double iValue) override { fValue = iValue; }
  std::int64_t GetIntValue() const override;
  void WriteJSon(std::string& ioText, bool iIndent, bool iEscape, int iLevel) const override;

private:
  double fValue;
};

class TPersistentString final : public TPersistentStorage, public IPersistentString {
public:
  explicit TPersistentString(std::string iValue) : fValue(std::move(iValue)) {}
  TPersistentType GetType() const override { return ptString; }
  const std::string& GetValue() const override { return fValue; }
  void SetValue(const std::string& iValue) override { fValue = iValue; }
  void WriteJSon(std::string& ioText, bool iIndent, bool iEscape, int iLevel) const override;

private:
  std::string fValue;
};

class TPersistentBoolean final : public TPersistentStorage, public IPersistentBoolean {
public:
  explicit TPersistentBoolean(bool iValue) : fValue(iValue) {}
  TPersistentType GetType() const override { return ptBoolean; }
  bool GetValue() const override { return fValue; }
  void SetValue(bool iValue) override { fValue = iValue; }
  void WriteJSon(std::string& ioText, bool iIndent, bool iEscape, int iLevel) const override;

private:
  bool fValue;
};

class TPersistentArray final : public TPersistentStorage, public IPersistentArray {
public:
  TPersistentType GetType() const override { return ptArray; }
  int GetCount() const override { return static_cast<int>(fItems.size()); }
  IPersistentStoragePtr GetItem(int iIndex) const override;
  void Add(IPersistentStoragePtr iItem) override;
  IPersistentNumberPtr AddNumber(double iValue) override;
  IPersistentStringPtr AddString(const std::string& iValue) override;
  IPersistentBooleanPtr AddBoolean(bool iValue) override;
  IPersistentObjectPtr AddObject() override;
  void Delete(int iIndex) override;
  void Clear() override { fItems.clear(); }
  IPersistentArrayEnumeratorPtr GetEnumerator() override;
  void WriteJSon(std::string& ioText, bool iIndent, bool iEscape, int iLevel) const override;

private:
  void CheckIndex(int iIndex) const;
  std::vector<IPersistentStoragePtr> fItems;
};

class TPersistentArrayEnumerator final : public IPersistentArrayEnumerator {
public:
  explicit TPersistentArrayEnumerator(IPersistentArrayPtr iList) : fList(std::move(iList)) {}
  bool MoveNext() override;
  IPersistentStoragePtr GetCurrent() const override;
  void Reset() override { fIndex = -1; }

private:
  IPersistentArrayPtr fList;
  std::int32_t fIndex = -1;
};

class TPersistentObject final : public TPersistentStorage, public IPersistentObject {
public:
  TPersistentType GetType() const override { return ptObject; }
  int GetCount() const override { return static_cast<int>(fItems.size()); }
  void GetNames(std::vector<std::string>& oNames) const override;
  IPersistentStoragePtr GetValue(const std::string& iName) const override;
  IPersistentArrayPtr GetValues() const override;
  bool TryGetValue(const std::string& iName, IPersistentStoragePtr& oValue) const override;
  IPersistentStoragePtr FindValue(const std::string& iName) const override;
  double FindNumber(const std::string& iName, double iDefault) const override;
  std::int64_t FindInteger(const std::string& iName, std::int64_t iDefault) const override;
  std::string FindString(const std::string& iName, const std::string& iDefault) const override;
  bool FindBoolean(const std::string& iName, bool iDefault) const override;
  bool FindArray(const std::string& iName, IPersistentArrayPtr& oResult) const override;
  bool FindObject(const std::string& iName, IPersistentObjectPtr& oResult) const override;
  void Add(const std::string& iName, IPersistentStoragePtr iItem) override;
  void SetValue(const std::string& iName, IPersistentStoragePtr iItem) override;
  IPersistentObjectPtr SetNull(const std::string& iName) override;
  IPersistentObjectPtr SetNumber(const std::string& iName, double iValue) override;
  IPersistentObjectPtr SetString(const std::string& iName, const std::string& iValue) override;
  IPersistentObjectPtr SetBoolean(const std::string& iName, bool iValue) override;
  IPersistentObjectPtr SetArray(const std::string& iName, IPersistentArrayPtr iValue) override;
  IPersistentObjectPtr SetObject(const std::string& iName, IPersistentObjectPtr iValue) override;
  IPersistentArrayPtr CreateArray(const std::string& iName) override;
  IPersistentObjectPtr CreateObject(const std::string& iName) override;
  IPersistentObjectPtr FindOrCreateObject(const std::string& iName) override;
  IPersistentArrayPtr FindOrCreateArray(const std::string& iName) override;
  void DeleteValue(const std::string& iName) override;
  IPersistentObjectPtr Merge(IPersistentObjectPtr iValue) override;
  void WriteJSon(std::string& ioText, bool iIndent, bool iEscape, int iLevel) const override;

private:
  IPersistentObjectPtr Self();
  // sorted by name, so a reply's text does not depend on the order of building
  std::map<std::string, IPersistentStoragePtr> fItems;
};
