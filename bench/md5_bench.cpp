// MD5 throughput on 64 MiB against OpenSSL's EVP MD5 in the same process,
// printed as a ratio (ours / OpenSSL; the goal is at least 0.9).

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "codec/md5.h"

namespace {

constexpr size_t kSize = size_t{64} << 20;
constexpr int kRounds = 7;

template <typename F>
double BestSeconds(F&& run) {
  double best = 1e9;
  for (int i = 0; i < kRounds; ++i) {
    const auto start = std::chrono::steady_clock::now();
    run();
    const std::chrono::duration<double> took =
        std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  return best;
}

std::string OpenSslMd5Hex(const std::vector<unsigned char>& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  EVP_DigestInit_ex(context, EVP_md5(), nullptr);
  EVP_DigestUpdate(context, data.data(), data.size());
  EVP_DigestFinal_ex(context, digest, &length);
  EVP_MD_CTX_free(context);
  std::string hex;
  char two[3];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(two, sizeof(two), "%02x", digest[i]);
    hex += two;
  }
  return hex;
}

}  // namespace

int main() {
  std::vector<unsigned char> data(kSize);
  uint32_t x = 1;
  for (auto& b : data) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<unsigned char>(x >> 24);
  }

  std::string ours, theirs;
  const double ours_s = BestSeconds([&] { ours = dizedir::Md5Hex(data.data(), data.size()); });
  const double theirs_s = BestSeconds([&] { theirs = OpenSslMd5Hex(data); });
  if (ours != theirs) {
    std::printf("digest mismatch: %s vs %s\n", ours.c_str(), theirs.c_str());
    return 1;
  }
  const double mib = static_cast<double>(kSize) / (1 << 20);
  std::printf("Md5Hex        %8.1f MiB/s\n", mib / ours_s);
  std::printf("OpenSSL MD5   %8.1f MiB/s\n", mib / theirs_s);
  std::printf("ratio (Md5Hex / OpenSSL throughput): %.3f (goal >= 0.9)\n",
              theirs_s / ours_s);
  return 0;
}
