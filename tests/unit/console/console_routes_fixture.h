#pragma once
// A console over a freshly installed data directory, started on the test's thread (so every
// action through ConsoleOwner::Call runs at once), with every page's routes registered; tests
// dispatch requests to router_ without a web server.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "config/installation.h"
#include "console/api_router.h"
#include "console/console_owner.h"
#include "console/page_registry.h"
#include "platform/clock.h"
#include "tests/unit/platform/test_dir.h"

namespace tw::testing {

class ConsoleRoutesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(InstallMissingDataFiles(dir_.path(), &error)) << error;
    owner_ = std::make_unique<ConsoleOwner>(dir_.path(), clock_);
    std::string fileError;
    owner_->StartUp(&fileError);
    RegisterConsoleRoutes(router_, *owner_);
  }

  TestDir dir_;
  ManualClock clock_{MakeLocalTime(2024, 3, 5, 10, 0, 0)};
  std::unique_ptr<ConsoleOwner> owner_;
  ApiRouter router_;
};

}  // namespace tw::testing
