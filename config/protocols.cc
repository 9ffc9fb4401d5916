#include "config/protocols.h"

namespace tw {

namespace {

constexpr ProtocolNames kNames[] = {
    {"", "", "", ""},
    {"Http", "HTTP", "HTTP", "HTTP"},
    {"Ftp", "FTP", "FTP", "FTP"},
    {"Pop3", "Pop3", "Pop3", "POP3"},
    {"Smtp", "Smtp", "Smtp", "SMTP"},
    {"Socks", "Socks", "SOCKS", "SOCKS"},
};

}  // namespace

const ProtocolNames& NamesOf(std::int32_t id) {
  return kNames[ValidProtocol(id) ? id : 0];
}

}  // namespace tw
