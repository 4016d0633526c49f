// dizedir-sample: writes the sample game client that scripts/demo.sh
// publishes and updates (sample_client.h), in seconds where a shell loop
// that started dizedir-pack once per pack entry took a minute or more.
//
// A program of its own rather than a command of dizedir-pack or
// dizedir-publish: those are the operator's tools for real client trees,
// and a made-up game does not belong among their commands. Its packs are
// still written by the pack library, so they are what a client reads.

#include <CLI/CLI.hpp>

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/env.h"
#include "tools/sample_client/sample_client.h"

int main(int argc, char** argv) {
  CLI::App app{"Writes four versions of a sample game client as DIR/v1 to DIR/v4."};
  std::string dir;
  uint64_t seed = 1;
  app.add_option("DIR", dir, "Directory to write the versions into")->required();
  app.add_option("--seed", seed, "Seed of the contents; the same seed, the same bytes");
  CLI11_PARSE(app, argc, argv);

  const dizedir::Status s = dizedir::WriteSampleClient(dizedir::Env::Default(), dir, seed);
  if (!s.ok()) {
    std::fprintf(stderr, "dizedir-sample: %s\n", s.ToString().c_str());
    return 1;
  }
  return 0;
}
