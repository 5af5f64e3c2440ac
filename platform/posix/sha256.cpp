// SHA-256 through OpenSSL's EVP interface (libcrypto), which picks the
// processor's SHA instructions where there are any.
#include <openssl/evp.h>

#include <cstring>

#include "platform/platform.h"

namespace qx::plat {

namespace {

EVP_MD_CTX* Context(void* context) { return static_cast<EVP_MD_CTX*>(context); }

}  // namespace

Sha256::Sha256() {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  if (context == nullptr) return;
  if (EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(context);
    return;
  }
  context_ = context;
}

Sha256::~Sha256() { EVP_MD_CTX_free(Context(context_)); }

void Sha256::Update(const std::uint8_t* data, std::size_t count) {
  if (context_ == nullptr || count == 0) return;
  if (EVP_DigestUpdate(Context(context_), data, count) != 1) {
    EVP_MD_CTX_free(Context(context_));
    context_ = nullptr;
  }
}

bool Sha256::Final(std::uint8_t out[kDigestSize]) {
  std::memset(out, 0, kDigestSize);
  if (context_ == nullptr) return false;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  const bool done = EVP_DigestFinal_ex(Context(context_), digest, &length) == 1 &&
                    length == kDigestSize;
  EVP_MD_CTX_free(Context(context_));
  context_ = nullptr;
  if (!done) return false;
  std::memcpy(out, digest, kDigestSize);
  return true;
}

}  // namespace qx::plat
