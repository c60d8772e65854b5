// The editor object's window life cycle, with a stand-in window: the real one
// is tested through kelvane.so in tests/editor_x11.

#include <gtest/gtest.h>

#include <thread>

#include "plugin/fake_vst_host.h"
#include "plugin/vsti_plugin.h"

namespace kelvane {
namespace {

using testing::TFakeHost;

struct TWindowLog {
  int Created = 0, Destroyed = 0, Updates = 0;
  void* Parent = nullptr;
};
TWindowLog Log;

class TStandInWindow : public TFormVSTiEditor {
 public:
  explicit TStandInWindow(TVSTiPlugin& plugin) : fPlugin(plugin) { ++Log.Created; }
  ~TStandInWindow() override { ++Log.Destroyed; }
  int32_t ClientWidth() const override { return 872; }
  int32_t ClientHeight() const override { return 664; }
  void EditorUpdate() override { ++Log.Updates; }
  void Idle() override {
    if (fPlugin.GetPluginEditor()->UpdateRequested.exchange(false)) EditorUpdate();
  }

 private:
  TVSTiPlugin& fPlugin;
};

std::unique_ptr<TFormVSTiEditor> CreateStandIn(TVSTiPlugin& plugin, void* parent) {
  Log.Parent = parent;
  return std::make_unique<TStandInWindow>(plugin);
}

VstIntPtr Dispatch(TVSTiPlugin& plugin, VstInt32 opcode, void* ptr = nullptr) {
  AEffect* effect = plugin.GetEffect();
  return effect->dispatcher(effect, opcode, 0, 0, ptr, 0.0f);
}

TEST(VSTiPluginEditor, OpensOneWindowPerOpenCountAndClosesItAtZero) {
  TFakeHost::Reset();
  Log = {};
  auto plugin = std::make_unique<TVSTiPlugin>(&TFakeHost::Callback);
  plugin->GetPluginEditor()->WindowFactory = &CreateStandIn;
  int parent = 0;

  ERect* rect = nullptr;
  EXPECT_EQ(Dispatch(*plugin, effEditGetRect, &rect), 0);
  ASSERT_NE(rect, nullptr);
  EXPECT_EQ(rect->right, 438);
  EXPECT_EQ(rect->bottom, 349);

  EXPECT_EQ(Dispatch(*plugin, effEditOpen, &parent), 1);
  EXPECT_EQ(Dispatch(*plugin, effEditOpen, &parent), 1);  // a second open shares the window
  EXPECT_EQ(Log.Created, 1);
  EXPECT_EQ(Log.Parent, &parent);
  EXPECT_FALSE(plugin->Done);
  EXPECT_EQ(Dispatch(*plugin, effEditGetRect, &rect), 1);
  EXPECT_EQ(rect->right, 872);
  EXPECT_EQ(rect->bottom, 664);

  // Updates from another thread wait for the window's idle time.
  const int updates = Log.Updates;
  std::thread([&] { plugin->GetPluginEditor()->Update(); }).join();
  EXPECT_EQ(Log.Updates, updates);
  Dispatch(*plugin, effEditIdle);
  EXPECT_EQ(Log.Updates, updates + 1);

  Dispatch(*plugin, effEditClose);
  EXPECT_EQ(Log.Destroyed, 0);
  Dispatch(*plugin, effEditClose);
  EXPECT_EQ(Log.Destroyed, 1);
  EXPECT_TRUE(plugin->Done);
  // A host closing once too often does not leave the count below zero.
  Dispatch(*plugin, effEditClose);
  EXPECT_EQ(plugin->GetPluginEditor()->UseCount.load(), 0);
  EXPECT_EQ(Dispatch(*plugin, effEditOpen, &parent), 1);
  EXPECT_EQ(Log.Created, 2);

  // Closing the plug-in with the window open destroys the window.
  plugin.reset();
  EXPECT_EQ(Log.Destroyed, 2);
}

}  // namespace
}  // namespace kelvane
