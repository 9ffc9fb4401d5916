#include "config/protocols.h"

namespace tw {

namespace {

constexpr ProtocolNames kNames[] = {
    {"", "", "", "", ""},
    {"Http", "HTTP", "HTTP", "HTTP", "http"},
    {"Ftp", "FTP", "FTP", "FTP", "ftp"},
    {"Pop3", "Pop3", "Pop3", "POP3", "pop3"},
    {"Smtp", "Smtp", "Smtp", "SMTP", "smtp"},
    {"Socks", "Socks", "SOCKS", "SOCKS", "socks"},
};

}  // namespace

const ProtocolNames& NamesOf(std::int32_t id) {
  return kNames[ValidProtocol(id) ? id : 0];
}

}  // namespace tw
