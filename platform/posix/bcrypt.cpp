/*
** bcrypt.cpp - the CNG cryptography calls the logging system makes, over
** the system's libcrypto (OpenSSL): SHA-256 and HMAC-SHA-256 hash objects,
** and random bytes. No primitive is written here: each call hands its work
** to libcrypto.
**
** Handles are heap objects of the caller's: a provider and the hash objects
** made from it are used by one thread at a time (the library's write lock).
**
** libcrypto is set up without its own clean-up at exit, and each call
** checks first that it was not cleaned up (by a host that set it up the
** usual way): a record told at a process's exit is sealed after every other
** exit handler ran, and a call into a cleaned-up libcrypto crashes. Such a
** call fails instead (the record goes out unsealed, and the next writer
** names it).
*/
#include "../platform.h"

#if VEZ_OS_POSIX

/* HMAC_CTX, kept in OpenSSL 3 though its newer EVP_MAC is advised: a keyed object started
   again costs a quarter less through it, and a record's seal is on the write path */
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <new>

namespace {

struct provider {
  bool hmac;
  bool random;
};

struct hash_object {
  bool reusable;
  HMAC_CTX *mac;  /* HMAC */
  EVP_MD_CTX *md; /* a plain digest */
};

/* libcrypto set up (without an exit handler, where it is this call that sets it up) and
   not cleaned up since */
bool usable() {
  static bool prepared = false;
  if (!prepared) {
    prepared = true;
    return OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
  }
  return OPENSSL_init_crypto(0, nullptr) == 1; /* fails once cleaned up */
}

bool same(LPCWSTR a, LPCWSTR b) {
  if (a == nullptr || b == nullptr) return false;
  while (*a != 0 && *a == *b) {
    a++;
    b++;
  }
  return *a == *b;
}

/* SHA-256, fetched once: found anew at each use (as EVP_sha256() has it looked up) it costs
   more than a record's digest itself */
const EVP_MD *sha256() {
  static EVP_MD *md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  return md != nullptr ? md : EVP_sha256();
}

/* the object started again, its key (an HMAC's) kept */
bool restart(hash_object *h) {
  if (h->mac != nullptr) return HMAC_Init_ex(h->mac, nullptr, 0, nullptr, nullptr) == 1;
  return EVP_DigestInit_ex(h->md, sha256(), nullptr) == 1;
}

void destroy(hash_object *h) {
  if (h->mac != nullptr) HMAC_CTX_free(h->mac);
  if (h->md != nullptr) EVP_MD_CTX_free(h->md);
  delete h;
}

} // namespace

NTSTATUS BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE *algorithm, LPCWSTR id, LPCWSTR,
                                     ULONG flags) {
  if (algorithm == nullptr) return STATUS_INVALID_PARAMETER;
  if (!usable()) return STATUS_UNSUCCESSFUL;
  bool sha = same(id, BCRYPT_SHA256_ALGORITHM), rng = same(id, BCRYPT_RNG_ALGORITHM);
  if (!sha && !rng) return STATUS_NOT_SUPPORTED;
  provider *p = new (std::nothrow) provider{sha && (flags & BCRYPT_ALG_HANDLE_HMAC_FLAG), rng};
  if (p == nullptr) return STATUS_NO_MEMORY;
  *algorithm = p;
  return STATUS_SUCCESS;
}

NTSTATUS BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE algorithm, ULONG) {
  if (algorithm == nullptr) return STATUS_INVALID_PARAMETER;
  delete static_cast<provider *>(algorithm);
  return STATUS_SUCCESS;
}

NTSTATUS BCryptCreateHash(BCRYPT_ALG_HANDLE algorithm, BCRYPT_HASH_HANDLE *hash, PUCHAR,
                          ULONG object_length, PUCHAR secret, ULONG secret_length, ULONG flags) {
  provider *p = static_cast<provider *>(algorithm);
  if (p == nullptr || p->random || hash == nullptr || object_length != 0)
    return STATUS_INVALID_PARAMETER;
  if (!usable()) return STATUS_UNSUCCESSFUL;
  hash_object *h =
      new (std::nothrow) hash_object{(flags & BCRYPT_HASH_REUSABLE_FLAG) != 0, nullptr, nullptr};
  if (h == nullptr) return STATUS_NO_MEMORY;
  bool ok;
  if (p->hmac) {
    h->mac = HMAC_CTX_new();
    /* an empty key is a key all the same */
    static unsigned char none[1];
    ok = h->mac != nullptr && HMAC_Init_ex(h->mac, secret != nullptr ? secret : none,
                                           (int)secret_length, sha256(), nullptr) == 1;
  } else {
    h->md = EVP_MD_CTX_new();
    ok = h->md != nullptr && restart(h);
  }
  if (!ok) {
    destroy(h);
    return STATUS_UNSUCCESSFUL;
  }
  *hash = h;
  return STATUS_SUCCESS;
}

NTSTATUS BCryptHashData(BCRYPT_HASH_HANDLE hash, PUCHAR input, ULONG length, ULONG) {
  hash_object *h = static_cast<hash_object *>(hash);
  if (h == nullptr || (input == nullptr && length > 0)) return STATUS_INVALID_PARAMETER;
  if (length == 0) return STATUS_SUCCESS;
  if (!usable()) return STATUS_UNSUCCESSFUL;
  int ok = h->mac != nullptr ? HMAC_Update(h->mac, input, length)
                             : EVP_DigestUpdate(h->md, input, length);
  return ok == 1 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS BCryptFinishHash(BCRYPT_HASH_HANDLE hash, PUCHAR output, ULONG length, ULONG) {
  hash_object *h = static_cast<hash_object *>(hash);
  if (h == nullptr || output == nullptr || length != 32) return STATUS_INVALID_PARAMETER;
  if (!usable()) return STATUS_UNSUCCESSFUL;
  bool ok;
  if (h->mac != nullptr) {
    unsigned int out = 0;
    ok = HMAC_Final(h->mac, output, &out) == 1 && out == length;
  } else {
    unsigned int out = 0;
    ok = EVP_DigestFinal_ex(h->md, output, &out) == 1 && out == length;
  }
  if (ok && h->reusable) ok = restart(h);
  return ok ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS BCryptDestroyHash(BCRYPT_HASH_HANDLE hash) {
  if (hash == nullptr) return STATUS_INVALID_PARAMETER;
  if (usable()) destroy(static_cast<hash_object *>(hash)); /* else left: freeing calls into it */
  return STATUS_SUCCESS;
}

NTSTATUS BCryptGenRandom(BCRYPT_ALG_HANDLE algorithm, PUCHAR buffer, ULONG length, ULONG flags) {
  provider *p = static_cast<provider *>(algorithm);
  bool preferred = (flags & BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0;
  if ((p == nullptr) != preferred || (p != nullptr && !p->random) || buffer == nullptr)
    return STATUS_INVALID_PARAMETER;
  if (!usable()) return STATUS_UNSUCCESSFUL;
  return RAND_bytes(buffer, (int)length) == 1 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

#endif /* VEZ_OS_POSIX */
