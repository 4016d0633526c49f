#include "dizedir/vk_region.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::u16string Text(const char16_t* t) { return std::u16string(t); }

CVkRegion Region(const char16_t* name, uint32_t port) {
  return CVkRegion(name, u"10.0.0.1/patch", port, u"gw", 7000, u" x", u"main");
}

TEST(VkRegionList, KeepsOrderAndGivesNullPastTheEnd) {
  CVkRegionList list;
  EXPECT_EQ(list.GetAt(0), nullptr);
  // More than the first allocation, so growth keeps the order too.
  for (uint32_t i = 0; i < 20; ++i) {
    std::u16string name = u"r" + std::u16string(1, char16_t(u'a' + i));
    list.AddRegion(Region(name.c_str(), i));
  }
  ASSERT_EQ(list.GetCount(), 20u);
  for (uint32_t i = 0; i < 20; ++i) {
    ASSERT_NE(list.GetAt(i), nullptr);
    EXPECT_EQ(list.GetAt(i)->port, i);
    EXPECT_EQ(list.GetAt(i)->name[1], char16_t(u'a' + i));
  }
  EXPECT_EQ(list.GetAt(20), nullptr);
  EXPECT_EQ(list.GetAt(~0u), nullptr);
}

TEST(VkRegionList, CopiesAreIndependentOfTheSourceAndItsBuffers) {
  char16_t name[] = u"north";
  CVkRegion record(name, u"host", 80, nullptr, 0, nullptr, u"");
  name[0] = u'X';  // the caller reuses its buffer right after
  CVkRegionList list;
  list.AddRegion(record);
  record.port = 1;

  CVkRegionList copy(list);
  list.RemoveAll();
  list.AddRegion(Region(u"other", 9));
  ASSERT_EQ(copy.GetCount(), 1u);
  const CVkRegion* r = copy.GetAt(0);
  EXPECT_EQ(Text(r->name), u"north");
  EXPECT_EQ(Text(r->serverAddress), u"host");
  EXPECT_EQ(r->port, 80u);
  EXPECT_EQ(Text(r->gatewayHost), u"");  // null arguments read as empty
  EXPECT_EQ(Text(r->gatewayRest), u"");

  CVkRegionList assigned;
  assigned = copy;
  const CVkRegionList& itself = assigned;  // assignment to itself keeps the regions
  assigned = itself;
  ASSERT_EQ(assigned.GetCount(), 1u);
  EXPECT_EQ(Text(assigned.GetAt(0)->name), u"north");
}

}  // namespace
