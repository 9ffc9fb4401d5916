#pragma once
// The traffic file: one per program and month, "traffic/<program>-YYYYMM.dat" in the data
// directory, so the console and the service writing at once never share a file.
//
// Records follow each other with no file header; every record is whole or ignored:
//   u32 kTrafficRecordMagic, u32 payload length, u32 CRC-32 of the payload, payload
//   payload: i32 day, u8 kind, u8 name length, name,
//            then per proxy with bytes: u8 proxy slot (0..5), u64 up, u64 down
// Numbers are little-endian. Records of the same day and account add up. A writer appends
// records and later replaces the file by a compacted copy (written, synced, renamed), so a
// crash leaves at worst a torn last record, which readers skip and the next append cuts off.
// A damaged record in the middle costs that record only: the reader looks for the next magic.
//
// Free functions; any thread. Every byte read is untrusted: lengths are checked against
// kMaxTrafficPayload and a file is read up to kMaxTrafficFileBytes.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "config/traffic_counts.h"

namespace tw {

constexpr std::uint32_t kTrafficRecordMagic = 0x4B575454;  // "TTWK" on disk
constexpr std::size_t kTrafficRecordHeader = 12;
constexpr std::size_t kTrafficProxyEntry = 17;
constexpr std::size_t kMaxTrafficPayload =
    4 + 1 + 1 + kMaxTrafficName + (kLastProtocol + 1) * kTrafficProxyEntry;
constexpr std::uint64_t kMaxTrafficFileBytes = 256ull * 1024 * 1024;
constexpr char kTrafficDirName[] = "traffic";

struct TrafficRecord {
  int day = 0;
  TrafficAccount account;
  AccountBytes bytes;
};

// The record's bytes as the file holds them (the name cut to kMaxTrafficName).
std::string EncodeTrafficRecord(const TrafficRecord& record);

// What a read found.
struct TrafficFileScan {
  std::uint64_t soundLength = 0;  // end of the last whole record: where the next append goes
  std::uint64_t fileLength = 0;   // bytes in the file (or the cap, when larger)
  std::size_t records = 0;
  std::uint64_t skippedBytes = 0;  // damaged or torn bytes passed over
};

// Calls fn for every whole record of path in file order. A missing file is an empty one
// (true). False with *error when the file cannot be opened or read; what was read before
// stays delivered.
bool ReadTrafficFile(const std::string& path, const std::function<void(const TrafficRecord&)>& fn,
                     TrafficFileScan* scan, std::string* error);

// "<dataDir>/traffic/<program>-YYYYMM.dat" for month = year * 100 + month.
std::string TrafficFilePath(const std::string& dataDir, std::string_view program, int month);

// Parses a file name "<program>-YYYYMM.dat" (program: 1-16 letters a-z); false otherwise.
bool ParseTrafficFileName(std::string_view name, std::string* program, int* month);

}  // namespace tw
