// MSVC's entry points into the region list, so that a launcher built by
// MSVC links VkMain.dll by the names and conventions its compiler uses for
// include/dizedir/vk_region.h. vkmain.def exports them under MSVC's
// decorated names, beside the GCC names that our own modules import.
//
// Why wrappers and a .def file rather than building this module with clang
// in Microsoft's ABI: the plug-in and dizedir.exe are built by mingw g++
// and import the GCC names (and a module built in Microsoft's ABI would
// need an MSVC runtime we do not ship). One module has to serve both, so it
// is built by g++ and carries both sets of names.
//
// 32-bit g++ already calls members the way MSVC does (`this` in ECX, the
// arguments on the stack, popped by the callee), so the destructors,
// operator=, AddRegion, GetAt, GetCount and RemoveAll are exported under
// their MSVC names as they are. Constructors are the exception: MSVC's
// return `this` in EAX and MSVC code relies on it (`return new
// CVkRegionList(list);` may hand on EAX), while g++'s return nothing. The
// constructors therefore go through these wrappers. They are noexcept
// because an exception cannot unwind through MSVC frames: running out of
// memory ends the process cleanly instead.
//
// Thread-safety: as the classes themselves.

#include <new>

#include "dizedir/vk_region.h"

#define VKMAIN_MSVC_MEMBER extern "C" __attribute__((thiscall))

VKMAIN_MSVC_MEMBER CVkRegion* VkMainMsvcRegion(
    CVkRegion* self, const char16_t* name, const char16_t* server_address, uint32_t port,
    const char16_t* gateway_host, uint32_t gateway_port, const char16_t* gateway_rest,
    const char16_t* main_region) noexcept {
  return new (self) CVkRegion(name, server_address, port, gateway_host, gateway_port,
                              gateway_rest, main_region);
}

VKMAIN_MSVC_MEMBER CVkRegion* VkMainMsvcRegionCopy(CVkRegion* self,
                                                   const CVkRegion* other) noexcept {
  return new (self) CVkRegion(*other);
}

VKMAIN_MSVC_MEMBER CVkRegionList* VkMainMsvcList(CVkRegionList* self) noexcept {
  return new (self) CVkRegionList();
}

VKMAIN_MSVC_MEMBER CVkRegionList* VkMainMsvcListCopy(CVkRegionList* self,
                                                     const CVkRegionList* other) noexcept {
  return new (self) CVkRegionList(*other);
}
