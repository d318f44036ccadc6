// Instance ids are per process, so this runs alone in its own executable:
// the first instance the process creates must be the first one counted.
#include "core/core.h"
#include "tests/plugin/bundle_fixture.h"

namespace {

uint64_t idOf(HostInstance* instance) {
  auto* record =
      static_cast<Instance*>(hostPropPointer(hostInstanceProps(instance), kOfxPropInstanceData));
  return record ? record->id : 0;
}

class InstanceIds : public BundleTest {};

TEST_F(InstanceIds, CountFromOneAndAreNeverReusedAfterADestroy) {
  HostInstance* first = create();
  HostInstance* second = create();
  EXPECT_EQ(idOf(first), 1u);
  EXPECT_EQ(idOf(second), 2u);
  destroy(second);
  HostInstance* third = create();
  EXPECT_EQ(idOf(third), 3u);
}

}  // namespace
