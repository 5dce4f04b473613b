#include "text/Messages.h"
#include "text/Number_Format.h"

#include <gtest/gtest.h>

#include <optional>

#include <cmath>
#include <limits>

TEST(Number_Format, Fixed_Formats_Pad_With_Blanks_And_Use_The_Given_Separator) {
  struct Case {
    double Value;
    int Width, Decimals;
    char Separator;
    const char* Expected;
  };
  const Case Cases[] = {
      {11.234, 2, 3, '.', "11.234"}, // "%2.3f"
      {5.0, 5, 1, '.', "  5.0"},     // "%05.1f": the leading 0 of the width pads with blanks
      {-0.5, 2, 3, '.', "-0.500"},   {0.125, 2, 2, '.', "0.12"}, // exact binary half: to even, as printf does
      {0.375, 2, 2, '.', "0.38"},    {13.5049999, 2, 3, ',', "13,505"},
      {7.0, 2, 0, '.', " 7"},        {1e20, 2, 1, '.', "100000000000000000000.0"},
  };
  for (const Case& C : Cases)
    EXPECT_EQ(Format_Fixed(C.Value, C.Width, C.Decimals, C.Separator), C.Expected) << C.Value;
  EXPECT_EQ(Format_Integer(-42, 5), "  -42");
  EXPECT_EQ(Format_Integer(7), "7");
}

TEST(Number_Format, Settings_Real_Form_Has_Fifteen_Significant_Digits_And_Four_Exponent_Digits) {
  struct Case {
    double Value;
    const char* Expected;
  };
  const Case Cases[] = {
      {1.0, " 1.00000000000000E+0000"},
      {-2.5, "-2.50000000000000E+0000"},
      {0.0, " 0.00000000000000E+0000"},
      {-0.0, " 0.00000000000000E+0000"},
      {0.123456789012345, " 1.23456789012345E-0001"},
      {123456789012345.6, " 1.23456789012346E+0014"},
      {1e100, " 1.00000000000000E+0100"},
      {-3e-300, "-3.00000000000000E-0300"},
      {std::numeric_limits<double>::infinity(), " 0.00000000000000E+0000"},
  };
  for (const Case& C : Cases)
    EXPECT_EQ(Format_Settings_Real(C.Value), C.Expected) << C.Value;
  // Written with 15 significant digits, read back with a point: the same value to 15 digits.
  const double Value = 2.718281828459045;
  const double Back = Str_To_Float(Format_Settings_Real(Value), '.');
  EXPECT_NEAR(Back, Value, 1e-14);
}

TEST(Number_Format, Integer_Conversion_Accepts_Leading_Blanks_And_Sign_Only) {
  struct Case {
    const char* Text;
    bool Ok;
    long long Value;
  };
  const Case Cases[] = {
      {"12", true, 12},
      {" 12", true, 12},
      {"  -05", true, -5},
      {"+7", true, 7},
      {"-0", true, 0},
      {"12 ", false, 0},
      {"", false, 0},
      {" ", false, 0},
      {"-", false, 0},
      {"$1A", false, 0},
      {"0x10", false, 0},
      {"1e3", false, 0},
      {"1.0", false, 0},
      {"12a", false, 0},
      {"- 5", false, 0},
      {"9223372036854775807", true, 9223372036854775807LL},
      {"9223372036854775808", false, 0},
      {"-9223372036854775808", true, std::numeric_limits<long long>::min()},
  };
  for (const Case& C : Cases) {
    auto Value = Try_Str_To_Int(C.Text);
    EXPECT_EQ(Value.has_value(), C.Ok) << "'" << C.Text << "'";
    if (C.Ok && Value) {
      EXPECT_EQ(*Value, C.Value) << C.Text;
    }
  }
  EXPECT_FALSE(Try_Str_To_Int("2147483648", INT32_MIN, INT32_MAX));
  EXPECT_EQ(Try_Str_To_Int("-2147483648", INT32_MIN, INT32_MAX), INT32_MIN);
  try {
    Str_To_Int("abc");
    FAIL() << "no error";
  } catch (const TKorvane_Error& E) {
    EXPECT_STREQ(E.what(), "'abc' is not a valid integer value");
  }
}

TEST(Number_Format, Decimal_Conversion_Follows_The_Given_Separator) {
  struct Case {
    const char* Text;
    char Separator;
    bool Ok;
    double Value;
  };
  const Case Cases[] = {
      {"1.5", '.', true, 1.5},    {"  -2.25  ", '.', true, -2.25}, {"+3", '.', true, 3.0},
      {"1E3", '.', true, 1000.0}, {"2.5e-2", '.', true, 0.025},    {"-.5", '.', true, -0.5},
      {"5.", '.', true, 5.0},     {"1,5", ',', true, 1.5},         {"1.5", ',', false, 0},
      {"1,5", '.', false, 0},     {"1D3", '.', false, 0},          {"'1.5'", '.', false, 0},
      {"", '.', false, 0},        {"   ", '.', false, 0},          {"1e", '.', false, 0},
      {"1e+", '.', false, 0},     {"e5", '.', false, 0},           {".", '.', false, 0},
      {"1.2.3", '.', false, 0},   {"--1", '.', false, 0},          {"1e400", '.', false, 0},
      {"1e-400", '.', true, 0.0}, {"0x1p3", '.', false, 0},        {"inf", '.', false, 0},
      {"nan", '.', false, 0},     {"1 2", '.', false, 0},
  };
  for (const Case& C : Cases) {
    auto Value = Try_Str_To_Float(C.Text, C.Separator);
    EXPECT_EQ(Value.has_value(), C.Ok) << "'" << C.Text << "' with '" << C.Separator << "'";
    if (C.Ok && Value) {
      EXPECT_DOUBLE_EQ(*Value, C.Value) << C.Text;
    }
  }
  try {
    Str_To_Float("12.5", ',');
    FAIL() << "no error";
  } catch (const TKorvane_Error& E) {
    EXPECT_STREQ(E.what(), "'12.5' is not a valid floating point value");
  }
}

// Files shared between countries take a point besides the user's separator, never both.
TEST(Number_Format, Decimal_Conversion_For_Shared_Files_Takes_A_Point_Too) {
  const struct {
    const char* Text;
    char Separator;
    std::optional<double> Value;
  } Cases[] = {
      {"13.5", ',', 13.5},          {"13,5", ',', 13.5},          {" -0.25E1 ", ',', -2.5},
      {"13.5", '.', 13.5},          {"13,5", '.', std::nullopt},  {"1.5,2", ',', std::nullopt},
      {"1,5.2", ',', std::nullopt}, {"1.2.3", ',', std::nullopt}, {"abc", ',', std::nullopt},
      {"", ',', std::nullopt},
  };
  for (const auto& C : Cases)
    EXPECT_EQ(Try_Str_To_Float_Or_Point(C.Text, C.Separator), C.Value)
        << "'" << C.Text << "' with '" << C.Separator << "'";
  try {
    Str_To_Float_Or_Point("1.5,2", ',');
    FAIL() << "no error";
  } catch (const TKorvane_Error& E) {
    EXPECT_STREQ(E.what(), "'1.5,2' is not a valid floating point value");
  }
}

TEST(Number_Format, Rounding_Goes_Half_To_Even_And_Refuses_What_Does_Not_Fit) {
  const std::pair<double, long long> Cases[] = {{2.5, 2},  {3.5, 4},     {-2.5, -2},   {-3.5, -4},
                                                {0.49, 0}, {100.5, 100}, {101.5, 102}, {-0.4, 0}};
  for (auto [Value, Expected] : Cases)
    EXPECT_EQ(Round_Half_Even(Value), Expected) << Value;
  EXPECT_FALSE(Round_Half_Even(1e300));
  EXPECT_FALSE(Round_Half_Even(std::nan("")));
  EXPECT_FALSE(Round_Half_Even(-std::numeric_limits<double>::infinity()));
}

TEST(Number_Format, Trimming_Removes_Blanks_And_Control_Characters) {
  EXPECT_EQ(Trim_Right_Controls("abc \t\r\n"), "abc");
  EXPECT_EQ(Trim_Left_Controls(std::string("\0 x ", 4)), "x ");
  EXPECT_EQ(Trim_Controls("  'V' "), "'V'");
  EXPECT_EQ(Trim_Controls("\x01\x1f"), "");
}
