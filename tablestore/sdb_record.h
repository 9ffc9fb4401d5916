// Records on disk: the packed form (u16 total length, then the fields, texts as a u16 count
// and their characters) and its conversion to and from the fixed form held in memory.
#pragma once

#include <cstdint>
#include <vector>

#include "tablestore/sdb_layout.h"

namespace sdb {

// Packs a fixed-form record. Fails when the packed record would not fit its u16 length
// (possible only for tables with very long text fields).
bool PackRecord(const Layout& layout, const uint8_t* fixed, std::vector<uint8_t>* packed);

// Unpacks bytes (length bytes read from the file, the u16 length included) into fixed
// (record_length bytes, cleared first). Fails on a stored length or text count that runs
// past the bytes or past a field.
bool UnpackRecord(const Layout& layout, const uint8_t* bytes, int length, uint8_t* fixed);

}  // namespace sdb
