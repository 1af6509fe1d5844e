// The service's TLS: a private certificate authority and a server
// certificate kept in the data directory, and the server context every
// connection is accepted with.
//
// Files in the data directory (created on first start, reused after):
//   "ca.pem"      the CA certificate, handed to clients as their trust anchor
//   "ca.key"      its private key (mode 0600)
//   "server.pem"  the server certificate, SAN IP:127.0.0.1, IP:::1,
//                 DNS:localhost, signed by the CA
//   "server.key"  its private key (mode 0600)
// Keys are P-256, which keeps a full handshake cheap when hundreds of
// clients connect at once.
#pragma once

#include <openssl/ssl.h>

#include <string>

// Makes sure the four files exist; creates what is missing (a new CA also
// means a new server certificate). Sets *created when anything was made.
// Returns 0 or -1.
int tls_prepare_files(const std::string &dir, bool *created);

// Server context with the directory's certificate and key, session
// resumption through tickets, and buffers released while a connection is idle.
// Returns null on failure.
SSL_CTX *tls_server_context(const std::string &dir);
