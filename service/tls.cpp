// Certificate authority, server certificate and server context: see tls.h.
#include "service/tls.h"

#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdio>

#include "util/logs.h"

static const char TLS_CA_CERT[] = "ca.pem";
static const char TLS_CA_KEY[] = "ca.key";
static const char TLS_SERVER_CERT[] = "server.pem";
static const char TLS_SERVER_KEY[] = "server.key";
static const char TLS_SERVER_NAMES[] = "IP:127.0.0.1,IP:::1,DNS:localhost";

enum : long {
  TLS_CA_DAYS = 3650,
  TLS_SERVER_DAYS = 825,
};

static std::string path_in(const std::string &dir, const char *name) { return dir + "/" + name; }

static void log_ssl_errors(const char *what) {
  unsigned long e = ERR_get_error();
  char text[256] = "";
  if (e) ERR_error_string_n(e, text, sizeof text);
  LOGE("%s: %s", what, text);
  ERR_clear_error();
}

static X509 *read_cert(const std::string &path) {
  FILE *f = fopen(path.c_str(), "r");
  if (!f) return nullptr;
  X509 *x = PEM_read_X509(f, nullptr, nullptr, nullptr);
  fclose(f);
  return x;
}

static EVP_PKEY *read_key(const std::string &path) {
  FILE *f = fopen(path.c_str(), "r");
  if (!f) return nullptr;
  EVP_PKEY *k = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
  fclose(f);
  return k;
}

// Writes through a temporary name so a crash never leaves half a file
// under the final name; keys are readable by the owner only.
static int write_pem(const std::string &path, X509 *cert, EVP_PKEY *key) {
  std::string tmp = path + ".tmp";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, key ? 0600 : 0644);
  if (fd < 0) return -1;
  FILE *f = fdopen(fd, "w");
  if (!f) {
    ::close(fd);
    return -1;
  }
  int ok = cert ? PEM_write_X509(f, cert) : PEM_write_PrivateKey(f, key, nullptr, nullptr, 0,
                                                                  nullptr, nullptr);
  if (fclose(f) != 0) ok = 0;
  if (ok != 1 || rename(tmp.c_str(), path.c_str()) != 0) {
    unlink(tmp.c_str());
    return -1;
  }
  return 0;
}

static int add_ext(X509 *x, X509V3_CTX *ctx, int nid, const char *value) {
  X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, ctx, nid, value);
  if (!ext) return -1;
  int ok = X509_add_ext(x, ext, -1);
  X509_EXTENSION_free(ext);
  return ok == 1 ? 0 : -1;
}

// A certificate for `key`, signed by `issuer_key`; `issuer` null makes it
// self-signed.
static X509 *make_cert(EVP_PKEY *key, X509 *issuer, EVP_PKEY *issuer_key, const char *cn,
                       bool ca) {
  X509 *x = X509_new();
  BIGNUM *bn = BN_new();
  bool ok = x && bn && X509_set_version(x, X509_VERSION_3) == 1 &&
            BN_rand(bn, 63, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1 &&
            BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(x)) != nullptr &&
            X509_gmtime_adj(X509_getm_notBefore(x), -3600) != nullptr &&
            X509_gmtime_adj(X509_getm_notAfter(x),
                            (ca ? TLS_CA_DAYS : TLS_SERVER_DAYS) * 86400L) != nullptr &&
            X509_set_pubkey(x, key) == 1;
  BN_free(bn);
  if (ok) {
    X509_NAME *name = X509_get_subject_name(x);
    ok = X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, (const unsigned char *)cn, -1, -1,
                                    0) == 1 &&
         X509_set_issuer_name(x, issuer ? X509_get_subject_name(issuer) : name) == 1;
  }
  if (ok) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer ? issuer : x, x, nullptr, nullptr, 0);
    ok = add_ext(x, &ctx, NID_basic_constraints, ca ? "critical,CA:TRUE" : "critical,CA:FALSE") ==
             0 &&
         add_ext(x, &ctx, NID_key_usage,
                 ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature") == 0 &&
         add_ext(x, &ctx, NID_subject_key_identifier, "hash") == 0;
    if (ok && !ca)
      ok = add_ext(x, &ctx, NID_authority_key_identifier, "keyid:always") == 0 &&
           add_ext(x, &ctx, NID_ext_key_usage, "serverAuth") == 0 &&
           add_ext(x, &ctx, NID_subject_alt_name, TLS_SERVER_NAMES) == 0;
  }
  if (ok) ok = X509_sign(x, issuer_key, EVP_sha256()) > 0;
  if (!ok) {
    log_ssl_errors("certificate creation failed");
    X509_free(x);
    return nullptr;
  }
  return x;
}

static bool still_valid(X509 *x) { return X509_cmp_current_time(X509_get0_notAfter(x)) > 0; }

int tls_prepare_files(const std::string &dir, bool *created) {
  *created = false;
  X509 *ca = read_cert(path_in(dir, TLS_CA_CERT));
  EVP_PKEY *ca_key = read_key(path_in(dir, TLS_CA_KEY));
  bool new_ca = false;
  int rc = -1;
  X509 *server = nullptr;
  EVP_PKEY *server_key = nullptr;
  do {
    if (!ca || !ca_key || !still_valid(ca)) {
      X509_free(ca);
      EVP_PKEY_free(ca_key);
      ca_key = EVP_EC_gen("P-256");
      ca = ca_key ? make_cert(ca_key, nullptr, ca_key, "zalvio stand-in service CA", true)
                  : nullptr;
      if (!ca || write_pem(path_in(dir, TLS_CA_KEY), nullptr, ca_key) != 0 ||
          write_pem(path_in(dir, TLS_CA_CERT), ca, nullptr) != 0)
        break;
      new_ca = true;
    }
    server = read_cert(path_in(dir, TLS_SERVER_CERT));
    server_key = read_key(path_in(dir, TLS_SERVER_KEY));
    if (new_ca || !server || !server_key || !still_valid(server)) {
      X509_free(server);
      EVP_PKEY_free(server_key);
      server_key = EVP_EC_gen("P-256");
      server = server_key ? make_cert(server_key, ca, ca_key, "localhost", false) : nullptr;
      if (!server || write_pem(path_in(dir, TLS_SERVER_KEY), nullptr, server_key) != 0 ||
          write_pem(path_in(dir, TLS_SERVER_CERT), server, nullptr) != 0)
        break;
      *created = true;
    }
    rc = 0;
  } while (false);
  if (rc != 0) LOGE("cannot prepare certificates in %s", dir.c_str());
  X509_free(ca);
  EVP_PKEY_free(ca_key);
  X509_free(server);
  EVP_PKEY_free(server_key);
  return rc;
}

SSL_CTX *tls_server_context(const std::string &dir) {
  SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
  if (!ctx) {
    log_ssl_errors("SSL_CTX_new");
    return nullptr;
  }
  static const unsigned char SESSION_CONTEXT[] = "zalvio-service";
  bool ok = SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) == 1 &&
            SSL_CTX_use_certificate_chain_file(ctx, path_in(dir, TLS_SERVER_CERT).c_str()) == 1 &&
            SSL_CTX_use_PrivateKey_file(ctx, path_in(dir, TLS_SERVER_KEY).c_str(),
                                        SSL_FILETYPE_PEM) == 1 &&
            SSL_CTX_check_private_key(ctx) == 1 &&
            SSL_CTX_set_session_id_context(ctx, SESSION_CONTEXT, sizeof SESSION_CONTEXT - 1) == 1;
  if (!ok) {
    log_ssl_errors("server context");
    SSL_CTX_free(ctx);
    return nullptr;
  }
  // Writes continue where a partial one stopped, from a buffer that may
  // have grown meanwhile; idle connections give their record buffers back.
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                            SSL_MODE_RELEASE_BUFFERS);
  // Resumption rides on session tickets, which carry the session with them;
  // a server-side cache would only cost a sweep of it every 255 handshakes.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  // One resumption ticket per handshake is all a client keeps.
  SSL_CTX_set_num_tickets(ctx, 1);
  return ctx;
}
