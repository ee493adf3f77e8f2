#include "base/Classes.h"

#include <gtest/gtest.h>

namespace {

class TThing : public TPersistent {
public:
  std::string ClassName() const override { return "TThing"; }
};

TEST(Persistent, AssignOfUnknownSourceNamesBothClasses) {
  TThing target;
  TStrings source;
  try {
    target.Assign(&source);
    FAIL() << "no error";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "Cannot assign a TStrings to a TThing");
  }
  try {
    target.Assign(nullptr);
    FAIL() << "no error";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "Cannot assign a nil to a TThing");
  }
}

TEST(ObjectList, IndexOutsideFailsWithListError) {
  TObjectList<TThing> list;
  EXPECT_EQ(list.Add(std::make_unique<TThing>()), 0);
  EXPECT_EQ(list.Add(std::make_unique<TThing>()), 1);
  EXPECT_NE(list.Items(1), nullptr);
  try {
    list.Items(2);
    FAIL() << "no error";
  } catch (const EListError& e) {
    EXPECT_STREQ(e.what(), "List index out of bounds (2)");
  }
  EXPECT_THROW(list.Items(-1), EListError);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
}

TEST(Cast, WrongClassFailsAsInvalidTypecast) {
  TThing thing;
  TObject* object = &thing;
  EXPECT_EQ(As<TPersistent>(object), &thing);
  try {
    As<TStrings>(object);
    FAIL() << "no error";
  } catch (const EInvalidCast& e) {
    EXPECT_STREQ(e.what(), "Invalid class typecast");
  }
}

TEST(Strings, IndexOfIgnoresAsciiCaseUnlessAsked) {
  TStrings list;
  list.Add("NS1.Example.ORG");
  list.Add("10.0.0.1");
  EXPECT_EQ(list.IndexOf("ns1.example.org"), 0);
  EXPECT_EQ(list.IndexOf("10.0.0.1"), 1);
  EXPECT_EQ(list.IndexOf("10.0.0.2"), -1);
  list.SetCaseSensitive(true);
  EXPECT_EQ(list.IndexOf("ns1.example.org"), -1);
  EXPECT_THROW(list.Strings(2), EListError);
  TStrings copy;
  copy.Assign(&list);
  EXPECT_EQ(copy.Text(), "NS1.Example.ORG\n10.0.0.1\n");
}

TEST(MemoryStream, ReadsFromAndWritesAtThePosition) {
  TMemoryStream stream;
  stream.WriteBuffer("abcdef", 6);
  EXPECT_EQ(stream.Size(), 6);
  EXPECT_EQ(stream.Position(), 6);
  stream.SetPosition(2);
  char two[2];
  stream.ReadBuffer(two, 2);
  EXPECT_EQ(std::string(two, 2), "cd");
  // A short read returns what there is; ReadBuffer refuses it whole.
  char rest[8];
  EXPECT_EQ(stream.Read(rest, 8), 2);
  stream.SetPosition(5);
  EXPECT_THROW(stream.ReadBuffer(rest, 2), EReadError);
  // Writing past the end grows the stream with zeros in the gap.
  stream.SetPosition(8);
  stream.WriteBuffer("z", 1);
  EXPECT_EQ(stream.Size(), 9);
  EXPECT_EQ(stream.Memory()[6], 0);
  stream.SetSize(3);
  EXPECT_EQ(stream.Position(), 3);
}

}  // namespace
