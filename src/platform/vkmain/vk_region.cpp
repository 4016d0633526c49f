// The region-list library. Host and plug-in both link this module, so every
// allocation it makes is freed by the same code whichever side frees it.

#include "dizedir/vk_region.h"

#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

size_t Length(const char16_t* text) {
  size_t n = 0;
  if (text != nullptr) {
    while (text[n] != 0) ++n;
  }
  return n;
}

// Records promise non-null members, so a null argument becomes "".
char16_t* Duplicate(const char16_t* text) {
  const size_t n = Length(text);
  char16_t* copy = new char16_t[n + 1];
  if (n > 0) std::memcpy(copy, text, n * sizeof(char16_t));
  copy[n] = 0;
  return copy;
}

}  // namespace

CVkRegion::CVkRegion(const char16_t* name_in, const char16_t* server_address,
                     uint32_t port_in, const char16_t* gateway_host,
                     uint32_t gateway_port, const char16_t* gateway_rest,
                     const char16_t* main_region)
    : name(Duplicate(name_in)),
      serverAddress(Duplicate(server_address)),
      port(port_in),
      gatewayHost(Duplicate(gateway_host)),
      gatewayPort(gateway_port),
      gatewayRest(Duplicate(gateway_rest)),
      mainRegion(Duplicate(main_region)) {}

CVkRegion::CVkRegion(const CVkRegion& other)
    : CVkRegion(other.name, other.serverAddress, other.port, other.gatewayHost,
                other.gatewayPort, other.gatewayRest, other.mainRegion) {}

CVkRegion& CVkRegion::operator=(const CVkRegion& other) {
  if (this != &other) {
    CVkRegion copy(other);
    std::swap(name, copy.name);
    std::swap(serverAddress, copy.serverAddress);
    std::swap(port, copy.port);
    std::swap(gatewayHost, copy.gatewayHost);
    std::swap(gatewayPort, copy.gatewayPort);
    std::swap(gatewayRest, copy.gatewayRest);
    std::swap(mainRegion, copy.mainRegion);
  }
  return *this;
}

CVkRegion::~CVkRegion() {
  delete[] name;
  delete[] serverAddress;
  delete[] gatewayHost;
  delete[] gatewayRest;
  delete[] mainRegion;
}

CVkRegionList::CVkRegionList() : items_(nullptr), count_(0), capacity_(0) {}

CVkRegionList::CVkRegionList(const CVkRegionList& other) : CVkRegionList() {
  for (unsigned i = 0; i < other.count_; ++i) AddRegion(*other.items_[i]);
}

CVkRegionList& CVkRegionList::operator=(const CVkRegionList& other) {
  if (this != &other) {
    CVkRegionList copy(other);
    std::swap(items_, copy.items_);
    std::swap(count_, copy.count_);
    std::swap(capacity_, copy.capacity_);
  }
  return *this;
}

CVkRegionList::~CVkRegionList() {
  RemoveAll();
  delete[] items_;
}

void CVkRegionList::AddRegion(const CVkRegion& region) {
  if (count_ == capacity_) {
    const unsigned grown = capacity_ == 0 ? 8 : capacity_ * 2;
    CVkRegion** items = new CVkRegion*[grown];
    for (unsigned i = 0; i < count_; ++i) items[i] = items_[i];
    delete[] items_;
    items_ = items;
    capacity_ = grown;
  }
  items_[count_] = new CVkRegion(region);
  ++count_;
}

CVkRegion* CVkRegionList::GetAt(unsigned index) const {
  return index < count_ ? items_[index] : nullptr;
}

unsigned CVkRegionList::GetCount() const { return count_; }

void CVkRegionList::RemoveAll() {
  for (unsigned i = 0; i < count_; ++i) delete items_[i];
  count_ = 0;
}
