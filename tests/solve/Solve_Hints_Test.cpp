// The hints the solver gets from a frame's header: pointing and pixel scale, in the units
// capture programs write them.

#include "solve/Plate_Solve.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

TImage_Model Header_Of(const std::vector<THeader_Card>& Cards) {
  TImage_Model Image;
  Image.Cards = Cards;
  Image.Cards.push_back({"END", "", ""});
  Image.NKeys = static_cast<uint32_t>(Image.Cards.size() - 1);
  return Image;
}

TEST(Solve_Hints, Pointing_And_Scale_From_The_Header) {
  const struct {
    const char* Name;
    std::vector<THeader_Card> Cards;
    std::optional<double> RA, Dec, Scale, Scale_High;
  } Cases[] = {
      {"RA/DEC in degrees, PIXSCALE",
       {{"RA", "80.25", ""}, {"DEC", "-29.5", ""}, {"PIXSCALE", "1.25", ""}},
       80.25,
       -29.5,
       1.25,
       std::nullopt},
      {"RA/DEC as text: hours and degrees; the last card counts",
       {{"RA", "'01 00 00'", ""},
        {"RA", "'05 21 00'", ""},
        {"DEC", "'-29 30 00'", ""},
        {"SECPIX", "2.0", ""}},
       80.25,
       -29.5,
       2.0,
       std::nullopt},
      {"OBJCTRA/OBJCTDEC when RA does not read; pixel size over focal length with binning",
       {{"RA", "'n/a'", ""},
        {"OBJCTRA", "'05 21 00.0'", ""},
        {"OBJCTDEC", "'+29 30 00'", ""},
        {"XPIXSZ", "9.0", ""},
        {"XBINNING", "2", ""},
        {"FOCALLEN", "1000", ""}},
       80.25,
       29.5,
       1.85638,
       3.71276},
      {"no hints: a blind solve",
       {{"OBJECT", "'M 1'", ""}, {"SCALE", "0", ""}, {"FOCALLEN", "0", ""}},
       std::nullopt,
       std::nullopt,
       std::nullopt,
       std::nullopt},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    const TSolve_Hints H = Solve_Hints_Of(Header_Of(C.Cards));
    for (const auto& [Got, Want] : {std::pair{H.RA, C.RA}, std::pair{H.Dec, C.Dec},
                                    std::pair{H.Scale, C.Scale}, std::pair{H.Scale_High, C.Scale_High}}) {
      ASSERT_EQ(Got.has_value(), Want.has_value());
      if (Want) {
        EXPECT_NEAR(*Got, *Want, 1e-5);
      }
    }
  }
}

} // namespace
