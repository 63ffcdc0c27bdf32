// Record layout, the store and fetch walks, changed keys and the conversion of
// values between field types, on records in memory.
#include "class.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

struct Small {
  int8_t a;
  int8_t b;
  int16_t c;
  KELDRA_DESCRIBE(Small, KELDRA_FIELD(a), KELDRA_FIELD(b), KELDRA_FIELD(c));
};

struct Named {
  const char* s;
  bool flag;
  KELDRA_DESCRIBE(Named, KELDRA_KEY(s, HASHED), KELDRA_FIELD(flag));
};

struct Target {
  int32_t id;
  KELDRA_DESCRIBE(Target, KELDRA_FIELD(id));
};

struct Refs {
  dbArray<dbReference<Target>> refs;
  bool flag;
  KELDRA_DESCRIBE(Refs, KELDRA_FIELD(refs), KELDRA_FIELD(flag));
};

struct Part {
  const char* label;
  int16_t count;
  KELDRA_DESCRIBE(Part, KELDRA_FIELD(label), KELDRA_FIELD(count));
};

struct Everything {
  bool b;
  int8_t i1;
  int16_t i2;
  int32_t i4;
  int64_t i8;
  float r4;
  double r8;
  const char* text;
  dbReference<Target> ref;
  dbArray<int32_t> numbers;
  dbArray<Part> parts;
  dbDateTime when;
  char raw[5];
  int32_t half() const { return i4 / 2; }
  KELDRA_DESCRIBE(Everything, KELDRA_FIELD(b), KELDRA_FIELD(i1), KELDRA_FIELD(i2), KELDRA_FIELD(i4),
                  KELDRA_FIELD(i8), KELDRA_FIELD(r4), KELDRA_FIELD(r8), KELDRA_FIELD(text), KELDRA_FIELD(ref),
                  KELDRA_FIELD(numbers), KELDRA_FIELD(parts), KELDRA_KEY(when, INDEXED), KELDRA_RAWFIELD(raw),
                  KELDRA_METHOD(half));
};

template <class T>
std::unique_ptr<dbTableDescriptor> describe(const char* name) {
  return std::make_unique<dbTableDescriptor>(name, dbTableDescriptor::DETACHED_TABLE, sizeof(T), &dbDescribeTable<T>);
}

template <class T>
std::vector<char> store(const dbTableDescriptor& table, const T& value) {
  std::vector<char> record(table.recordSize(&value));
  size_t end = dbFieldDescriptor::storeRecord(table.columns, record.data(), &value, table.fixedSize);
  EXPECT_EQ(end, record.size()) << "recordSize and storeRecord agree";
  reinterpret_cast<dbRecord*>(record.data())->size = uint32_t(record.size());
  return record;
}

TEST(Layout, SmallIntegersPackLikeTheStructure) {
  auto table = describe<Small>("Small");
  EXPECT_EQ(table->find("a")->dbsOffs, 12u);
  EXPECT_EQ(table->find("b")->dbsOffs, 13u);
  EXPECT_EQ(table->find("c")->dbsOffs, 14u);
  EXPECT_EQ(table->fixedSize, 16u);
  EXPECT_TRUE(table->oneToOneMapping);
  EXPECT_EQ(table->nFields, 3);
  EXPECT_EQ(table->nColumns, 3);
}

TEST(Layout, StringThenBoolean) {
  auto table = describe<Named>("Named");
  EXPECT_EQ(table->find("s")->dbsOffs, 12u);
  EXPECT_EQ(table->find("flag")->dbsOffs, 20u);
  EXPECT_EQ(table->fixedSize, 21u);
  EXPECT_FALSE(table->oneToOneMapping);
  Named value{"ab", true};
  std::vector<char> record = store(*table, value);
  ASSERT_EQ(record.size(), 24u);
  const auto* pair = reinterpret_cast<const dbVarying*>(record.data() + 12);
  EXPECT_EQ(pair->count, 3u);
  EXPECT_EQ(pair->offset, 21u);
  EXPECT_STREQ(record.data() + 21, "ab");

  // Null and empty strings are stored alike.
  Named empty{"", false}, null{nullptr, false};
  EXPECT_EQ(store(*table, empty), store(*table, null));
  EXPECT_EQ(store(*table, null).size(), 22u);
}

TEST(Layout, ArrayAfterAFixedPartEndingAt21StartsAt24) {
  auto table = describe<Refs>("Refs");
  EXPECT_EQ(table->fixedSize, 21u);
  dbReference<Target> three[3] = {dbReference<Target>(8194), dbReference<Target>(8195), dbReference<Target>(9000)};
  Refs value;
  value.refs.assign(three, 3);
  value.flag = true;
  std::vector<char> record = store(*table, value);
  EXPECT_EQ(record.size(), 36u);
  EXPECT_EQ(reinterpret_cast<const dbVarying*>(record.data() + 12)->offset, 24u);
  EXPECT_TRUE(table->find("refs")->attr & dbFieldDescriptor::OneToOneMapping);
  EXPECT_STREQ(table->find("refs")->refTableName, "Target");
  EXPECT_EQ(table->find("refs[]")->type, dbField::tpReference);
}

TEST(Layout, EveryKindRoundTrips) {
  auto table = describe<Everything>("Everything");
  Part parts[2] = {{"first", 1}, {"", -2}};
  int32_t numbers[4] = {1, -2, 300000, 0};
  Everything value{};
  value.b = true;
  value.i1 = -5;
  value.i2 = -30000;
  value.i4 = 2000000000;
  value.i8 = -9000000000000LL;
  value.r4 = 1.5f;
  value.r8 = -2.25e100;
  value.text = "hello";
  value.ref = dbReference<Target>(8200);
  value.numbers.assign(numbers, 4);
  value.parts.assign(parts, 2);
  value.when = dbDateTime(86400 * 365);
  memcpy(value.raw, "a\0b\0c", 5);
  std::vector<char> record = store(*table, value);

  Everything back{};
  dbFieldDescriptor::fetchRecord(table->columns, &back, record.data());
  EXPECT_EQ(back.b, true);
  EXPECT_EQ(back.i1, -5);
  EXPECT_EQ(back.i2, -30000);
  EXPECT_EQ(back.i4, 2000000000);
  EXPECT_EQ(back.i8, -9000000000000LL);
  EXPECT_EQ(back.r4, 1.5f);
  EXPECT_EQ(back.r8, -2.25e100);
  EXPECT_STREQ(back.text, "hello");
  EXPECT_GE(back.text, record.data()) << "strings point into the record";
  EXPECT_LT(back.text, record.data() + record.size());
  EXPECT_EQ(back.ref.oid, 8200u);
  ASSERT_EQ(back.numbers.length(), 4u);
  EXPECT_EQ(back.numbers[2], 300000);
  ASSERT_EQ(back.parts.length(), 2u);
  EXPECT_STREQ(back.parts[0].label, "first");
  EXPECT_EQ(back.parts[1].count, -2);
  EXPECT_EQ(back.when.stamp, 86400 * 365);
  EXPECT_EQ(memcmp(back.raw, "a\0b\0c", 5), 0);
  EXPECT_EQ(store(*table, back), record) << "storing what was fetched writes an equal record";

  // The method runs on the stored record.
  dbFieldDescriptor* half = table->columns->prev;
  ASSERT_TRUE(half->isMethod());
  EXPECT_EQ(half->type, dbField::tpMethodInt4);
  int32_t result = 0;
  half->method->invoke(record.data(), &result);
  EXPECT_EQ(result, 1000000000);
  // The date's fields are paths below the structure and its stamp is a key.
  dbFieldDescriptor* stamp = table->find("when.stamp");
  ASSERT_NE(stamp, nullptr);
  EXPECT_TRUE(stamp->indexType & INDEXED);
  EXPECT_FALSE(stamp->indexType & HASHED) << "the declaration allowed only INDEXED";
  EXPECT_NE(table->find("parts[].label"), nullptr);
}

// Elements of 12 bytes aligned to 4 whose own array holds 8-byte values: the inner
// values are aligned within the record, and the size reserved for the record is
// exactly what the store writes.
struct Inner {
  int32_t a;
  dbArray<int64_t> b;
  KELDRA_DESCRIBE(Inner, KELDRA_FIELD(a), KELDRA_FIELD(b));
};
struct Outer {
  dbArray<Inner> items;
  KELDRA_DESCRIBE(Outer, KELDRA_FIELD(items));
};

TEST(Layout, ArrayInsideAnArrayElementFitsTheMeasuredSize) {
  auto table = describe<Outer>("Outer");
  int64_t values[2] = {-1, 1LL << 40};
  Inner inner[2] = {};
  inner[0].a = 7;
  inner[0].b.assign(values, 2);
  inner[1].a = 8;
  inner[1].b.assign(values + 1, 1);
  Outer value;
  for (size_t n : {1, 2}) {
    SCOPED_TRACE(n);
    value.items.assign(inner, n);
    const size_t size = table->recordSize(&value);
    std::vector<char> record(size + 64, '\x33');  // room for a store that overruns
    size_t end = dbFieldDescriptor::storeRecord(table->columns, record.data(), &value, table->fixedSize);
    EXPECT_EQ(end, size);
    EXPECT_EQ(record[size], '\x33') << "nothing is written past the measured size";
    const auto* items = reinterpret_cast<const dbVarying*>(record.data() + 12);
    for (size_t i = 0; i < n; i++) {
      const size_t at = items->offset + i * 12;
      EXPECT_EQ((at + reinterpret_cast<const dbVarying*>(record.data() + at + 4)->offset) % 8, 0u)
          << "the 8-byte values are aligned in the record";
    }
    Outer back;
    dbFieldDescriptor::fetchRecord(table->columns, &back, record.data());
    ASSERT_EQ(back.items.length(), n);
    EXPECT_EQ(back.items[0].a, 7);
    ASSERT_EQ(back.items[0].b.length(), 2u);
    EXPECT_EQ(back.items[0].b[1], 1LL << 40);

    // Converting the record to a layout with one more field measures and writes alike.
    struct Wider {
      int32_t added;
      dbArray<Inner> items;
      KELDRA_DESCRIBE(Wider, KELDRA_FIELD(added), KELDRA_FIELD(items));
    };
    auto wider = describe<Wider>("Outer");
    std::vector<char> descriptor(table->descriptorRecordSize());
    table->writeDescriptorRecord(reinterpret_cast<dbTable*>(descriptor.data()));
    bool exact;
    ASSERT_TRUE(wider->match(reinterpret_cast<dbTable*>(descriptor.data()), false, &exact));
    const size_t convertedSize = dbFieldDescriptor::convertedSize(wider->columns, record.data(), wider->fixedSize);
    std::vector<char> converted(convertedSize + 64, '\x33');
    EXPECT_EQ(dbFieldDescriptor::convertRecord(wider->columns, converted.data(), record.data(), wider->fixedSize),
              convertedSize);
    EXPECT_EQ(converted[convertedSize], '\x33');
    Wider widened;
    dbFieldDescriptor::fetchRecord(wider->columns, &widened, converted.data());
    ASSERT_EQ(widened.items.length(), n);
    ASSERT_EQ(widened.items[0].b.length(), 2u);
    EXPECT_EQ(widened.items[0].b[0], -1);
  }
}

TEST(Layout, MethodOfAOneToOneStructureReadsTheStoredBytes) {
  struct Counter {
    int32_t n;
    int32_t next() const { return n + 1; }
    KELDRA_DESCRIBE(Counter, KELDRA_FIELD(n), KELDRA_METHOD(next));
  };
  auto table = describe<Counter>("Counter");
  EXPECT_TRUE(table->oneToOneMapping);
  Counter c{41};
  std::vector<char> record = store(*table, c);
  int32_t result = 0;
  table->columns->next->method->invoke(record.data(), &result);
  EXPECT_EQ(result, 42);
}

TEST(Layout, WarnsOnlyWhenFieldsAreLeftUndescribed) {
  struct Complete {
    int32_t key;
    const char* text;  // 8-byte aligned in memory, 4 in the record
    bool flag;
    KELDRA_DESCRIBE(Complete, KELDRA_FIELD(key), KELDRA_FIELD(text), KELDRA_FIELD(flag));
  };
  struct Partial {
    int32_t key;
    double undescribed;
    KELDRA_DESCRIBE(Partial, KELDRA_FIELD(key));
  };
  testing::internal::CaptureStderr();
  auto complete = describe<Complete>("Complete");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  testing::internal::CaptureStderr();
  auto partial = describe<Partial>("Partial");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Warning: may be not all fields of the class 'Partial' were described\n");
}

TEST(Layout, UnchangedKeysAreNotMarked) {
  auto table = describe<Named>("Named");
  Named value{"key", true};
  std::vector<char> record = store(*table, value);
  Named same{"key", false};  // only a non-key field differs
  EXPECT_FALSE(dbFieldDescriptor::markChangedKeys(table->columns, record.data(), &same));
  EXPECT_FALSE(table->find("s")->attr & dbFieldDescriptor::Updated);
  Named other{"other", true};
  EXPECT_TRUE(dbFieldDescriptor::markChangedKeys(table->columns, record.data(), &other));
  EXPECT_TRUE(table->find("s")->attr & dbFieldDescriptor::Updated);
}

TEST(KeldraBuffer, CopiesLiveAsLongAsTheBuffer) {
  keldraBuffer buffer;
  const char* empty = buffer.put("");
  EXPECT_EQ(empty, buffer.put(nullptr));
  EXPECT_STREQ(empty, "");
  const char* a = buffer.put("text");
  const char* b = buffer.put("text");
  EXPECT_NE(a, b);
  std::string big(2000, 'x');
  const char* c = buffer.put(big.c_str());  // does not fit the first block
  EXPECT_EQ(c, big);
  EXPECT_STREQ(a, "text");
}

TEST(DateTime, FieldsOfLocalTime) {
  setenv("TZ", "UTC", 1);
  tzset();
  dbDateTime t(951782400 + 3 * 3600 + 4 * 60 + 5);  // 2000-02-29 03:04:05, a Tuesday
  EXPECT_EQ(t.year(), 2000);
  EXPECT_EQ(t.month(), 2);
  EXPECT_EQ(t.day(), 29);
  EXPECT_EQ(t.dayOfYear(), 60);
  EXPECT_EQ(t.dayOfWeek(), 3);
  EXPECT_EQ(t.hour(), 3);
  EXPECT_EQ(t.minute(), 4);
  EXPECT_EQ(t.second(), 5);
}

// ---------------------------------------------------------------------------
// Conversion of one field "v" from one type to another.

template <class V>
struct One {
  V v;
  KELDRA_DESCRIBE(One, KELDRA_FIELD(v));
};

struct Value {
  int type;
  double real;  // every value of the table fits a double exactly
};

template <class V>
std::vector<char> storeOne(V v, std::unique_ptr<dbTableDescriptor>& table) {
  table = describe<One<V>>("T");
  One<V> value{v};
  return store(*table, value);
}

std::vector<char> storeValue(const Value& value, std::unique_ptr<dbTableDescriptor>& table) {
  switch (value.type) {
    case dbField::tpBool: return storeOne<bool>(value.real != 0, table);
    case dbField::tpInt1: return storeOne<int8_t>(int8_t(value.real), table);
    case dbField::tpInt2: return storeOne<int16_t>(int16_t(value.real), table);
    case dbField::tpInt4: return storeOne<int32_t>(int32_t(value.real), table);
    case dbField::tpInt8: return storeOne<int64_t>(int64_t(value.real), table);
    case dbField::tpReal4: return storeOne<float>(float(value.real), table);
    default: return storeOne<double>(value.real, table);
  }
}

template <class V>
double fetchOne(const dbTableDescriptor& table, const char* record) {
  One<V> value{};
  dbFieldDescriptor::fetchRecord(table.columns, &value, record);
  return double(value.v);
}

double convert(const Value& from, int toType) {
  std::unique_ptr<dbTableDescriptor> oldTable, newTable;
  std::vector<char> old = storeValue(from, oldTable);
  storeValue({toType, 0}, newTable);
  std::vector<char> descriptor(oldTable->descriptorRecordSize());
  oldTable->writeDescriptorRecord(reinterpret_cast<dbTable*>(descriptor.data()));
  bool exact;
  newTable->match(reinterpret_cast<dbTable*>(descriptor.data()), false, &exact);
  std::vector<char> converted(dbFieldDescriptor::convertedSize(newTable->columns, old.data(), newTable->fixedSize));
  dbFieldDescriptor::convertRecord(newTable->columns, converted.data(), old.data(), newTable->fixedSize);
  switch (toType) {
    case dbField::tpBool: return double(uint8_t(converted[12]));
    case dbField::tpInt1: return fetchOne<int8_t>(*newTable, converted.data());
    case dbField::tpInt2: return fetchOne<int16_t>(*newTable, converted.data());
    case dbField::tpInt4: return fetchOne<int32_t>(*newTable, converted.data());
    case dbField::tpInt8: return fetchOne<int64_t>(*newTable, converted.data());
    case dbField::tpReal4: return fetchOne<float>(*newTable, converted.data());
    default: return fetchOne<double>(*newTable, converted.data());
  }
}

TEST(Conversion, EveryNumericChangeFollowsTheRules) {
  using F = dbField;
  struct Case {
    Value from;
    int to;
    double expected;
  } cases[] = {
      {{F::tpBool, 1}, F::tpBool, 1},         {{F::tpInt4, 7}, F::tpBool, 1},
      {{F::tpInt8, 0}, F::tpBool, 0},         {{F::tpReal8, 0.25}, F::tpBool, 1},
      {{F::tpInt2, 0x1234}, F::tpInt1, 0x34}, {{F::tpInt8, -129}, F::tpInt1, 127},
      {{F::tpBool, 1}, F::tpInt2, 1},         {{F::tpInt1, -3}, F::tpInt2, -3},
      {{F::tpInt4, 0x12345678}, F::tpInt2, 0x5678}, {{F::tpInt4, 100000}, F::tpInt2, -31072},
      {{F::tpInt1, -1}, F::tpInt4, -1},       {{F::tpInt8, 0x100000005LL}, F::tpInt4, 5},
      {{F::tpInt2, -7}, F::tpInt8, -7},       {{F::tpInt4, -2000000000}, F::tpInt8, -2000000000},
      {{F::tpReal8, -3.99}, F::tpInt4, -3},   {{F::tpReal8, 3.99}, F::tpInt4, 3},
      {{F::tpReal4, 70000.5}, F::tpInt2, 4464}, {{F::tpReal8, 1e30}, F::tpInt8, 9223372036854775807.0},
      {{F::tpBool, 1}, F::tpReal8, 1},        {{F::tpInt4, -12}, F::tpReal4, -12},
      {{F::tpInt8, 1LL << 40}, F::tpReal8, 1099511627776.0}, {{F::tpReal8, 0.1}, F::tpReal4, double(0.1f)},
      {{F::tpReal4, 0.5}, F::tpReal8, 0.5},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(convert(c.from, c.to), c.expected) << "from type " << c.from.type << " value " << c.from.real
                                                 << " to type " << c.to;
  }
}

TEST(Conversion, NewFieldsStartEmptyAndStringsAndArraysAreKept) {
  struct Old {
    const char* name;
    dbArray<Part> parts;
    KELDRA_DESCRIBE(Old, KELDRA_FIELD(name), KELDRA_FIELD(parts));
  };
  struct New {
    int32_t added;
    const char* name;
    const char* note;
    dbArray<Part> parts;
    dbReference<Target> ref;
    KELDRA_DESCRIBE(New, KELDRA_FIELD(added), KELDRA_FIELD(name), KELDRA_FIELD(note), KELDRA_FIELD(parts),
                    KELDRA_FIELD(ref));
  };
  auto oldTable = describe<Old>("T");
  auto newTable = describe<New>("T");
  Part parts[2] = {{"p1", 1}, {"p2", 2}};
  Old old{"kept", {}};
  old.parts.assign(parts, 2);
  std::vector<char> record = store(*oldTable, old);
  std::vector<char> descriptor(oldTable->descriptorRecordSize());
  oldTable->writeDescriptorRecord(reinterpret_cast<dbTable*>(descriptor.data()));
  bool exact = true;
  newTable->match(reinterpret_cast<dbTable*>(descriptor.data()), false, &exact);
  EXPECT_FALSE(exact);
  std::vector<char> converted(dbFieldDescriptor::convertedSize(newTable->columns, record.data(), newTable->fixedSize));
  size_t end = dbFieldDescriptor::convertRecord(newTable->columns, converted.data(), record.data(), newTable->fixedSize);
  EXPECT_EQ(end, converted.size());
  New back{};
  dbFieldDescriptor::fetchRecord(newTable->columns, &back, converted.data());
  EXPECT_EQ(back.added, 0);
  EXPECT_STREQ(back.name, "kept");
  EXPECT_STREQ(back.note, "");
  ASSERT_EQ(back.parts.length(), 2u);
  EXPECT_STREQ(back.parts[1].label, "p2");
  EXPECT_EQ(back.ref.oid, 0u);
}

TEST(ConversionTest, UnconvertibleChangesAreRefused) {
  struct Text {
    const char* v;
    KELDRA_DESCRIBE(Text, KELDRA_FIELD(v));
  };
  auto oldTable = describe<One<int32_t>>("T");
  auto newTable = describe<Text>("T");
  std::vector<char> descriptor(oldTable->descriptorRecordSize());
  oldTable->writeDescriptorRecord(reinterpret_cast<dbTable*>(descriptor.data()));
  bool exact;
  std::string problem;
  EXPECT_FALSE(newTable->match(reinterpret_cast<dbTable*>(descriptor.data()), false, &exact, &problem));
  EXPECT_EQ(problem, "field v can not be converted to its new type");
  auto narrower = describe<Small>("T");
  std::vector<char> wide(narrower->descriptorRecordSize());
  narrower->writeDescriptorRecord(reinterpret_cast<dbTable*>(wide.data()));
  auto fewer = describe<One<int8_t>>("T");  // field "v" new, "a", "b", "c" gone
  EXPECT_FALSE(fewer->match(reinterpret_cast<dbTable*>(wide.data()), false, &exact, &problem));
  EXPECT_EQ(problem, "field a can be removed only from an empty table");
  EXPECT_TRUE(fewer->match(reinterpret_cast<dbTable*>(wide.data()), true, &exact));
  EXPECT_FALSE(exact);
}

}  // namespace
