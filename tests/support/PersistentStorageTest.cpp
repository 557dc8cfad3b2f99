#include "support/PersistentStorage.h"

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "TempFolder.h"

namespace {

template <class F>
std::string ErrorOf(F iCall) {
  try {
    iCall();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no error";
}

TEST(PersistentStorage, WriterOutputByteForByte) {
  struct TCase {
    const char* fWhat;
    std::function<IPersistentStoragePtr()> fBuild;
    bool fIndent;
    std::string fExpected;
  };
  const auto twoIDs = [] {
    auto list = NewPersistentArray();
    list->AddObject()->SetNumber("ID", 0);
    list->AddObject()->SetNumber("ID", 1);
    return list;
  };
  const auto nested = [] {
    auto root = NewPersistentObject();
    root->SetString("Name", "Slot 1")->SetBoolean("Active", true)->SetNull("Error");
    root->CreateArray("Empty");
    root->CreateObject("Inner")->SetNumber("x", 1.5);
    auto list = root->CreateArray("List");
    list->AddNumber(1);
    list->AddString("two");
    list->AddBoolean(false);
    return root;
  };
  const TCase cases[] = {
      {"count",
       [] { return NewPersistentObject()->SetNumber("count", 3); },
       true,
       "{\r\n \"count\": 3\r\n}"},
      {"count flat", [] { return NewPersistentObject()->SetNumber("count", 3); }, false, "{\"count\":3}"},
      {"two objects", twoIDs, true, "[\r\n {\r\n  \"ID\": 0\r\n },{\r\n  \"ID\": 1\r\n }]"},
      {"two objects flat", twoIDs, false, "[{\"ID\":0},{\"ID\":1}]"},
      {"nested", nested, true,
       "{\r\n \"Active\": true,\r\n \"Empty\": [],\r\n \"Error\": null,\r\n \"Inner\": {\r\n  \"x\": 1.5\r\n },"
       "\r\n \"List\": [\r\n  1,\"two\",false],\r\n \"Name\": \"Slot 1\"\r\n}"},
      {"nested flat", nested, false,
       "{\"Active\":true,\"Empty\":[],\"Error\":null,\"Inner\":{\"x\":1.5},\"List\":[1,\"two\",false],"
       "\"Name\":\"Slot 1\"}"},
      {"empty object", [] { return NewPersistentObject(); }, true, "{}"},
      {"empty array", [] { return NewPersistentArray(); }, true, "[]"},
      {"scalar string", [] { return NewPersistentString("x"); }, true, "\"x\""},
      {"scalar null", [] { return NewPersistentNull(); }, true, "null"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fWhat);
    EXPECT_EQ(c.fBuild()->AsJSon(c.fIndent, true), c.fExpected);
  }
}

TEST(PersistentStorage, NumberForms) {
  struct TCase {
    double fValue;
    const char* fText;
  };
  const TCase cases[] = {
      {0, "0"},
      {-0.0, "0"},
      {42, "42"},
      {3600, "3600"},
      {-7, "-7"},
      {0.5, "0.5"},
      {-0.25, "-0.25"},
      {1e20, "1E20"},
      {5e-5, "5E-5"},
      {1.5e-7, "1.5E-7"},
      {-2.5e21, "-2.5E21"},
      {1e15, "1E15"},
      {999999999999999, "999999999999999"},
      {0.0001, "0.0001"},
      {0.1 + 0.2, "0.3"},  // 15 significant digits hide the binary noise
      {1.0 / 3, "0.333333333333333"},
      {1e100, "1E100"},
      {1234.5678, "1234.5678"},
      {std::numeric_limits<double>::quiet_NaN(), "null"},  // JSON has no form for these
      {std::numeric_limits<double>::infinity(), "null"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fText);
    EXPECT_EQ(NewPersistentNumber(c.fValue)->AsJSon(false, true), c.fText);
  }
}

TEST(PersistentStorage, Escaping) {
  struct TCase {
    std::string fText, fEscaped, fPlain;
  };
  const TCase cases[] = {
      {"a/b", "a\\/b", "a/b"},
      {"say \"hi\" \\ bye", "say \\\"hi\\\" \\\\ bye", "say \\\"hi\\\" \\\\ bye"},
      {"\xC3\x84", "\\u00c4", "\xC3\x84"},                           // A with diaeresis
      {"\xE2\x82\xAC", "\\u20ac", "\xE2\x82\xAC"},                   // euro sign
      {"\xF0\x9F\x98\x80", "\\ud83d\\ude00", "\xF0\x9F\x98\x80"},    // outside the BMP: UTF-16 pair
      {"\b\t\n\f\r", "\\b\\t\\n\\f\\r", "\\b\\t\\n\\f\\r"},
      {std::string("a\0b", 3), "a\\u0000b", "a\\u0000b"},
      {"\x01\x1f\x7f", "\\u0001\\u001f\x7f", "\\u0001\\u001f\x7f"},
      {"caf\xE9", "caf\\u00e9", "caf\xE9"},  // a stray Latin-1 byte reads as itself
      {"", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fEscaped);
    EXPECT_EQ(NewPersistentString(c.fText)->AsJSon(false, true), "\"" + c.fEscaped + "\"");
    EXPECT_EQ(NewPersistentString(c.fText)->AsJSon(false, false), "\"" + c.fPlain + "\"");
  }
  // names are escaped like strings
  EXPECT_EQ(NewPersistentObject()->SetNumber("a/\xC3\x84", 1)->AsJSon(false, true), "{\"a\\/\\u00c4\":1}");
}

TEST(PersistentStorage, ObjectMembers) {
  auto object = NewPersistentObject();
  object->SetString("Name", "first");
  object->SetString("Name", "second");
  EXPECT_EQ(object->GetCount(), 1);
  EXPECT_EQ(object->FindString("Name", ""), "second");

  EXPECT_EQ(ErrorOf([&] { object->Add("Name", NewPersistentNumber(1)); }), "Duplicate name: Name");
  EXPECT_EQ(ErrorOf([&] { object->CreateObject("Name"); }), "Duplicate name: Name");
  EXPECT_EQ(ErrorOf([&] { object->CreateArray("Name"); }), "Duplicate name: Name");
  EXPECT_EQ(object->FindString("Name", ""), "second");
  EXPECT_EQ(ErrorOf([&] { object->GetValue("Missing"); }), "No such item: Missing");

  object->SetNumber("name", 2);  // names are case-sensitive
  EXPECT_EQ(object->GetCount(), 2);
  std::vector<std::string> names{"stale"};
  object->GetNames(names);
  EXPECT_EQ(names, (std::vector<std::string>{"Name", "name"}));
  EXPECT_EQ(object->GetValues()->GetCount(), 2);

  // setters chain on the object itself
  EXPECT_EQ(object->SetBoolean("b", true).get(), object.get());

  object->DeleteValue("name");
  object->DeleteValue("not there");
  EXPECT_EQ(object->FindValue("name"), nullptr);
  IPersistentStoragePtr found;
  EXPECT_FALSE(object->TryGetValue("name", found));
  EXPECT_TRUE(object->TryGetValue("b", found));
  EXPECT_EQ(found->GetType(), ptBoolean);

  // a nullptr member is a JSON null, not a crash at writing time
  object->SetValue("nothing", nullptr);
  EXPECT_EQ(object->GetValue("nothing")->GetType(), ptNull);
}

TEST(PersistentStorage, FindWithDefaults) {
  auto object = NewPersistentObject();
  object->SetNumber("n", 2.5)->SetNumber("big", 1e20)->SetString("s", "text")->SetBoolean("b", true);
  object->CreateArray("a");
  object->CreateObject("o");

  EXPECT_EQ(object->FindNumber("n", -1), 2.5);
  EXPECT_EQ(object->FindNumber("s", -1), -1);
  EXPECT_EQ(object->FindNumber("missing", -1), -1);
  EXPECT_EQ(object->FindInteger("n", -1), 3);
  EXPECT_EQ(object->FindInteger("big", -1), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(object->FindInteger("b", -1), -1);
  EXPECT_EQ(object->FindString("s", "d"), "text");
  EXPECT_EQ(object->FindString("n", "d"), "2.5");
  EXPECT_EQ(object->FindString("b", "d"), "d");
  EXPECT_EQ(object->FindBoolean("b", false), true);
  EXPECT_EQ(object->FindBoolean("n", false), false);

  IPersistentArrayPtr array;
  IPersistentObjectPtr inner;
  EXPECT_TRUE(object->FindArray("a", array));
  EXPECT_TRUE(array);
  EXPECT_FALSE(object->FindArray("o", array));
  EXPECT_FALSE(array);
  EXPECT_TRUE(object->FindObject("o", inner));
  EXPECT_FALSE(object->FindObject("missing", inner));
  EXPECT_FALSE(inner);

  object->FindOrCreateObject("o")->SetNumber("x", 1);
  EXPECT_EQ(object->FindOrCreateObject("o")->GetCount(), 1);  // the same object again
  object->FindOrCreateArray("new")->AddNumber(1);
  EXPECT_EQ(object->FindOrCreateArray("new")->GetCount(), 1);
  EXPECT_EQ(ErrorOf([&] { object->FindOrCreateObject("a"); }), "Item is not an object: a");
  EXPECT_EQ(ErrorOf([&] { object->FindOrCreateArray("s"); }), "Item is not an array: s");
}

TEST(PersistentStorage, MergeIsAllOrNothing) {
  auto target = NewPersistentObject()->SetNumber("a", 1);
  auto clash = NewPersistentObject()->SetNumber("b", 2)->SetNumber("a", 3);
  EXPECT_EQ(ErrorOf([&] { target->Merge(clash); }), "Duplicate name: a");
  EXPECT_EQ(target->AsJSon(false, true), "{\"a\":1}");

  auto extra = NewPersistentObject()->SetNumber("b", 2)->SetString("c", "x");
  EXPECT_EQ(target->Merge(extra)->AsJSon(false, true), "{\"a\":1,\"b\":2,\"c\":\"x\"}");
}

TEST(PersistentStorage, ArraysAndSharedValues) {
  auto array = NewPersistentArray();
  array->AddNumber(1);
  array->AddString("two");
  auto shared = NewPersistentObject()->SetNumber("v", 1);
  array->Add(shared);
  array->Add(nullptr);
  auto holder = NewPersistentObject()->SetObject("same", shared);
  shared->SetNumber("v", 2);  // one value seen from both containers
  EXPECT_EQ(array->AsJSon(false, true), "[1,\"two\",{\"v\":2},null]");
  EXPECT_EQ(holder->AsJSon(false, true), "{\"same\":{\"v\":2}}");

  EXPECT_EQ(ErrorOf([&] { array->GetItem(4); }), "List index out of bounds (4)");
  EXPECT_EQ(ErrorOf([&] { array->GetItem(-1); }), "List index out of bounds (-1)");
  EXPECT_EQ(ErrorOf([&] { array->Delete(4); }), "List index out of bounds (4)");
  array->Delete(0);
  EXPECT_EQ(array->GetItem(0)->AsString()->GetValue(), "two");

  std::string seen;
  auto enumerator = array->GetEnumerator();
  for (int round = 0; round < 2; ++round) {
    while (enumerator->MoveNext()) seen += std::to_string(enumerator->GetCurrent()->GetType());
    EXPECT_FALSE(enumerator->MoveNext());
    enumerator->Reset();
  }
  EXPECT_EQ(seen, "260260");

  array->Clear();
  EXPECT_EQ(array->GetCount(), 0);
  EXPECT_FALSE(array->GetEnumerator()->MoveNext());
}

TEST(PersistentStorage, ConversionsGiveNothingForOtherKinds) {
  const IPersistentStoragePtr values[] = {NewPersistentNull(), NewPersistentNumber(1), NewPersistentString("s"),
                                          NewPersistentBoolean(true), NewPersistentArray(), NewPersistentObject()};
  const TPersistentType types[] = {ptNull, ptNumber, ptString, ptBoolean, ptArray, ptObject};
  for (int i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    const auto& v = values[i];
    EXPECT_EQ(v->GetType(), types[i]);
    EXPECT_EQ(v->AsNull() != nullptr, types[i] == ptNull);
    EXPECT_EQ(v->AsNumber() != nullptr, types[i] == ptNumber);
    EXPECT_EQ(v->AsString() != nullptr, types[i] == ptString);
    EXPECT_EQ(v->AsBoolean() != nullptr, types[i] == ptBoolean);
    EXPECT_EQ(v->AsArray() != nullptr, types[i] == ptArray);
    EXPECT_EQ(v->AsObject() != nullptr, types[i] == ptObject);
  }
  EXPECT_EQ(NewPersistentNumber(2.5)->GetIntValue(), 3);
  EXPECT_EQ(NewPersistentNumber(-2.5)->GetIntValue(), -3);
  EXPECT_EQ(NewPersistentNumber(std::nan(""))->GetIntValue(), 0);
}

TEST(PersistentStorage, SaveReplacesTheFile) {
  TTempFolder folder;
  const std::string path = folder.File("reply.json");
  std::ofstream(path) << "old content that is longer than the new one";
  auto object = NewPersistentObject()->SetString("Name", "\xE2\x82\xAC");
  object->Save(path);
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "{\r\n \"Name\": \"\\u20ac\"\r\n}");
  EXPECT_NE(ErrorOf([&] { object->Save(folder.File("no/such/folder/x.json")); }).find("Unable to write to"),
            std::string::npos);
}

// A decimal-comma locale, built into a temporary folder when the system has none.
TEST(PersistentStorage, DecimalCommaLocale) {
  TTempFolder folder;
  const std::string command = "localedef -i de_DE -f UTF-8 " + folder.File("de_DE.UTF-8") + " >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) GTEST_SKIP() << "cannot build a de_DE locale";
  const char* oldPath = std::getenv("LOCPATH");
  const std::string savedPath = oldPath ? oldPath : "";
  setenv("LOCPATH", folder.Path().c_str(), 1);
  const std::string savedLocale = std::setlocale(LC_NUMERIC, nullptr);
  if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) {
    oldPath ? setenv("LOCPATH", savedPath.c_str(), 1) : unsetenv("LOCPATH");
    GTEST_SKIP() << "cannot load the de_DE locale";
  }
  auto object = NewPersistentObject()->SetNumber("n", 0.5);
  const std::string json = object->AsJSon(false, true);
  const std::string text = object->FindString("n", "");
  std::setlocale(LC_NUMERIC, savedLocale.c_str());
  oldPath ? setenv("LOCPATH", savedPath.c_str(), 1) : unsetenv("LOCPATH");

  EXPECT_EQ(json, "{\"n\":0.5}");  // JSON always has a point
  EXPECT_EQ(text, "0,5");          // a text for people follows their locale
}

}  // namespace
