#include "plugin/dizedir_plugin.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>

#include "platform/env.h"
#include "platform/text.h"
#include "plugin/string_table.h"
#include "support/fake_downloader.h"

namespace dizedir {
namespace {

// Holds every task body until the test opens the gate, so the state between
// a start and the task's first report can be observed; can also refuse to
// create threads.
class GatedEnv : public EnvWrapper {
 public:
  GatedEnv() : EnvWrapper(Env::Default()) {}

  Status NewThread(std::function<uint32_t()> body,
                   std::unique_ptr<Thread>* result) override {
    if (refuse_threads) return Status::IOError("no threads today");
    return target()->NewThread(
        [this, body = std::move(body)] {
          std::unique_lock<std::mutex> lock(mu_);
          cv_.wait(lock, [this] { return open_; });
          lock.unlock();
          return body();
        },
        result);
  }
  Status NewReadableFile(const std::string& path,
                         std::unique_ptr<ReadableFile>* result) override {
    if (throw_on_read) throw_on_read();
    return target()->NewReadableFile(path, result);
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mu_);
    open_ = true;
    cv_.notify_all();
  }

  bool refuse_threads = false;
  // Called on every file opened for reading, from the task thread.
  std::function<void()> throw_on_read;

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = false;
};

std::unique_ptr<StringTable> OpenStrings() {
  std::unique_ptr<StringTable> strings;
  EXPECT_TRUE(StringTable::Open(Env::Default(), DIZEDIR_RESCHN_DLL, &strings).ok());
  return strings;
}

struct Poll {
  int result;
  float total, item;
  std::u16string total_text, item_text, status_text;
};

Poll DoPoll(DizedirInterface* plugin, char16_t fill = u'?') {
  char16_t total[256], item[256], status[256];
  for (auto* b : {total, item, status}) {
    std::fill(b, b + 256, fill);
    b[255] = 0;
  }
  Poll p{};
  p.total = -1;
  p.item = -1;
  p.result = plugin->PollStatus(&p.total, &p.item, total, item, status);
  p.total_text = total;
  p.item_text = item;
  p.status_text = status;
  return p;
}

class PluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    strings_ = OpenStrings();
    plugin_ = std::make_unique<DizedirPlugin>(&env_, strings_.get(),
                                              reinterpret_cast<const void*>(&DoPoll),
                                              fake_.module());
  }
  void TearDown() override {
    env_.Open();
    plugin_.reset();
  }

  GatedEnv env_;
  FakeDownloader fake_;
  std::unique_ptr<StringTable> strings_;
  std::unique_ptr<DizedirPlugin> plugin_;
};

TEST_F(PluginTest, FirstPollAfterStartIsRunningWithEmptyTextsAndZeroFractions) {
  ASSERT_TRUE(plugin_->StartServerList());
  Poll p = DoPoll(plugin_.get());
  EXPECT_EQ(p.result, kPollRunning);
  EXPECT_EQ(p.total, 0.0f);
  EXPECT_EQ(p.item, 0.0f);
  EXPECT_EQ(p.status_text, u"");
  EXPECT_EQ(p.total_text, u"");
  // The same task cannot be started twice at once.
  EXPECT_FALSE(plugin_->StartServerList());
  env_.Open();
  CVkRegionList list = plugin_->WaitServerList();
  // No client directory was fixed: the task refuses to start on the root
  // or the current directory.
  p = DoPoll(plugin_.get());
  EXPECT_EQ(p.result, kPollFailed);
  EXPECT_EQ(Utf16ToNarrow(p.status_text),
            strings_->LookupNarrow(241) + strings_->LookupNarrow(kStringNoClientDir));
  // Once the first run has ended, the task may run again.
  EXPECT_TRUE(plugin_->StartServerList());
}

TEST_F(PluginTest, SinkOperationsAsTheHostSeesThem) {
  const std::string prefix = strings_->LookupNarrow(241);
  ASSERT_FALSE(prefix.empty());
  struct Case {
    std::string name;
    std::function<void(DizedirPlugin*)> act;
    int result;
    float total, item;
    std::string status;  // expected status text
    std::string item_text;
    std::string total_text = "";
  };
  const std::string t254(254, 'c'), t255(255, 'a'), t256(256, 'b');
  const std::vector<Case> cases = {
      {"item fraction", [](DizedirPlugin* p) { p->SetItemProgress("i", 1, 4, true); },
       0, 0.0f, 0.25f, "", "i"},
      {"zero total gives zero",
       [](DizedirPlugin* p) {
         p->SetItemProgress("x", 3, 4, true);
         p->SetItemProgress("y", 3, 0, true);
       },
       0, 0.0f, 0.0f, "", "y"},
      {"negative total gives zero",
       [](DizedirPlugin* p) {
         p->SetItemProgress("x", 3, 4, true);
         p->SetItemProgress("y", 3, -2, true);
       },
       0, 0.0f, 0.0f, "", "y"},
      {"flag false changes only the text",
       [](DizedirPlugin* p) {
         p->SetItemProgress("x", 1, 2, true);
         p->SetItemProgress("z", 9, 10, false);
       },
       0, 0.0f, 0.5f, "", "z"},
      {"total fraction", [](DizedirPlugin* p) { p->SetTotalProgress("t", 3, 4, true); },
       0, 0.75f, 0.0f, "", "", "t"},
      // The host reads its last poll as the outcome: no step may stand in it.
      {"finish clears the step texts",
       [](DizedirPlugin* p) {
         p->SetItemProgress("i", 1, 4, true);
         p->SetTotalProgress("t", 3, 4, true);
         p->Finish("over");
       },
       1, 1.0f, 0.25f, "over", ""},
      {"fail clears them too",
       [](DizedirPlugin* p) {
         p->SetItemProgress("i", 1, 4, true);
         p->SetTotalProgress("t", 3, 4, true);
         p->Fail("bad");
       },
       2, 0.75f, 0.25f, prefix + "bad", ""},
      {"a step reported after the end is not shown",
       [](DizedirPlugin* p) {
         p->Finish("over");
         p->SetItemProgress("late", 1, 2, true);
         p->SetTotalProgress("late", 1, 2, true);
       },
       1, 1.0f, 0.0f, "over", ""},
      {"finish", [](DizedirPlugin* p) { p->Finish("over"); }, 1, 1.0f, 0.0f, "over", ""},
      {"fail has the prefix", [](DizedirPlugin* p) { p->Fail("bad"); }, 2, 0.0f, 0.0f,
       prefix + "bad", ""},
      {"failed wins over done",
       [](DizedirPlugin* p) {
         p->Fail("bad");
         p->Finish("fine");
       },
       2, 1.0f, 0.0f, "fine", ""},
      {"255 bytes are copied", [&](DizedirPlugin* p) { p->SetStatusText(t255.c_str()); },
       0, 0.0f, 0.0f, t255, ""},
      {"256 bytes are cut to 255", [&](DizedirPlugin* p) { p->SetStatusText(t256.c_str()); },
       0, 0.0f, 0.0f, t256.substr(0, 255), ""},
      {"a cut never splits a character",
       [&](DizedirPlugin* p) { p->SetStatusText((t254 + "\xc3\xbc").c_str()); }, 0, 0.0f,
       0.0f, t254, ""},
      {"a long failure keeps its prefix and is shown",
       [&](DizedirPlugin* p) { p->Fail(t256.c_str()); }, 2, 0.0f, 0.0f,
       (prefix + t256).substr(0, 255), ""},
      {"long item texts are cut too",
       [&](DizedirPlugin* p) { p->SetItemProgress(t256.c_str(), 1, 2, true); }, 0, 0.0f,
       0.5f, "", t256.substr(0, 255)},
      {"utf-8 arrives as utf-16", [](DizedirPlugin* p) { p->SetStatusText("s\xc3\xbc\xe4\xb8\xad"); },
       0, 0.0f, 0.0f, "s\xc3\xbc\xe4\xb8\xad", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DizedirPlugin plugin(&env_, strings_.get(), nullptr, fake_.module());
    c.act(&plugin);
    Poll p = DoPoll(&plugin);
    EXPECT_EQ(p.result, c.result);
    EXPECT_FLOAT_EQ(p.total, c.total);
    EXPECT_FLOAT_EQ(p.item, c.item);
    EXPECT_EQ(p.status_text, NarrowToUtf16(c.status));
    EXPECT_EQ(p.item_text, NarrowToUtf16(c.item_text));
    EXPECT_EQ(p.total_text, NarrowToUtf16(c.total_text));
  }
}

// An exception on a task thread must neither reach the host nor end the
// process through terminate: the task fails and says why.
TEST_F(PluginTest, AnExceptionInATaskFailsItWithAText) {
  struct Case {
    const char* name;
    std::function<void()> thrower;
    uint32_t string_id;
    std::string detail;
  } cases[] = {
      {"out of memory", [] { throw std::bad_alloc(); }, kStringOutOfMemory, ""},
      {"any other", [] { throw std::runtime_error("boom"); }, kStringUnexpectedError,
       " boom"},
      {"not even an exception", [] { throw 42; }, kStringUnexpectedError, ""},
  };
  env_.Open();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    env_.throw_on_read = c.thrower;
    DizedirPlugin plugin(&env_, strings_.get(), reinterpret_cast<const void*>(&DoPoll),
                         fake_.module());
    ASSERT_TRUE(plugin.InitClientDir());
    ASSERT_TRUE(plugin.StartServerList());
    plugin.WaitServerList();
    const Poll p = DoPoll(&plugin);
    EXPECT_EQ(p.result, kPollFailed);
    EXPECT_EQ(Utf16ToNarrow(p.status_text),
              strings_->LookupNarrow(241) + strings_->LookupNarrow(c.string_id) + c.detail);
  }
  env_.throw_on_read = nullptr;
}

TEST_F(PluginTest, StateBeforeAnyTaskAndInfoRecord) {
  EXPECT_EQ(std::u16string(plugin_->GetUrl()), u"");
  EXPECT_EQ(plugin_->GetPrimaryRegionCount(), 0);
  // No server-list thread: the (empty) list comes back at once.
  EXPECT_EQ(plugin_->WaitServerList().GetCount(), 0u);
  EXPECT_TRUE(plugin_->WaitUpdate());
  EXPECT_TRUE(plugin_->Reserved(12345));
  EXPECT_TRUE(plugin_->ReservedCheck());
  for (int i = 0; i < 2; ++i) {
    PluginInfoRecord info;
    std::memset(&info, 0x5a, sizeof info);
    plugin_->GetPluginInfo(&info);
    EXPECT_EQ(std::u16string(info.moduleName), u"qmz.dll");
    EXPECT_EQ(info.first, -1);
    EXPECT_EQ(info.description[0], 0);
    EXPECT_EQ(info.second, 8);
  }
  plugin_->SetProgressValue(417);
  EXPECT_EQ(plugin_->GetProgressValue(), 417);
}

TEST_F(PluginTest, StartUpdateSetsTheCurrentRegionAndKeepsOldTexts) {
  plugin_->SetStatusText("from before");
  ASSERT_TRUE(plugin_->StartUpdate(3));
  EXPECT_EQ(plugin_->GetCurrentRegion(), 3);
  Poll p = DoPoll(plugin_.get());
  EXPECT_EQ(p.result, kPollRunning);
  EXPECT_EQ(p.status_text, u"from before");
  env_.Open();
  EXPECT_TRUE(plugin_->WaitUpdate());
  EXPECT_EQ(plugin_->GetCurrentRegion(), 3);
}

TEST_F(PluginTest, AThreadThatCannotStartFailsItsTask) {
  env_.refuse_threads = true;
  EXPECT_TRUE(plugin_->StartServerList());
  Poll p = DoPoll(plugin_.get());
  EXPECT_EQ(p.result, kPollFailed);
  const std::string expected =
      strings_->LookupNarrow(241) + strings_->LookupNarrow(kStringThreadFailed);
  EXPECT_EQ(Utf16ToNarrow(p.status_text).substr(0, expected.size()), expected);
  EXPECT_EQ(plugin_->WaitServerList().GetCount(), 0u);  // returns at once
}

TEST_F(PluginTest, StopAndDestructionEndARunningUpdatePromptly) {
  ASSERT_TRUE(plugin_->StartUpdate(0));
  plugin_->SetItemProgress("a step", 1, 2, true);
  // The task is still held at the gate; a stop makes it end as soon as it
  // runs, and destruction joins it.
  EXPECT_TRUE(plugin_->engine()->StopRequested() == false);
  env_.Open();
  EXPECT_TRUE(plugin_->StopUpdate());
  EXPECT_TRUE(plugin_->engine()->StopRequested());
  // Ended without a text of its own, the task leaves no step text either.
  const Poll p = DoPoll(plugin_.get());
  EXPECT_EQ(p.result, kPollFailed);
  EXPECT_EQ(p.item_text, u"");
  plugin_.reset();
}

// Slot 10 destroys the object as the host asks. Destruction, however it
// comes, clears the module's remembered pointer only while that names this
// object: a later stop must neither destroy it again nor forget another.
TEST_F(PluginTest, Slot10DestroysAndForgetsOnlyItself) {
  DizedirPlugin* const elsewhere = plugin_.get();
  for (const bool remembered_is_this : {true, false}) {
    auto* plugin = new DizedirPlugin(&env_, strings_.get(),
                                     reinterpret_cast<const void*>(&DoPoll), fake_.module());
    DizedirPlugin* remembered = remembered_is_this ? plugin : elsewhere;
    plugin->ForgetOnDestruction(&remembered);
    DizedirInterface* control = plugin;
#if DIZEDIR_SLOT10_IS_DELETING_MEMBER
    // As a launcher's `delete` calls it: bit 0 frees, `this` comes back.
    EXPECT_EQ(control->DeletingDestructor(1), static_cast<void*>(plugin));
#else
    control->Dispose();
#endif
    EXPECT_EQ(remembered, remembered_is_this ? nullptr : elsewhere) << remembered_is_this;
  }
}

#if DIZEDIR_SLOT10_IS_DELETING_MEMBER
// Without bit 0, MSVC's deleting destructor destroys the object and leaves
// its memory to the caller: here storage that no heap owns.
TEST_F(PluginTest, DeletingDestructorWithoutBit0KeepsTheMemory) {
  alignas(DizedirPlugin) static unsigned char storage[sizeof(DizedirPlugin)];
  auto* plugin = new (storage) DizedirPlugin(&env_, strings_.get(),
                                             reinterpret_cast<const void*>(&DoPoll),
                                             fake_.module());
  DizedirPlugin* remembered = plugin;
  plugin->ForgetOnDestruction(&remembered);
  DizedirInterface* control = plugin;
  EXPECT_EQ(control->DeletingDestructor(0), static_cast<void*>(storage));
  EXPECT_EQ(remembered, nullptr);  // destroyed all the same
}
#endif

TEST_F(PluginTest, InitClientDirUsesTheModuleDirectory) {
  EXPECT_TRUE(plugin_->InitClientDir());
  EXPECT_EQ(plugin_->engine()->client_dir(),
            Env::Default()->ModuleDirectory(reinterpret_cast<const void*>(&DoPoll)));
}

}  // namespace
}  // namespace dizedir
