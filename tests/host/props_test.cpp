// The host's property sets behave as the standard's property suite says,
// so a plug-in's mistakes show up here as they would in a strict host.
#include <gtest/gtest.h>

#include <thread>

#include "host/host.h"

namespace {

class Props : public ::testing::Test {
 protected:
  void SetUp() override { set_ = hostNewPropertySet(); }
  void TearDown() override { hostFreePropertySet(set_); }
  const OfxPropertySuiteV1* ps_ = hostPropertySuite();
  OfxPropertySetHandle set_ = nullptr;
};

TEST_F(Props, GettersAnswerUnknownForAMissingProperty) {
  int i = 7;
  double d = 7;
  char* s = nullptr;
  void* p = &i;
  EXPECT_EQ(ps_->propGetInt(set_, "Nope", 0, &i), kOfxStatErrUnknown);
  EXPECT_EQ(ps_->propGetDouble(set_, "Nope", 0, &d), kOfxStatErrUnknown);
  EXPECT_EQ(ps_->propGetString(set_, "Nope", 0, &s), kOfxStatErrUnknown);
  EXPECT_EQ(ps_->propGetPointer(set_, "Nope", 0, &p), kOfxStatErrUnknown);
  EXPECT_EQ(ps_->propGetDimension(set_, "Nope", &i), kOfxStatErrUnknown);
  EXPECT_EQ(i, 7) << "outputs untouched on failure";
}

TEST_F(Props, GettersAnswerBadIndexOutsideTheDimension) {
  ASSERT_EQ(ps_->propSetInt(set_, "Two", 0, 4), kOfxStatOK);
  ASSERT_EQ(ps_->propSetInt(set_, "Two", 1, 5), kOfxStatOK);
  int v = 0;
  EXPECT_EQ(ps_->propGetInt(set_, "Two", 1, &v), kOfxStatOK);
  EXPECT_EQ(v, 5);
  EXPECT_EQ(ps_->propGetInt(set_, "Two", 2, &v), kOfxStatErrBadIndex);
  EXPECT_EQ(ps_->propGetInt(set_, "Two", -1, &v), kOfxStatErrBadIndex);
  int three[3];
  EXPECT_EQ(ps_->propGetIntN(set_, "Two", 3, three), kOfxStatErrBadIndex);
}

TEST_F(Props, SettingGrowsOneIndexAtATime) {
  EXPECT_EQ(ps_->propSetString(set_, "List", 1, "b"), kOfxStatErrBadIndex) << "no gaps";
  EXPECT_EQ(ps_->propSetString(set_, "List", 0, "a"), kOfxStatOK);
  EXPECT_EQ(ps_->propSetString(set_, "List", 1, "b"), kOfxStatOK);
  EXPECT_EQ(ps_->propSetString(set_, "List", 3, "d"), kOfxStatErrBadIndex);
  int n = 0;
  EXPECT_EQ(ps_->propGetDimension(set_, "List", &n), kOfxStatOK);
  EXPECT_EQ(n, 2);
}

TEST_F(Props, SetterOfAnotherKindIsRefusedAndLeavesTheValue) {
  ASSERT_EQ(ps_->propSetDouble(set_, "Default", 0, 1.5), kOfxStatOK);
  EXPECT_EQ(ps_->propSetInt(set_, "Default", 0, 1), kOfxStatErrValue);
  EXPECT_EQ(ps_->propSetString(set_, "Default", 0, "1"), kOfxStatErrValue);
  int i = 0;
  EXPECT_EQ(ps_->propGetInt(set_, "Default", 0, &i), kOfxStatErrValue);
  EXPECT_EQ(hostPropDouble(set_, "Default"), 1.5);
  EXPECT_EQ(hostPropType(set_, "Default"), "double");
}

TEST_F(Props, EveryKindRoundTripsAtAnyDimension) {
  double d3[3] = {1.5, -2.0, 3.25};
  int i4[4] = {1, 2, 3, 4};
  const char* s2[2] = {"x", "yz"};
  int target = 0;
  void* p2[2] = {&target, nullptr};
  ASSERT_EQ(ps_->propSetDoubleN(set_, "D", 3, d3), kOfxStatOK);
  ASSERT_EQ(ps_->propSetIntN(set_, "I", 4, i4), kOfxStatOK);
  ASSERT_EQ(ps_->propSetStringN(set_, "S", 2, s2), kOfxStatOK);
  ASSERT_EQ(ps_->propSetPointerN(set_, "P", 2, p2), kOfxStatOK);
  double dOut[3];
  int iOut[4];
  char* sOut[2];
  void* pOut[2];
  ASSERT_EQ(ps_->propGetDoubleN(set_, "D", 3, dOut), kOfxStatOK);
  ASSERT_EQ(ps_->propGetIntN(set_, "I", 4, iOut), kOfxStatOK);
  ASSERT_EQ(ps_->propGetStringN(set_, "S", 2, sOut), kOfxStatOK);
  ASSERT_EQ(ps_->propGetPointerN(set_, "P", 2, pOut), kOfxStatOK);
  EXPECT_EQ(dOut[2], 3.25);
  EXPECT_EQ(iOut[3], 4);
  EXPECT_STREQ(sOut[0], "x");
  EXPECT_STREQ(sOut[1], "yz");
  EXPECT_EQ(pOut[0], &target);
  EXPECT_EQ(pOut[1], nullptr);
  EXPECT_EQ(hostPropDimension(set_, "I"), 4);
}

TEST_F(Props, ResetOfAPropertyTheHostNeverDefinedEmptiesIt) {
  ASSERT_EQ(ps_->propSetInt(set_, "Mine", 0, 3), kOfxStatOK);
  EXPECT_EQ(ps_->propReset(set_, "Mine"), kOfxStatOK);
  EXPECT_EQ(hostPropDimension(set_, "Mine"), 0) << "a plug-in's own property has no default";
  EXPECT_EQ(ps_->propReset(set_, "Nope"), kOfxStatErrUnknown);
}

TEST_F(Props, AFreedSetIsABadHandle) {
  OfxPropertySetHandle gone = hostNewPropertySet();
  hostFreePropertySet(gone);
  int v = 0;
  EXPECT_EQ(ps_->propSetInt(gone, "X", 0, 1), kOfxStatErrBadHandle);
  EXPECT_EQ(ps_->propGetInt(gone, "X", 0, &v), kOfxStatErrBadHandle);
  EXPECT_EQ(ps_->propGetInt(nullptr, "X", 0, &v), kOfxStatErrBadHandle);
  EXPECT_EQ(hostPropDimension(gone, "X"), -1);
}

// A returned string belongs to the host until that thread's next call.
TEST_F(Props, ReturnedStringsAreCopiesPerThread) {
  ASSERT_EQ(ps_->propSetString(set_, "S", 0, "first"), kOfxStatOK);
  char* mine = nullptr;
  ASSERT_EQ(ps_->propGetString(set_, "S", 0, &mine), kOfxStatOK);
  std::thread other([&] {
    ps_->propSetString(set_, "S", 0, "second, and longer than the first");
    char* theirs = nullptr;
    ps_->propGetString(set_, "S", 0, &theirs);
  });
  other.join();
  EXPECT_STREQ(mine, "first");
}

TEST_F(Props, ConcurrentWritersAndReadersSeeWholeValues) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int k = 0; k < 2000; ++k) {
        ps_->propSetInt(set_, "Count", 0, t);
        ps_->propSetString(set_, ("Name" + std::to_string(t)).c_str(), 0, "value");
        int v = -1;
        ps_->propGetInt(set_, "Count", 0, &v);
        EXPECT_TRUE(v >= 0 && v < 4);
      }
    });
  for (std::thread& th : threads) th.join();
  for (int t = 0; t < 4; ++t)
    EXPECT_EQ(hostPropString(set_, ("Name" + std::to_string(t)).c_str()), "value");
}

}  // namespace
