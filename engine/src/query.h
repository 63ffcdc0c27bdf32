// Query objects: a chain of text pieces and bound parameters (addresses of
// application variables read at every execution), plus the compiled form.
//
//   int8_t kind = 0;
//   dbQuery q;
//   q = "type=", kind;           // text, then a bound variable
//   q = "text=", someCharPtr;    // a char* right after text is a string parameter
#pragma once

#include <cstdint>
#include <string>

#include "compiler.h"

class dbDatabase;

// One piece of a query, from a process-wide pool.
struct dbQueryElement {
  enum ElementType : uint8_t {
    qExpression = 0,  // text
    qVarBool = 1,
    qVarInt1 = 2,
    qVarInt2 = 3,
    qVarInt4 = 4,
    qVarInt8 = 5,
    qVarReal4 = 6,
    qVarReal8 = 7,
    qVarString = 8,       // char*: the string itself
    qVarStringPtr = 9,    // char**: the pointer, read at evaluation time
    qVarReference = 10,   // dbReference<T>
    qVarArrayOfRef = 11,  // dbArray<dbReference<T>>
    qVarArrayOfRefPtr = 12,
    qVarRawData = 13,
  };
  dbQueryElement* next = nullptr;
  const void* data = nullptr;  // text, or the parameter's address
  uint8_t kind = qExpression;
  dbTableDescriptor* refTable = nullptr;  // the program's descriptor of that table, when declared
  const char* refTableName = nullptr;     // referenced table of reference parameters (interned)

  static dbQueryElement* allocate();
  static void releaseChain(dbQueryElement* first, dbQueryElement** lastLink);
  // Elements currently taken from the pool and not released (for leak checks).
  static size_t liveCount();
};

class dbQuery : public dbCompiledQuery {
 public:
  dbQuery() = default;
  explicit dbQuery(const char* text) { append(text); }
  ~dbQuery();
  dbQuery(const dbQuery&) = delete;
  dbQuery& operator=(const dbQuery&) = delete;

  // Assignment starts a new query; the comma operator appends to it.
  dbQuery& operator=(const char* text) {
    reset();
    return append(text);
  }
  dbQuery& operator,(const char* text) { return appendString(text); }
  dbQuery& operator,(char* text) { return appendString(text); }
  dbQuery& operator,(char const* const* ptr) { return add(dbQueryElement::qVarStringPtr, ptr); }
  dbQuery& operator,(char** ptr) { return add(dbQueryElement::qVarStringPtr, ptr); }
  dbQuery& operator,(const bool& v) { return add(dbQueryElement::qVarBool, &v); }
  dbQuery& operator,(const int8_t& v) { return add(dbQueryElement::qVarInt1, &v); }
  dbQuery& operator,(const int16_t& v) { return add(dbQueryElement::qVarInt2, &v); }
  dbQuery& operator,(const int32_t& v) { return add(dbQueryElement::qVarInt4, &v); }
  dbQuery& operator,(const int64_t& v) { return add(dbQueryElement::qVarInt8, &v); }
  dbQuery& operator,(const float& v) { return add(dbQueryElement::qVarReal4, &v); }
  dbQuery& operator,(const double& v) { return add(dbQueryElement::qVarReal8, &v); }
  template <class T>
  dbQuery& operator,(const dbReference<T>& v) {
    return add(dbQueryElement::qVarReference, &v, T::dbTableName());
  }
  template <class T>
  dbQuery& operator,(const dbArray<dbReference<T>>& v) {
    return add(dbQueryElement::qVarArrayOfRef, &v, T::dbTableName());
  }
  template <class T>
  dbQuery& operator,(const dbArray<dbReference<T>>* v) {
    return add(dbQueryElement::qVarArrayOfRefPtr, v, T::dbTableName());
  }
  dbQuery& raw(const void* value) { return add(dbQueryElement::qVarRawData, value); }

  dbQuery& append(const char* text);  // a text piece
  dbQuery& appendString(const char* text);  // a string parameter after text, else text
  dbQuery& add(dbQueryElement::ElementType kind, const void* address, const char* refTableName = nullptr);
  void reset();  // returns the chain to the pool and clears the compiled part

  // Compiles for `table` unless compiled for it already (under the query's mutex).
  // False when the text does not compile; the error has been reported through `db`.
  bool compileFor(dbTableDescriptor* table, dbDatabase* db);

  dbQueryElement* elements = nullptr;
  dbQueryElement** nextElement = &elements;
  bool lastWasText = false;
  int32_t positionBase = 0;  // the compiler's first column number
  dbMutex mutex;
};

// The compiler: text of `query` to a tree for `table`. REQUIRES: query.mutex held.
// Errors are reported with code 1 through `db` (message, position) and give false.
bool dbCompile(dbQuery& query, dbTableDescriptor* table, dbDatabase* db);

// A readable dump of a compiled tree, one node per line, for tests and debugging.
std::string dbDumpExpression(const dbExprNode* tree);
