// Test programs start here. Started with --helper=NAME they run that helper mode instead (a
// second process for pipe and process tests). Otherwise the main thread owns an application
// object (window, message loop, synchronous calls) for the whole run, as in the service.
#include <gtest/gtest.h>

#include "runtime/application.h"
#include "test_support.h"

int main(int argc, char** argv) {
  int helper_rc = velotarn::test::RunHelperIfRequested(argc, argv);
  if (helper_rc != -1) return helper_rc;
  testing::InitGoogleTest(&argc, argv);
  velotarn::TApplication application;
  return RUN_ALL_TESTS();
}
