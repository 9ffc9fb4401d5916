// How each record type maps onto its table file: file name, fields in definition order with
// type and width, and which field carries key 1. Shared by the table access code and by the
// fresh installation; not for other callers.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "config/account_records.h"

namespace tw {

enum class FieldKind { kId, kNumber, kText };

template <typename R>
struct FieldDef {
  const char* name;
  FieldKind kind;
  int width;  // kText only
  std::int32_t* (*number)(R&);
  std::string* (*text)(R&);
  int read_by_number = -1;  // >= 0: read by this field number instead of by name
};

template <typename R>
struct Schema {
  const char* file_name;
  const char* description;
  std::span<const FieldDef<R>> fields;
  int name_key_field = -1;  // field number of key 1, -1 = no key 1
};

template <typename R>
const Schema<R>& SchemaOf();

}  // namespace tw
