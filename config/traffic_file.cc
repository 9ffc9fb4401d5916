#include "config/traffic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "config/data_dir.h"
#include "platform/crc32.h"

namespace tw {

namespace {

constexpr std::size_t kReadChunk = 1 << 20;

void PutU32(std::string* out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void PutU64(std::string* out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

std::uint64_t GetLe(std::string_view in, std::size_t at, int bytes) {
  std::uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) {
    v = (v << 8) | static_cast<unsigned char>(in[at + static_cast<std::size_t>(i)]);
  }
  return v;
}

// A payload's fields, every length checked; false for anything a writer never makes.
bool DecodePayload(std::string_view p, TrafficRecord* record) {
  if (p.size() < 6) return false;
  record->day = static_cast<std::int32_t>(static_cast<std::uint32_t>(GetLe(p, 0, 4)));
  std::uint8_t kind = static_cast<std::uint8_t>(p[4]);
  std::size_t name_length = static_cast<unsigned char>(p[5]);
  if (kind > kLastTrafficKind || 6 + name_length > p.size()) return false;
  record->account.kind = static_cast<TrafficKind>(kind);
  record->account.name.assign(p.substr(6, name_length));
  record->bytes = {};
  std::size_t at = 6 + name_length;
  if ((p.size() - at) % kTrafficProxyEntry != 0) return false;
  for (; at < p.size(); at += kTrafficProxyEntry) {
    std::uint8_t slot = static_cast<std::uint8_t>(p[at]);
    if (slot > kLastProtocol) return false;
    record->bytes.proxy[slot].Add(GetLe(p, at + 1, 8), GetLe(p, at + 9, 8));
  }
  return true;
}

enum class Decoded { kRecord, kNeedMore, kBad };

Decoded DecodeAt(std::string_view buf, std::size_t pos, TrafficRecord* record, std::size_t* used) {
  std::string_view rest = buf.substr(pos);
  if (rest.size() < 4) return Decoded::kNeedMore;
  if (GetLe(rest, 0, 4) != kTrafficRecordMagic) return Decoded::kBad;
  if (rest.size() < kTrafficRecordHeader) return Decoded::kNeedMore;
  std::uint64_t length = GetLe(rest, 4, 4);
  if (length > kMaxTrafficPayload) return Decoded::kBad;
  if (rest.size() < kTrafficRecordHeader + length) return Decoded::kNeedMore;
  std::string_view payload = rest.substr(kTrafficRecordHeader, length);
  if (Crc32(payload) != GetLe(rest, 8, 4) || !DecodePayload(payload, record)) return Decoded::kBad;
  *used = kTrafficRecordHeader + length;
  return Decoded::kRecord;
}

// Where the next record may start after a bad one at pos: the next magic, or the end of what
// is buffered (less the bytes a magic cut by the buffer's end could start with).
std::size_t NextCandidate(std::string_view buf, std::size_t pos, bool at_end) {
  std::string magic;
  PutU32(&magic, kTrafficRecordMagic);
  std::size_t next = buf.find(magic, pos + 1);
  if (next != std::string_view::npos) return next;
  if (at_end) return buf.size();
  return std::max(pos + 1, buf.size() - 3);
}

}  // namespace

std::string EncodeTrafficRecord(const TrafficRecord& record) {
  std::string payload;
  PutU32(&payload, static_cast<std::uint32_t>(record.day));
  payload.push_back(static_cast<char>(record.account.kind));
  std::string_view name = std::string_view(record.account.name).substr(0, kMaxTrafficName);
  payload.push_back(static_cast<char>(name.size()));
  payload.append(name);
  for (int slot = 0; slot <= kLastProtocol; ++slot) {
    const ProxyBytes& bytes = record.bytes.proxy[slot];
    if (bytes.Zero()) continue;
    payload.push_back(static_cast<char>(slot));
    PutU64(&payload, bytes.up);
    PutU64(&payload, bytes.down);
  }
  std::string out;
  PutU32(&out, kTrafficRecordMagic);
  PutU32(&out, static_cast<std::uint32_t>(payload.size()));
  PutU32(&out, Crc32(payload));
  out += payload;
  return out;
}

bool ReadTrafficFile(const std::string& path, const std::function<void(const TrafficRecord&)>& fn,
                     TrafficFileScan* scan, std::string* error) {
  *scan = {};
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd == -1) {
    if (errno == ENOENT) return true;
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  std::string buf;
  std::uint64_t base = 0;  // file offset of buf[0]
  bool at_end = false;
  bool ok = true;
  TrafficRecord record;
  while (!at_end) {
    std::size_t old_size = buf.size();
    std::uint64_t room = kMaxTrafficFileBytes - (base + old_size);
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kReadChunk, room));
    buf.resize(old_size + want);
    ssize_t got = want == 0 ? 0 : read(fd, buf.data() + old_size, want);
    if (got == -1) {
      if (errno == EINTR) {
        buf.resize(old_size);
        continue;
      }
      *error = path + ": " + std::strerror(errno);
      ok = false;
      got = 0;
    }
    buf.resize(old_size + static_cast<std::size_t>(got));
    at_end = got == 0;
    std::size_t pos = 0;
    while (pos < buf.size()) {
      std::size_t used = 0;
      Decoded d = DecodeAt(buf, pos, &record, &used);
      if (d == Decoded::kNeedMore && !at_end) break;
      if (d == Decoded::kRecord) {
        fn(record);
        pos += used;
        ++scan->records;
        scan->soundLength = base + pos;
        continue;
      }
      std::size_t next = NextCandidate(buf, pos, at_end);
      scan->skippedBytes += next - pos;
      pos = next;
    }
    buf.erase(0, pos);
    base += pos;
  }
  scan->fileLength = base + buf.size();
  close(fd);
  return ok;
}

std::string TrafficFilePath(const std::string& dataDir, std::string_view program, int month) {
  char name[64];
  std::snprintf(name, sizeof name, "%.16s-%06d.dat", std::string(program).c_str(), month);
  return DataFilePath(DataFilePath(dataDir, kTrafficDirName), name);
}

bool ParseTrafficFileName(std::string_view name, std::string* program, int* month) {
  constexpr std::string_view kSuffix = ".dat";
  std::size_t dash = name.find('-');
  if (dash == std::string_view::npos || dash == 0 || dash > 16) return false;
  if (name.size() != dash + 1 + 6 + kSuffix.size() || name.substr(dash + 7) != kSuffix) {
    return false;
  }
  for (char c : name.substr(0, dash)) {
    if (c < 'a' || c > 'z') return false;
  }
  int value = 0;
  for (char c : name.substr(dash + 1, 6)) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value % 100 < 1 || value % 100 > 12) return false;
  *program = std::string(name.substr(0, dash));
  *month = value;
  return true;
}

}  // namespace tw
