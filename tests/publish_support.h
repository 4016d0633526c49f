// Test support for the publisher: client trees described as values (plain
// files and packs of entries), written to disk and read back in the same
// form, and a patch applied the way a client applies it: each item
// extracted in archive order and handed at once to the client's own item
// handlers. Comparing ReadTree of an updated client with ReadTree of the
// newest tree is the check that a patch is right.
//
// Thread-safety: plain functions; one tree per caller.

#ifndef DIZEDIR_TESTS_PUBLISH_SUPPORT_H_
#define DIZEDIR_TESTS_PUBLISH_SUPPORT_H_

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <utility>

#include "platform/env.h"
#include "platform/status.h"

namespace dizedir::publish_test {

struct PackEntry {
  std::string data;
  bool compressed = true;
  bool operator==(const PackEntry&) const = default;
};

struct Tree {
  // Relative paths with '/'.
  std::map<std::string, std::string> files;
  std::map<std::string, std::map<uint32_t, PackEntry>> packs;
  bool operator==(const Tree&) const = default;
};

// Writes every file and pack under root (created as needed).
void WriteTree(const std::string& root, const Tree& tree);
// Every .pac under qmz/fodder/ as a pack, every other file by its bytes;
// the client's curver.bin is left out.
Tree ReadTree(const std::string& root);
std::string DescribeDifference(const Tree& got, const Tree& want);

// Random client trees and the versions that follow them, the same for the
// same seed: plain files in nested and non-ASCII directories, packs under
// qmz/fodder/ with raw and compressed entries, and versions that change,
// add, remove and move them.
class TreeMaker {
 public:
  explicit TreeMaker(uint32_t seed) : random_(seed) {}

  Tree First();
  // The next version: files changed, added and removed; entries changed,
  // added, removed and moved between packs.
  Tree Next(const Tree& previous);
  // A random number in [low, high], from the same sequence.
  int Between(int low, int high);

 private:
  std::string NewName();
  uint32_t NewId();
  std::string Bytes();
  PackEntry Entry();

  std::mt19937 random_;
  int next_name_ = 0;
  uint32_t next_id_ = 0;
};

// client_dir ends with '/'.
Status ApplyPatchLikeClient(Env* env, const std::string& client_dir,
                            const std::string& zip_path);

}  // namespace dizedir::publish_test

#endif  // DIZEDIR_TESTS_PUBLISH_SUPPORT_H_
