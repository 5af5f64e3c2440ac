#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace {

using qx::plat::Sha256;

std::string Hex(const std::uint8_t* digest) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < Sha256::kDigestSize; ++i) {
    out += kDigits[digest[i] >> 4];
    out += kDigits[digest[i] & 15];
  }
  return out;
}

const std::uint8_t* Bytes(const std::string& text) {
  return reinterpret_cast<const std::uint8_t*>(text.data());
}

// The digest of `data` fed in pieces that end at each of `cuts` (ascending).
std::string DigestInPieces(const std::vector<std::uint8_t>& data, const std::vector<std::size_t>& cuts) {
  Sha256 hash;
  std::size_t from = 0;
  for (const std::size_t cut : cuts) {
    hash.Update(data.data() + from, cut - from);
    from = cut;
  }
  hash.Update(data.data() + from, data.size() - from);
  std::uint8_t digest[Sha256::kDigestSize];
  EXPECT_TRUE(hash.Final(digest));
  return Hex(digest);
}

TEST(Sha256, GivesTheStandardDigests) {
  struct Case {
    std::string input;
    const char* digest;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
  };
  for (const Case& c : cases) {
    Sha256 hash;
    EXPECT_TRUE(hash.ok());
    hash.Update(Bytes(c.input), c.input.size());
    std::uint8_t digest[Sha256::kDigestSize];
    ASSERT_TRUE(hash.Final(digest)) << c.input;
    EXPECT_EQ(c.digest, Hex(digest)) << '"' << c.input << '"';
  }
}

TEST(Sha256, OneMillionAsInUnevenPieces) {
  const std::vector<std::uint8_t> data(1'000'000, 'a');
  // Pieces of 1, 2, 3... bytes, then whatever is left: most of them end
  // inside a 64-byte block, and some of them span several.
  std::vector<std::size_t> cuts;
  for (std::size_t step = 1, at = 0; at + step < data.size(); ++step) cuts.push_back(at += step);
  EXPECT_EQ("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
            DigestInPieces(data, cuts));
}

TEST(Sha256, EverySplitOfTheInputGivesTheSameDigest) {
  std::mt19937 random(1234);
  std::vector<std::uint8_t> data(300);
  for (auto& b : data) b = static_cast<std::uint8_t>(random());
  const std::string whole = DigestInPieces(data, {});
  for (std::size_t cut = 0; cut <= data.size(); ++cut) {
    ASSERT_EQ(whole, DigestInPieces(data, {cut})) << "cut at " << cut;
  }
  for (int trial = 0; trial < 200; ++trial) {
    std::vector<std::size_t> cuts;
    for (std::size_t at = 0; at < data.size();) {
      at += random() % 130;  // empty pieces too
      if (at > data.size()) at = data.size();
      cuts.push_back(at);
    }
    ASSERT_EQ(whole, DigestInPieces(data, cuts)) << "trial " << trial;
  }
  // A different byte anywhere changes the digest.
  data[150] ^= 1;
  EXPECT_NE(whole, DigestInPieces(data, {}));
}

TEST(Sha256, FinalEndsTheHash) {
  Sha256 hash;
  hash.Update(Bytes("abc"), 3);
  std::uint8_t digest[Sha256::kDigestSize];
  ASSERT_TRUE(hash.Final(digest));
  EXPECT_FALSE(hash.ok());
  hash.Update(Bytes("abc"), 3);  // ignored
  std::uint8_t again[Sha256::kDigestSize];
  std::fill(std::begin(again), std::end(again), 0xAA);
  EXPECT_FALSE(hash.Final(again));
  EXPECT_EQ(std::string(64, '0'), Hex(again)) << "no digest is zeros, never a stale one";
  Sha256 unused;  // destroyed without Final
  unused.Update(Bytes("x"), 1);
  Sha256 empty;
  empty.Update(nullptr, 0);
  ASSERT_TRUE(empty.Final(digest));
  EXPECT_EQ("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", Hex(digest));
}

TEST(Sha256, HashesOnManyThreadsAtOnce) {
  // Each thread its own hash, all started together: the Windows provider is
  // shared by every hash of the process and first opened by one of them.
  std::vector<std::string> results(8);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < results.size(); ++t) {
    threads.emplace_back([&results, t] {
      for (int round = 0; round < 50; ++round) {
        Sha256 hash;
        hash.Update(Bytes("abc"), 3);
        std::uint8_t digest[Sha256::kDigestSize];
        if (!hash.Final(digest)) {
          results[t] = "failed";
          return;
        }
        results[t] = Hex(digest);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& result : results) {
    EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", result);
  }
}

}  // namespace
