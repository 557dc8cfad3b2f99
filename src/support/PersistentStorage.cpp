#include "support/PersistentStorage.h"

#include <langinfo.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <stdexcept>

#include <fmt/format.h>

namespace {

constexpr const char* cLineBreak = "\r\n";

void LineBreak(std::string& ioText, int iLevel) {
  ioText += cLineBreak;
  ioText.append(static_cast<size_t>(iLevel), ' ');
}

// Next code point of UTF-8 text. A byte that starts no valid sequence stands
// for itself (as Latin-1), so legacy 8-bit titles still come out readable.
char32_t NextCodePoint(const std::string& iText, size_t& ioPos) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(iText[i]); };
  const unsigned char c = byte(ioPos);
  int length = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
  if (length > 1 && ioPos + length <= iText.size()) {
    char32_t cp = c & (0x7F >> length);
    bool ok = true;
    for (int i = 1; i < length; ++i) {
      const unsigned char cc = byte(ioPos + i);
      if ((cc & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (cc & 0x3F);
    }
    static constexpr char32_t cMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (ok && cp >= cMin[length] && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF)) {
      ioPos += static_cast<size_t>(length);
      return cp;
    }
  }
  ++ioPos;
  return c;
}

void AppendUnit(std::string& ioText, unsigned iUnit) {
  switch (iUnit) {
    case '"': ioText += "\\\""; return;
    case '\\': ioText += "\\\\"; return;
    case '/': ioText += "\\/"; return;
    case '\b': ioText += "\\b"; return;
    case '\t': ioText += "\\t"; return;
    case '\n': ioText += "\\n"; return;
    case '\f': ioText += "\\f"; return;
    case '\r': ioText += "\\r"; return;
  }
  if (iUnit < 32 || (iUnit >= 128 && iUnit <= 255))
    ioText += fmt::format("\\u00{:02x}", iUnit);
  else if (iUnit >= 256)
    ioText += fmt::format("\\u{:04x}", iUnit);
  else
    ioText += static_cast<char>(iUnit);
}

[[noreturn]] void NoSuchItem(const std::string& iName) {
  throw std::runtime_error(fmt::format("No such item: {}", iName));
}

[[noreturn]] void DuplicateName(const std::string& iName) {
  throw std::runtime_error(fmt::format("Duplicate name: {}", iName));
}

IPersistentStoragePtr OrNull(IPersistentStoragePtr iItem) {
  return iItem ? iItem : NewPersistentNull();
}

std::int64_t RoundToInt64(double iValue) {
  if (std::isnan(iValue)) return 0;
  if (iValue >= 9.2233720368547758e18) return std::numeric_limits<std::int64_t>::max();
  if (iValue <= -9.2233720368547758e18) return std::numeric_limits<std::int64_t>::min();
  return std::llround(iValue);
}

void WriteItem(const IPersistentStoragePtr& iItem, std::string& ioText, bool iIndent, bool iEscape,
               int iLevel) {
  if (auto own = std::dynamic_pointer_cast<TPersistentStorage>(iItem))
    own->WriteJSon(ioText, iIndent, iEscape, iLevel);
  else
    ioText += iItem->AsJSon(iIndent, iEscape);  // a value class of someone else's
}

}  // namespace

std::string JSONNumberText(double iValue) {
  if (!std::isfinite(iValue)) return "null";
  if (iValue == 0) return "0";  // also for -0
  std::string text = fmt::format("{:.15G}", iValue);
  size_t e = text.find('E');
  if (e == std::string::npos) return text;
  // "1E+20" -> "1E20", "5E-05" -> "5E-5"
  std::string mantissa = text.substr(0, e);
  bool negative = text[e + 1] == '-';
  size_t digits = text.find_first_not_of("+-0", e + 1);
  std::string exponent = digits == std::string::npos ? "0" : text.substr(digits);
  return mantissa + "E" + (negative ? "-" : "") + exponent;
}

std::string JSONEscape(const std::string& iText, bool iEscape) {
  std::string out;
  out.reserve(iText.size() + 8);
  if (!iEscape) {
    // UTF-8 passes unchanged; control characters are still escaped, since a
    // raw one makes the whole reply unreadable to a JSON parser.
    for (char ch : iText) {
      const auto c = static_cast<unsigned char>(ch);
      if (c == '"' || c == '\\' || c < 32)
        AppendUnit(out, c);
      else
        out += ch;
    }
    return out;
  }
  size_t pos = 0;
  while (pos < iText.size()) {
    char32_t cp = NextCodePoint(iText, pos);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      AppendUnit(out, 0xD800 + static_cast<unsigned>(cp >> 10));
      AppendUnit(out, 0xDC00 + static_cast<unsigned>(cp & 0x3FF));
    } else {
      AppendUnit(out, static_cast<unsigned>(cp));
    }
  }
  return out;
}

IPersistentNullPtr NewPersistentNull() { return std::make_shared<TPersistentNull>(); }
IPersistentNumberPtr NewPersistentNumber(double iValue) { return std::make_shared<TPersistentNumber>(iValue); }
IPersistentStringPtr NewPersistentString(const std::string& iValue) {
  return std::make_shared<TPersistentString>(iValue);
}
IPersistentBooleanPtr NewPersistentBoolean(bool iValue) { return std::make_shared<TPersistentBoolean>(iValue); }
IPersistentArrayPtr NewPersistentArray() { return std::make_shared<TPersistentArray>(); }
IPersistentObjectPtr NewPersistentObject() { return std::make_shared<TPersistentObject>(); }

// --- shared operations

IPersistentNullPtr TPersistentStorage::AsNull() { return std::dynamic_pointer_cast<IPersistentNull>(shared_from_this()); }
IPersistentNumberPtr TPersistentStorage::AsNumber() {
  return std::dynamic_pointer_cast<IPersistentNumber>(shared_from_this());
}
IPersistentStringPtr TPersistentStorage::AsString() {
  return std::dynamic_pointer_cast<IPersistentString>(shared_from_this());
}
IPersistentBooleanPtr TPersistentStorage::AsBoolean() {
  return std::dynamic_pointer_cast<IPersistentBoolean>(shared_from_this());
}
IPersistentArrayPtr TPersistentStorage::AsArray() {
  return std::dynamic_pointer_cast<IPersistentArray>(shared_from_this());
}
IPersistentObjectPtr TPersistentStorage::AsObject() {
  return std::dynamic_pointer_cast<IPersistentObject>(shared_from_this());
}

std::string TPersistentStorage::AsJSon(bool iIndent, bool iEscape) const {
  std::string text;
  WriteJSon(text, iIndent, iEscape, 0);
  return text;
}

void TPersistentStorage::Save(const std::string& iFilename) const {
  const std::string text = AsJSon(true, true);
  // Written beside the target and renamed over it, so a reader never sees half a file.
  const std::string temp = iFilename + ".tmp";
  std::FILE* file = std::fopen(temp.c_str(), "wb");
  if (!file) throw std::runtime_error(fmt::format("Unable to write to {}: {}", iFilename, std::strerror(errno)));
  bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  ok = std::fflush(file) == 0 && ok;
  ok = std::fclose(file) == 0 && ok;
  if (!ok || std::rename(temp.c_str(), iFilename.c_str()) != 0) {
    const int err = errno;
    std::remove(temp.c_str());
    throw std::runtime_error(fmt::format("Unable to write to {}: {}", iFilename, std::strerror(err)));
  }
}

// --- scalars

void TPersistentNull::WriteJSon(std::string& ioText, bool, bool, int) const { ioText += "null"; }

std::int64_t TPersistentNumber::GetIntValue() const { return RoundToInt64(fValue); }

void TPersistentNumber::WriteJSon(std::string& ioText, bool, bool, int) const { ioText += JSONNumberText(fValue); }

void TPersistentString::WriteJSon(std::string& ioText, bool, bool iEscape, int) const {
  ioText += '"';
  ioText += JSONEscape(fValue, iEscape);
  ioText += '"';
}

void TPersistentBoolean::WriteJSon(std::string& ioText, bool, bool, int) const {
  ioText += fValue ? "true" : "false";
}

// --- array

void TPersistentArray::CheckIndex(int iIndex) const {
  if (iIndex < 0 || iIndex >= GetCount())
    throw std::out_of_range(fmt::format("List index out of bounds ({})", iIndex));
}

IPersistentStoragePtr TPersistentArray::GetItem(int iIndex) const {
  CheckIndex(iIndex);
  return fItems[static_cast<size_t>(iIndex)];
}

void TPersistentArray::Add(IPersistentStoragePtr iItem) { fItems.push_back(OrNull(std::move(iItem))); }

IPersistentNumberPtr TPersistentArray::AddNumber(double iValue) {
  auto item = NewPersistentNumber(iValue);
  fItems.push_back(item);
  return item;
}

IPersistentStringPtr TPersistentArray::AddString(const std::string& iValue) {
  auto item = NewPersistentString(iValue);
  fItems.push_back(item);
  return item;
}

IPersistentBooleanPtr TPersistentArray::AddBoolean(bool iValue) {
  auto item = NewPersistentBoolean(iValue);
  fItems.push_back(item);
  return item;
}

IPersistentObjectPtr TPersistentArray::AddObject() {
  auto item = NewPersistentObject();
  fItems.push_back(item);
  return item;
}

void TPersistentArray::Delete(int iIndex) {
  CheckIndex(iIndex);
  fItems.erase(fItems.begin() + iIndex);
}

IPersistentArrayEnumeratorPtr TPersistentArray::GetEnumerator() {
  return std::make_shared<TPersistentArrayEnumerator>(AsArray());
}

void TPersistentArray::WriteJSon(std::string& ioText, bool iIndent, bool iEscape, int iLevel) const {
  if (fItems.empty()) {
    ioText += "[]";
    return;
  }
  ioText += '[';
  if (iIndent) LineBreak(ioText, iLevel + 1);
  bool first = true;
  for (const auto& item : fItems) {
    if (!first) ioText += ',';
    first = false;
    WriteItem(item, ioText, iIndent, iEscape, iLevel + 1);
  }
  ioText += ']';
}

bool TPersistentArrayEnumerator::MoveNext() {
  if (fIndex < fList->GetCount()) ++fIndex;
  return fIndex < fList->GetCount();
}

IPersistentStoragePtr TPersistentArrayEnumerator::GetCurrent() const { return fList->GetItem(fIndex); }

// --- object

IPersistentObjectPtr TPersistentObject::Self() { return AsObject(); }

void TPersistentObject::GetNames(std::vector<std::string>& oNames) const {
  oNames.clear();
  for (const auto& [name, value] : fItems) oNames.push_back(name);
}

IPersistentStoragePtr TPersistentObject::GetValue(const std::string& iName) const {
  auto it = fItems.find(iName);
  if (it == fItems.end()) NoSuchItem(iName);
  return it->second;
}

IPersistentArrayPtr TPersistentObject::GetValues() const {
  auto values = NewPersistentArray();
  for (const auto& [name, value] : fItems) values->Add(value);
  return values;
}

bool TPersistentObject::TryGetValue(const std::string& iName, IPersistentStoragePtr& oValue) const {
  oValue = FindValue(iName);
  return oValue != nullptr;
}

IPersistentStoragePtr TPersistentObject::FindValue(const std::string& iName) const {
  auto it = fItems.find(iName);
  return it == fItems.end() ? nullptr : it->second;
}

double TPersistentObject::FindNumber(const std::string& iName, double iDefault) const {
  auto value = FindValue(iName);
  auto number = value ? value->AsNumber() : nullptr;
  return number ? number->GetValue() : iDefault;
}

std::int64_t TPersistentObject::FindInteger(const std::string& iName, std::int64_t iDefault) const {
  auto value = FindValue(iName);
  auto number = value ? value->AsNumber() : nullptr;
  return number ? number->GetIntValue() : iDefault;
}

std::string TPersistentObject::FindString(const std::string& iName, const std::string& iDefault) const {
  auto value = FindValue(iName);
  if (!value) return iDefault;
  if (auto text = value->AsString()) return text->GetValue();
  if (auto number = value->AsNumber()) {
    std::string result = JSONNumberText(number->GetValue());
    // nl_langinfo reads the locale without writing shared state (unlike localeconv)
    const char* separator = nl_langinfo(RADIXCHAR);
    if (separator && *separator && std::strcmp(separator, ".") != 0) {
      size_t dot = result.find('.');
      if (dot != std::string::npos) result.replace(dot, 1, separator);
    }
    return result;
  }
  return iDefault;
}

bool TPersistentObject::FindBoolean(const std::string& iName, bool iDefault) const {
  auto value = FindValue(iName);
  auto flag = value ? value->AsBoolean() : nullptr;
  return flag ? flag->GetValue() : iDefault;
}

bool TPersistentObject::FindArray(const std::string& iName, IPersistentArrayPtr& oResult) const {
  auto value = FindValue(iName);
  oResult = value ? value->AsArray() : nullptr;
  return oResult != nullptr;
}

bool TPersistentObject::FindObject(const std::string& iName, IPersistentObjectPtr& oResult) const {
  auto value = FindValue(iName);
  oResult = value ? value->AsObject() : nullptr;
  return oResult != nullptr;
}

void TPersistentObject::Add(const std::string& iName, IPersistentStoragePtr iItem) {
  if (fItems.count(iName)) DuplicateName(iName);
  fItems.emplace(iName, OrNull(std::move(iItem)));
}

void TPersistentObject::SetValue(const std::string& iName, IPersistentStoragePtr iItem) {
  fItems[iName] = OrNull(std::move(iItem));
}

IPersistentObjectPtr TPersistentObject::SetNull(const std::string& iName) {
  SetValue(iName, NewPersistentNull());
  return Self();
}

IPersistentObjectPtr TPersistentObject::SetNumber(const std::string& iName, double iValue) {
  SetValue(iName, NewPersistentNumber(iValue));
  return Self();
}

IPersistentObjectPtr TPersistentObject::SetString(const std::string& iName, const std::string& iValue) {
  SetValue(iName, NewPersistentString(iValue));
  return Self();
}

IPersistentObjectPtr TPersistentObject::SetBoolean(const std::string& iName, bool iValue) {
  SetValue(iName, NewPersistentBoolean(iValue));
  return Self();
}

IPersistentObjectPtr TPersistentObject::SetArray(const std::string& iName, IPersistentArrayPtr iValue) {
  SetValue(iName, iValue);
  return Self();
}

IPersistentObjectPtr TPersistentObject::SetObject(const std::string& iName, IPersistentObjectPtr iValue) {
  SetValue(iName, iValue);
  return Self();
}

IPersistentArrayPtr TPersistentObject::CreateArray(const std::string& iName) {
  auto item = NewPersistentArray();
  Add(iName, item);
  return item;
}

IPersistentObjectPtr TPersistentObject::CreateObject(const std::string& iName) {
  auto item = NewPersistentObject();
  Add(iName, item);
  return item;
}

IPersistentObjectPtr TPersistentObject::FindOrCreateObject(const std::string& iName) {
  auto value = FindValue(iName);
  if (!value) return CreateObject(iName);
  auto object = value->AsObject();
  if (!object) throw std::runtime_error(fmt::format("Item is not an object: {}", iName));
  return object;
}

IPersistentArrayPtr TPersistentObject::FindOrCreateArray(const std::string& iName) {
  auto value = FindValue(iName);
  if (!value) return CreateArray(iName);
  auto array = value->AsArray();
  if (!array) throw std::runtime_error(fmt::format("Item is not an array: {}", iName));
  return array;
}

void TPersistentObject::DeleteValue(const std::string& iName) { fItems.erase(iName); }

IPersistentObjectPtr TPersistentObject::Merge(IPersistentObjectPtr iValue) {
  if (!iValue) return Self();
  std::vector<std::string> names;
  iValue->GetNames(names);
  // check first, so a failed merge leaves this object as it was
  for (const auto& name : names)
    if (fItems.count(name)) DuplicateName(name);
  for (const auto& name : names) fItems.emplace(name, iValue->GetValue(name));
  return Self();
}

void TPersistentObject::WriteJSon(std::string& ioText, bool iIndent, bool iEscape, int iLevel) const {
  if (fItems.empty()) {
    ioText += "{}";
    return;
  }
  ioText += '{';
  bool first = true;
  for (const auto& [name, value] : fItems) {
    if (!first) ioText += ',';
    first = false;
    if (iIndent) LineBreak(ioText, iLevel + 1);
    ioText += '"';
    ioText += JSONEscape(name, iEscape);
    ioText += iIndent ? "\": " : "\":";
    WriteItem(value, ioText, iIndent, iEscape, iLevel + 1);
  }
  if (iIndent) LineBreak(ioText, iLevel);
  ioText += '}';
}
