// SHA-256 from OpenSSL's libcrypto, through its digest functions of their
// own (SHA256_Init and the others) rather than the EVP layer: linked
// statically, they bring the digest's code alone (its assembly, which picks
// the processor's SHA instructions where there are any), where EVP would
// bring the library's whole provider machinery, and loading the shared
// library would cost every run about a millisecond at start-up, hashing or
// not.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <cstring>
#include <new>

#include "platform/platform.h"

namespace qx::plat {

namespace {

SHA256_CTX* Context(void* context) { return static_cast<SHA256_CTX*>(context); }

}  // namespace

Sha256::Sha256() {
  auto* context = new (std::nothrow) SHA256_CTX;
  if (context == nullptr) return;
  if (SHA256_Init(context) != 1) {
    delete context;
    return;
  }
  context_ = context;
}

Sha256::~Sha256() { delete Context(context_); }

void Sha256::Update(const std::uint8_t* data, std::size_t count) {
  if (context_ == nullptr || count == 0) return;
  if (SHA256_Update(Context(context_), data, count) != 1) {
    delete Context(context_);
    context_ = nullptr;
  }
}

bool Sha256::Final(std::uint8_t out[kDigestSize]) {
  std::memset(out, 0, kDigestSize);
  if (context_ == nullptr) return false;
  unsigned char digest[SHA256_DIGEST_LENGTH];
  const bool done = SHA256_Final(digest, Context(context_)) == 1;
  delete Context(context_);
  context_ = nullptr;
  if (!done) return false;
  static_assert(SHA256_DIGEST_LENGTH == kDigestSize);
  std::memcpy(out, digest, kDigestSize);
  return true;
}

}  // namespace qx::plat
