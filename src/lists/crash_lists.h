// The two lists the crash test's writer alternates between, shared by the
// writer program and the test that checks what it left. They differ in
// length, so a file cut short at any point matches neither.
//
// Thread-safety: pure.

#ifndef DIZEDIR_LISTS_CRASH_LISTS_H_
#define DIZEDIR_LISTS_CRASH_LISTS_H_

#include <string>
#include <vector>

#include "lists/version_record.h"

namespace dizedir {

inline std::vector<LocalVersionRecord> CrashTestList(int which) {
  std::vector<LocalVersionRecord> records;
  const int count = which == 0 ? 3 : 40;
  for (int i = 1; i <= count; ++i) {
    LocalVersionRecord record;
    record.stamp = "2011-02-03 04:05:06";
    record.guid = "6F9619FF-8B86-D011-B42D-00C04FC964FF";
    record.number = i;
    record.state = i == 1 ? 1 : 2;
    if (record.state == 2) {
      record.partCount = 4;
      for (int p = 0; p < 4; ++p) {
        record.AddPart("patch" + std::to_string(i) + "_" + std::to_string(p));
      }
    }
    records.push_back(std::move(record));
  }
  return records;
}

}  // namespace dizedir

#endif  // DIZEDIR_LISTS_CRASH_LISTS_H_
