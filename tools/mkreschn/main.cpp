// mkreschn: checks the text table of the string library and writes the
// resource script that windres turns into ResChn.dll.
//
//   mkreschn TABLE.txt OUTPUT.rc

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "string_source.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: mkreschn TABLE.txt OUTPUT.rc\n";
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::cerr << argv[1] << ": cannot read\n";
    return 1;
  }
  std::ostringstream table;
  table << in.rdbuf();
  mkreschn::StringSource strings;
  std::string error;
  if (!mkreschn::ParseStringSource(table.str(), &strings, &error)) {
    std::cerr << argv[1] << ": " << error << "\n";
    return 1;
  }
  const std::string script = mkreschn::WriteResourceScript(strings);
  // Written beside and renamed, so a failed run never leaves a script that
  // the build would take for current.
  const std::string temp = std::string(argv[2]) + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << script;
    out.close();
    if (!out) {
      std::cerr << temp << ": cannot write\n";
      std::remove(temp.c_str());
      return 1;
    }
  }
  if (std::rename(temp.c_str(), argv[2]) != 0) {
    std::cerr << argv[2] << ": cannot write\n";
    std::remove(temp.c_str());
    return 1;
  }
  return 0;
}
