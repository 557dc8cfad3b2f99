#pragma once
// A small tree of typed values that a web reply is built from and written as
// JSON text in one call. Values are shared_ptr-counted; one value may sit in
// several containers. Not thread-safe: a tree belongs to the thread building it.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

enum TPersistentType { ptNull, ptNumber, ptString, ptBoolean, ptDateTime, ptArray, ptObject };

class IPersistentStorage;
class IPersistentNull;
class IPersistentNumber;
class IPersistentString;
class IPersistentBoolean;
class IPersistentArray;
class IPersistentObject;
class IPersistentArrayEnumerator;
using IPersistentStoragePtr = std::shared_ptr<IPersistentStorage>;
using IPersistentNullPtr = std::shared_ptr<IPersistentNull>;
using IPersistentNumberPtr = std::shared_ptr<IPersistentNumber>;
using IPersistentStringPtr = std::shared_ptr<IPersistentString>;
using IPersistentBooleanPtr = std::shared_ptr<IPersistentBoolean>;
using IPersistentArrayPtr = std::shared_ptr<IPersistentArray>;
using IPersistentObjectPtr = std::shared_ptr<IPersistentObject>;
using IPersistentArrayEnumeratorPtr = std::shared_ptr<IPersistentArrayEnumerator>;

class IPersistentStorage {
public:
  virtual ~IPersistentStorage() = default;
  virtual TPersistentType GetType() const = 0;
  // The same value through another interface; nullptr for a value of another kind.
  virtual IPersistentNullPtr AsNull() = 0;
  virtual IPersistentNumberPtr AsNumber() = 0;
  virtual IPersistentStringPtr AsString() = 0;
  virtual IPersistentBooleanPtr AsBoolean() = 0;
  virtual IPersistentArrayPtr AsArray() = 0;
  virtual IPersistentObjectPtr AsObject() = 0;
  // iIndent: CR LF line breaks and one blank per level; iEscape: ASCII-only
  // output with \uXXXX escapes (else UTF-8 text passes unchanged).
  virtual std::string AsJSon(bool iIndent, bool iEscape) const = 0;
  // Writes AsJSon(true, true) to the file, replacing it; throws on failure.
  virtual void Save(const std::string& iFilename) const = 0;
};

class IPersistentNull : public virtual IPersistentStorage {};

class IPersistentNumber : public virtual IPersistentStorage {
public:
  virtual double GetValue() const = 0;
  virtual void SetValue(double iValue) = 0;
  virtual std::int64_t GetIntValue() const = 0;  // rounded to nearest (halves away from 0)
};

class IPersistentString : public virtual IPersistentStorage {
public:
  virtual const std::string& GetValue() const = 0;
  virtual void SetValue(const std::string& iValue) = 0;
};

class IPersistentBoolean : public virtual IPersistentStorage {
public:
  virtual bool GetValue() const = 0;
  virtual void SetValue(bool iValue) = 0;
};

class IPersistentArrayEnumerator {
public:
  virtual ~IPersistentArrayEnumerator() = default;
  virtual bool MoveNext() = 0;
  virtual IPersistentStoragePtr GetCurrent() const = 0;
  virtual void Reset() = 0;
};

// Index errors throw std::out_of_range("List index out of bounds (%d)").
// A nullptr item is stored as a null value.
class IPersistentArray : public virtual IPersistentStorage {
public:
  virtual int GetCount() const = 0;
  virtual IPersistentStoragePtr GetItem(int iIndex) const = 0;
  virtual void Add(IPersistentStoragePtr iItem) = 0;
  virtual IPersistentNumberPtr AddNumber(double iValue) = 0;
  virtual IPersistentStringPtr AddString(const std::string& iValue) = 0;
  virtual IPersistentBooleanPtr AddBoolean(bool iValue) = 0;
  virtual IPersistentObjectPtr AddObject() = 0;
  virtual void Delete(int iIndex) = 0;
  virtual void Clear() = 0;
  virtual IPersistentArrayEnumeratorPtr GetEnumerator() = 0;
};

// Member names are unique and case-sensitive. Errors: "No such item: %s",
// "Duplicate name: %s", "Item is not an array: %s", "Item is not an object: %s"
// (std::runtime_error). A nullptr item is stored as a null value.
class IPersistentObject : public virtual IPersistentStorage {
public:
  virtual int GetCount() const = 0;
  virtual void GetNames(std::vector<std::string>& oNames) const = 0;
  virtual IPersistentStoragePtr GetValue(const std::string& iName) const = 0;
  virtual IPersistentArrayPtr GetValues() const = 0;
  virtual bool TryGetValue(const std::string& iName, IPersistentStoragePtr& oValue) const = 0;
  virtual IPersistentStoragePtr FindValue(const std::string& iName) const = 0;
  virtual double FindNumber(const std::string& iName, double iDefault) const = 0;
  virtual std::int64_t FindInteger(const std::string& iName, std::int64_t iDefault) const = 0;
  // a number member is given in general format with the locale's decimal separator
  virtual std::string FindString(const std::string& iName, const std::string& iDefault) const = 0;
  virtual bool FindBoolean(const std::string& iName, bool iDefault) const = 0;
  virtual bool FindArray(const std::string& iName, IPersistentArrayPtr& oResult) const = 0;
  virtual bool FindObject(const std::string& iName, IPersistentObjectPtr& oResult) const = 0;
  virtual void Add(const std::string& iName, IPersistentStoragePtr iItem) = 0;
  virtual void SetValue(const std::string& iName, IPersistentStoragePtr iItem) = 0;
  virtual IPersistentObjectPtr SetNull(const std::string& iName) = 0;
  virtual IPersistentObjectPtr SetNumber(const std::string& iName, double iValue) = 0;
  virtual IPersistentObjectPtr SetString(const std::string& iName, const std::string& iValue) = 0;
  virtual IPersistentObjectPtr SetBoolean(const std::string& iName, bool iValue) = 0;
  virtual IPersistentObjectPtr SetArray(const std::string& iName, IPersistentArrayPtr iValue) = 0;
  virtual IPersistentObjectPtr SetObject(const std::string& iName, IPersistentObjectPtr iValue) = 0;
  virtual IPersistentArrayPtr CreateArray(const std::string& iName) = 0;
  virtual IPersistentObjectPtr CreateObject(const std::string& iName) = 0;
  virtual IPersistentObjectPtr FindOrCreateObject(const std::string& iName) = 0;
  virtual IPersistentArrayPtr FindOrCreateArray(const std::string& iName) = 0;
  virtual void DeleteValue(const std::string& iName) = 0;
  virtual IPersistentObjectPtr Merge(IPersistentObjectPtr iValue) = 0;  // all or nothing
};
