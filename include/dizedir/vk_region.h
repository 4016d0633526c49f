// The region list that the plug-in fills and hands to the host by value.
//
// Both sides link the same shared module (vkmain.so / VkMain.dll), so a list
// made by the plug-in is copied and freed by the same code in the host. The
// layout holds only pointers and integers, so it does not depend on the C++
// library either side was built with.
//
// Thread-safety: none. A list and its records belong to one thread at a time.

#ifndef DIZEDIR_VK_REGION_H_
#define DIZEDIR_VK_REGION_H_

#include <cstdint>

#if defined(_WIN32)
#if defined(DIZEDIR_BUILDING_VKMAIN)
#define DIZEDIR_VKMAIN_API __declspec(dllexport)
#else
#define DIZEDIR_VKMAIN_API __declspec(dllimport)
#endif
#else
#define DIZEDIR_VKMAIN_API __attribute__((visibility("default")))
#endif

// One game region. Every text member is an owned, NUL-terminated UTF-16 copy
// and is never null (an absent text is empty).
class DIZEDIR_VKMAIN_API CVkRegion {
 public:
  CVkRegion(const char16_t* name, const char16_t* server_address,
            uint32_t port, const char16_t* gateway_host, uint32_t gateway_port,
            const char16_t* gateway_rest, const char16_t* main_region);
  CVkRegion(const CVkRegion& other);
  CVkRegion& operator=(const CVkRegion& other);
  ~CVkRegion();

  char16_t* name;
  char16_t* serverAddress;  // host, optionally "/" and a directory
  uint32_t port;
  char16_t* gatewayHost;
  uint32_t gatewayPort;
  char16_t* gatewayRest;  // text after the gateway port, with its space
  char16_t* mainRegion;
};

// Regions in the order they were added.
class DIZEDIR_VKMAIN_API CVkRegionList {
 public:
  CVkRegionList();
  CVkRegionList(const CVkRegionList& other);
  CVkRegionList& operator=(const CVkRegionList& other);
  ~CVkRegionList();

  // Appends a copy.
  void AddRegion(const CVkRegion& region);
  // The record at `index`, counted from 0; null at or past the end. Valid
  // while the list is unchanged.
  CVkRegion* GetAt(unsigned index) const;
  unsigned GetCount() const;
  void RemoveAll();

 private:
  CVkRegion** items_;
  unsigned count_;
  unsigned capacity_;
};

#endif  // DIZEDIR_VK_REGION_H_
