// The test binary stands where the handheld's executable does: its
// resources are the program's, compiled from res/nuvik.rc. Every suite that
// loads an icon relies on this.
#include <gtest/gtest.h>

#include "device.h"

namespace {

class ProgramResources : public ::testing::Environment {
 public:
  void SetUp() override { device::SetModuleResources(device::kProgramResources, device::kProgramResourcesSize); }
};
::testing::Environment* const g_programResources = ::testing::AddGlobalTestEnvironment(new ProgramResources);

}  // namespace
