// fuzz_store_object: any bytes as a content-store object, and as a content.
// As an object, with a declared size taken from the input: the in-memory
// decoder, the file decoder and the check must agree on the outcome, a
// refused object must leave neither target nor temporary, and one that
// decodes must hold exactly the size and hash asked for. As a content: it
// must encode, in memory and through the streaming writer, to an object at
// most one byte longer that decodes back to it.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "lists/content_store.h"
#include "memory_env.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dizedir;
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  const std::string encoded = EncodeStoreObject(input);
  if (encoded.size() > input.size() + 1) __builtin_trap();
  std::string content;
  if (!DecodeStoreObject(encoded, HashBytes(input), input.size(), &content).ok() ||
      content != input) {
    __builtin_trap();
  }

  {
    // The streaming writer, fed in pieces of sizes the input chooses, makes
    // an object just as good and leaves nothing else behind.
    MemoryEnv env;
    StoreObjectWriter writer(&env, "stored");
    size_t at = 0;
    for (size_t k = 0; at < input.size(); ++k) {
      const size_t n = 1 + static_cast<uint8_t>(input[k % input.size()]) * 7;
      if (!writer.Append(input.substr(at, n)).ok()) __builtin_trap();
      at += std::min(n, input.size() - at);
    }
    if (!writer.Finish(HashBytes(input), input.size()).ok()) __builtin_trap();
    if (env.files.size() != 1 || env.files["stored"].size() > input.size() + 1 ||
        !DecodeStoreObject(env.files["stored"], HashBytes(input), input.size(), &content).ok()) {
      __builtin_trap();
    }
  }

  if (size < 2) return 0;
  // Sizes up to 64 KiB, often wrong, sometimes right.
  const uint64_t declared = data[0] | uint64_t{data[1]} << 8;
  const std::string object(input.substr(2));
  // The hash of the object's own raw payload, so a well-formed raw object
  // can pass.
  const ContentHash hash = HashBytes(object.empty() ? object : object.substr(1));
  const Status in_memory = DecodeStoreObject(object, hash, declared, &content);
  if (in_memory.ok() && (content.size() != declared || HashBytes(content) != hash)) {
    __builtin_trap();
  }

  MemoryEnv env;
  env.files["object"] = object;
  const Status checked = CheckStoreObject(&env, "object", hash, declared);
  const Status to_file = DecodeStoreObjectToFile(&env, "object", hash, declared, "target");
  if (checked.code() != in_memory.code() || to_file.code() != in_memory.code()) {
    __builtin_trap();
  }
  if (env.files.count("target.dztmp") != 0) __builtin_trap();
  if (to_file.ok() ? env.files["target"] != content : env.files.count("target") != 0) {
    __builtin_trap();
  }
  return 0;
}
