#include "platform/module_strings.h"

#include <vector>

#include "platform/win32/win32_util.h"

namespace dizedir {
namespace {

BOOL CALLBACK CollectBlock(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR param) {
  // String blocks are always named by number: block b holds IDs
  // (b - 1) * 16 to (b - 1) * 16 + 15.
  if (IS_INTRESOURCE(name)) {
    reinterpret_cast<std::vector<uint32_t>*>(param)->push_back(
        static_cast<uint32_t>(reinterpret_cast<ULONG_PTR>(name)));
  }
  return TRUE;
}

}  // namespace

Status ForEachModuleString(
    const std::string& path, size_t max_units,
    const std::function<void(uint32_t id, std::u16string_view text)>& each) {
  HMODULE module = LoadLibraryExW(win32::Widen(path).c_str(), nullptr,
                                  LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr) return win32::ErrorStatus(path, GetLastError());
  std::vector<uint32_t> blocks;
  EnumResourceNamesW(module, MAKEINTRESOURCEW(6) /* RT_STRING */, &CollectBlock,
                     reinterpret_cast<LONG_PTR>(&blocks));
  if (blocks.empty()) {
    FreeLibrary(module);
    return Status::Corruption(path + ": no string table");
  }
  std::wstring buffer(max_units + 1, L'\0');
  for (const uint32_t block : blocks) {
    if (block == 0) continue;
    for (uint32_t slot = 0; slot < 16; ++slot) {
      const uint32_t id = (block - 1) * 16 + slot;
      const int units = LoadStringW(module, id, buffer.data(),
                                    static_cast<int>(buffer.size()));
      if (units <= 0) continue;
      each(id, std::u16string_view(reinterpret_cast<const char16_t*>(buffer.data()),
                                   static_cast<size_t>(units)));
    }
  }
  FreeLibrary(module);
  return Status::OK();
}

}  // namespace dizedir
