// The admin channel: one command per line on the Unix socket "admin.sock"
// in the data directory, one reply line per command, starting with "ok" or
// "error". Tests use it to steer the service and to ask what it saw;
// `zalvio-service admin --data DIR COMMAND...` sends one command by hand.
// The command list is in service/README.md and in the reply to "help".
//
// Arguments are key=value words. Numbers take decimal or 0x hex. A frame
// body is hex=HEX, or text=... which takes the rest of the line. Commands
// that act on connections take uid=N or conn=ID; without either they act on
// every connection.
#pragma once

#include <string>

class Server;

// Runs one command line and returns the reply line (without newline).
std::string admin_execute(Server *s, const std::string &line);
