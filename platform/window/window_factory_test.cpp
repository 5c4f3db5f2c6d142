#include "platform/window/window_factory.h"

#include <gtest/gtest.h>

namespace tavrin {
namespace {

TEST(WantsDesktopWindowTest, AskedForOrStartedFromADesktopMenu) {
  // --window wins whatever else holds.
  EXPECT_TRUE(WantsDesktopWindow(true, false, nullptr, nullptr, true));
  // No mode asked for: a display and no terminal on standard input.
  EXPECT_TRUE(WantsDesktopWindow(false, false, nullptr, ":0", false));
  EXPECT_TRUE(WantsDesktopWindow(false, false, "wayland-0", nullptr, false));
  EXPECT_FALSE(WantsDesktopWindow(false, false, "", "", false)) << "empty values name no display";
  EXPECT_FALSE(WantsDesktopWindow(false, false, nullptr, ":0", true)) << "started from a terminal";
  // --interactive or --unattended keep their meaning on a desktop.
  EXPECT_FALSE(WantsDesktopWindow(false, true, "wayland-0", ":0", false));
}

}  // namespace
}  // namespace tavrin
