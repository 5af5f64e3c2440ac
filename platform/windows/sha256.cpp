// SHA-256 through the system's CNG (bcrypt.dll, Windows 7 and later, where
// the system keeps each hash object's memory itself).
#include <windows.h>
#include <bcrypt.h>

#include <atomic>
#include <cstring>

#include "platform/platform.h"

namespace qx::plat {

namespace {

bool Succeeded(NTSTATUS status) { return status >= 0; }

// One algorithm provider serves every hash of the process: opening one costs
// far more than a hash of a small image. It stays open until the process
// ends, so no hash can outlive it. An attempt that fails (for lack of
// memory) is made again by the next hash.
std::atomic<BCRYPT_ALG_HANDLE> gProvider{nullptr};

BCRYPT_ALG_HANDLE Provider() {
  BCRYPT_ALG_HANDLE provider = gProvider.load(std::memory_order_acquire);
  if (provider != nullptr) return provider;
  BCRYPT_ALG_HANDLE opened = nullptr;
  if (!Succeeded(BCryptOpenAlgorithmProvider(&opened, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    return nullptr;
  }
  if (gProvider.compare_exchange_strong(provider, opened, std::memory_order_acq_rel)) {
    return opened;
  }
  BCryptCloseAlgorithmProvider(opened, 0);  // another thread's came first
  return provider;
}

// BCryptHashData counts in ULONG: larger pieces go in parts.
constexpr std::size_t kMostPerCall = std::size_t{1} << 30;

}  // namespace

Sha256::Sha256() {
  BCRYPT_ALG_HANDLE provider = Provider();
  if (provider == nullptr) return;
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (!Succeeded(BCryptCreateHash(provider, &hash, nullptr, 0, nullptr, 0, 0))) return;
  context_ = hash;
}

Sha256::~Sha256() {
  if (context_ != nullptr) BCryptDestroyHash(static_cast<BCRYPT_HASH_HANDLE>(context_));
}

void Sha256::Update(const std::uint8_t* data, std::size_t count) {
  while (context_ != nullptr && count > 0) {
    const std::size_t piece = count < kMostPerCall ? count : kMostPerCall;
    // CNG only reads the input; its prototype lacks the const.
    if (!Succeeded(BCryptHashData(static_cast<BCRYPT_HASH_HANDLE>(context_),
                                  const_cast<PUCHAR>(data), static_cast<ULONG>(piece), 0))) {
      BCryptDestroyHash(static_cast<BCRYPT_HASH_HANDLE>(context_));
      context_ = nullptr;
      return;
    }
    data += piece;
    count -= piece;
  }
}

bool Sha256::Final(std::uint8_t out[kDigestSize]) {
  std::memset(out, 0, kDigestSize);
  if (context_ == nullptr) return false;
  UCHAR digest[kDigestSize];
  const bool done = Succeeded(BCryptFinishHash(static_cast<BCRYPT_HASH_HANDLE>(context_), digest,
                                               static_cast<ULONG>(kDigestSize), 0));
  BCryptDestroyHash(static_cast<BCRYPT_HASH_HANDLE>(context_));
  context_ = nullptr;
  if (!done) return false;
  std::memcpy(out, digest, kDigestSize);
  return true;
}

}  // namespace qx::plat
