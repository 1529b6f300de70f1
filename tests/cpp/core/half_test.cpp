#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "vorpel/core/half.hpp"
#include "vorpel/core/panic.hpp"

namespace {

TEST(Half, WidensNormalsSubnormalsAndSpecialsExactly) {
  EXPECT_EQ(vorpel::half_to_float(0x3C00), 1.0f);
  EXPECT_EQ(vorpel::half_to_float(0xC000), -2.0f);
  EXPECT_EQ(vorpel::half_to_float(0x0001), std::ldexp(1.0f, -24));
  EXPECT_EQ(vorpel::half_to_float(0x83FF), -std::ldexp(1023.0f, -24));
  EXPECT_EQ(vorpel::half_to_float(0x7BFF), 65504.0f);
  EXPECT_TRUE(std::isinf(vorpel::half_to_float(0x7C00)));
  EXPECT_TRUE(std::signbit(vorpel::half_to_float(0x8000)));
  // NaN payload is kept, shifted into the top of the f32 mantissa.
  EXPECT_EQ(std::bit_cast<uint32_t>(vorpel::half_to_float(0x7E01)), 0x7FC02000u);
}

TEST(Panic, IsTheOneInternalErrorType) {
  EXPECT_THROW(vorpel::panic("boom"), vorpel::Panic);
  try {
    VORPEL_CHECK(1 == 2, "one is not two");
  } catch (const vorpel::Panic& p) {
    EXPECT_STREQ(p.what(), "one is not two");
  }
}

}  // namespace
