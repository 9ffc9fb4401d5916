#pragma once
// The POP3 proxy's handler. The proxy greets the client itself and waits for
// "USER mailbox#server" (or mailbox#server:port, default 110); it then reaches the server,
// waits for its "+OK" greeting, sends it "USER mailbox" and from then on relays both ways
// unchanged: the server's answer to USER is the client's answer, then the password and all
// mail pass through. There is no proxy login; the guest address rule alone decides, and a
// refused client is told so for every line it sends.
//
// Before USER the proxy answers what mail programs send first: CAPA (listing USER), QUIT,
// and "-ERR" with the form to use for anything else. Lines may arrive split over reads or
// several in one; bytes behind the USER line go to the server after it.
//
// States of the client context:
//   kPop3Reply         (1)   -> the greeting or a reply is being sent; then kPop3AwaitCommand
//   kPop3AwaitCommand  (30)  -> awaiting the client's next command
//   kPop3Connecting    (20)  -> the server's name is looked up or the connect is in progress
//   kPop3AwaitGreeting (31)  -> reading the server's greeting on the destination socket
//   kPop3Closing       (100) -> a last reply is being sent; then closed
//   kPop3Relay         (-1)  -> paired; the relay runs (the destination context too)
#include <cstdint>

#include "engine/core/io_context.h"

namespace tw {

enum Pop3State : int32_t {
  kPop3Reply = 1,
  kPop3Connecting = 20,
  kPop3AwaitCommand = 30,
  kPop3AwaitGreeting = 31,
  kPop3Closing = 100,
  kPop3Relay = -1,
};

// Texts the client sees from the proxy itself.
inline constexpr char kPop3IpNotAllowed[] = "-ERR ip not allowed.\r\n";
inline constexpr char kPop3Capabilities[] = "+OK Capability list follows\r\nUSER\r\n.\r\n";
inline constexpr char kPop3Bye[] = "+OK bye\r\n";
inline constexpr char kPop3UserForm[] =
    "-ERR use USER mailbox#server or USER mailbox#server:port\r\n";
inline constexpr char kPop3LogInFirst[] =
    "-ERR log in first with USER mailbox#server or USER mailbox#server:port\r\n";
inline constexpr char kPop3LineTooLong[] = "-ERR line too long\r\n";
inline constexpr char kPop3DestinationRefused[] = "-ERR destination not allowed.\r\n";
inline constexpr char kPop3DestinationUnreachable[] = "-ERR destination not reachable.\r\n";

void Pop3Handler(IoContext* x, uint64_t key, uint32_t bytes);

}  // namespace tw
