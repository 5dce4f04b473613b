// The analysis of one image: a small plate-solved FITS file with fuzzed world coordinates
// (a CD matrix, or CDELT with CROTA2 or a PC matrix, with or without SIP terms),
// exposure and pixels, a small fuzzed catalogue and fuzzed measuring settings, opened and
// analysed as the program does it. Either an error stops the work with a message, or a
// measurement that ends with result code 0 has only finite numbers in its result fields.

#include "catalogue/Target_Data.h"
#include "image/Image_Model.h"
#include "photometry/Analysis.h"
#include "settings/Settings.h"

#include "Fuzz_Support.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <numbers>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int Max_Side = 48;
constexpr size_t Record_Length = 2880;
constexpr double Deg = std::numbers::pi / 180.0;

// Mostly a value from the plausible range; now and then 0, its negative or any finite double.
double Value_In(FuzzedDataProvider& In, double Lo, double Hi) {
  switch (In.ConsumeIntegralInRange<int>(0, 15)) {
  case 0:
    return 0.0;
  case 1:
    return In.ConsumeFloatingPoint<double>();
  case 2:
    return -In.ConsumeFloatingPointInRange<double>(Lo, Hi);
  default:
    return In.ConsumeFloatingPointInRange<double>(Lo, Hi);
  }
}

// Mostly up to Typical pixels; now and then any 32-bit size.
uint32_t Size_In(FuzzedDataProvider& In, uint32_t Typical) {
  return In.ConsumeIntegralInRange<int>(0, 15) == 0 ? In.ConsumeIntegral<uint32_t>()
                                                    : In.ConsumeIntegralInRange<uint32_t>(0, Typical);
}

struct TField {
  int Width = 1, Height = 1;
  bool Solved = true;
  double Crval1 = 0.0, Crval2 = 0.0, Crpix1 = 0.0, Crpix2 = 0.0;
  double CD[4] = {};
  // How the matrix is written: 0 the CD matrix, 1 CDELT and CROTA2, 2 CDELT and PC (elements
  // with Has_PC false left out); CD then holds what they give.
  int Layout = 0;
  double Cdelt[2] = {}, Crota2 = 0.0, PC[4] = {1.0, 0.0, 0.0, 1.0};
  bool Has_PC[4] = {};
  // SIP terms, written with CTYPE "-SIP" when Sip: orders (-1 left out) and coefficients.
  struct TSip_Term {
    int Which = 0; // A, B, AP, BP
    int P = 0, Q = 0;
    double Value = 0.0;
  };
  bool Sip = false;
  int Sip_Order[4] = {-1, -1, -1, -1};
  std::vector<TSip_Term> Sip_Terms;
  double Exposure = 0.0; // 0: no EXPOSURE card
  std::vector<uint16_t> Pixels;
};

TField Make_Field(FuzzedDataProvider& In) {
  TField F;
  F.Width = In.ConsumeIntegralInRange<int>(1, Max_Side);
  F.Height = In.ConsumeIntegralInRange<int>(1, Max_Side);
  F.Solved = In.ConsumeIntegralInRange<int>(0, 15) != 0;
  F.Crval1 = Value_In(In, 0.0, 360.0);
  F.Crval2 = Value_In(In, -90.0, 90.0);
  F.Crpix1 = Value_In(In, -F.Width, 2.0 * F.Width);
  F.Crpix2 = Value_In(In, -F.Height, 2.0 * F.Height);
  if (In.ConsumeIntegralInRange<int>(0, 7) == 0) {
    for (double& Element : F.CD)
      Element = Value_In(In, -0.01, 0.01);
  } else {
    // A rotated, possibly mirrored, square grid: what solvers report for most cameras.
    const double Scale = Value_In(In, 1e-5, 1e-2);
    const double Angle = In.ConsumeFloatingPointInRange<double>(0.0, 2.0 * std::numbers::pi);
    const double Mirror = In.ConsumeBool() ? -1.0 : 1.0;
    F.CD[0] = -Mirror * Scale * std::cos(Angle);
    F.CD[1] = Scale * std::sin(Angle);
    F.CD[2] = Mirror * Scale * std::sin(Angle);
    F.CD[3] = Scale * std::cos(Angle);
  }
  F.Layout = std::max(0, In.ConsumeIntegralInRange<int>(-2, 2));
  if (F.Layout != 0) {
    F.Cdelt[0] = Value_In(In, -0.01, 0.01);
    F.Cdelt[1] = Value_In(In, -0.01, 0.01);
    const double Unit[4] = {1.0, 0.0, 0.0, 1.0};
    if (F.Layout == 1) {
      F.Crota2 = Value_In(In, -360.0, 360.0);
      const double c = std::cos(F.Crota2 * Deg), s = std::sin(F.Crota2 * Deg);
      F.PC[0] = c;
      F.PC[1] = -s;
      F.PC[2] = s;
      F.PC[3] = c;
      F.CD[0] = F.Cdelt[0] * c;
      F.CD[1] = -F.Cdelt[1] * s;
      F.CD[2] = F.Cdelt[0] * s;
      F.CD[3] = F.Cdelt[1] * c;
    } else {
      for (int k = 0; k < 4; ++k) {
        F.Has_PC[k] = In.ConsumeIntegralInRange<int>(0, 3) != 0;
        F.PC[k] = F.Has_PC[k] ? Value_In(In, -1.5, 1.5) : Unit[k];
        F.CD[k] = F.Cdelt[k / 2] * F.PC[k];
      }
    }
  }
  F.Sip = In.ConsumeIntegralInRange<int>(0, 3) == 0;
  if (F.Sip) {
    for (int k = 0; k < 4; ++k)
      F.Sip_Order[k] = In.ConsumeIntegralInRange<int>(k < 2 ? -1 : -4, 11);
    for (int Term = In.ConsumeIntegralInRange<int>(0, 8); Term > 0; --Term)
      F.Sip_Terms.push_back({In.ConsumeIntegralInRange<int>(0, 3), In.ConsumeIntegralInRange<int>(0, 9),
                             In.ConsumeIntegralInRange<int>(0, 9), Value_In(In, -1e-3, 1e-3)});
  }
  if (In.ConsumeIntegralInRange<int>(0, 7) != 0)
    F.Exposure = Value_In(In, 0.001, 600.0);

  const size_t Count = static_cast<size_t>(F.Width) * static_cast<size_t>(F.Height);
  F.Pixels.assign(Count, 0);
  switch (In.ConsumeIntegralInRange<int>(0, 2)) {
  case 0: { // raw values from the input, zeros where it ends
    const std::vector<uint8_t> Bytes = In.ConsumeBytes<uint8_t>(2 * Count);
    for (size_t k = 0; 2 * k + 1 < Bytes.size(); ++k)
      F.Pixels[k] = static_cast<uint16_t>(Bytes[2 * k] << 8 | Bytes[2 * k + 1]);
    break;
  }
  case 1: { // a sky level with small noise
    const uint16_t Sky = In.ConsumeIntegral<uint16_t>();
    const std::vector<uint8_t> Noise = In.ConsumeBytes<uint8_t>(Count);
    for (size_t k = 0; k < Count; ++k)
      F.Pixels[k] = static_cast<uint16_t>(std::min<int>(65535, Sky + (k < Noise.size() ? Noise[k] : 0)));
    break;
  }
  default: // one value everywhere
    std::fill(F.Pixels.begin(), F.Pixels.end(), In.ConsumeIntegral<uint16_t>());
  }
  // A few stars, Gaussian, clipped at the largest value.
  for (int Star = In.ConsumeIntegralInRange<int>(0, 3); Star > 0; --Star) {
    const double X = In.ConsumeFloatingPointInRange<double>(0.0, F.Width - 1.0);
    const double Y = In.ConsumeFloatingPointInRange<double>(0.0, F.Height - 1.0);
    const double Peak = In.ConsumeFloatingPointInRange<double>(0.0, 65535.0);
    const double Sigma = In.ConsumeFloatingPointInRange<double>(0.3, 4.0);
    for (int j = 0; j < F.Height; ++j)
      for (int i = 0; i < F.Width; ++i) {
        uint16_t& P = F.Pixels[static_cast<size_t>(j * F.Width + i)];
        const double r2 = (i - X) * (i - X) + (j - Y) * (j - Y);
        P = static_cast<uint16_t>(std::min(65535.0, P + Peak * std::exp(-r2 / (2.0 * Sigma * Sigma))));
      }
  }
  return F;
}

// The shortest text that reads back to the same double.
std::string Real_Text(double Value) {
  char Buffer[64];
  const auto Result = std::to_chars(Buffer, Buffer + sizeof Buffer, Value);
  return std::string(Buffer, Result.ptr);
}

void Add_Card(std::string& Header, std::string_view Key, const std::string& Value) {
  std::string Card(Key);
  Card.resize(8, ' ');
  Card += "= " + Value;
  Card.resize(80, ' ');
  Header += Card;
}

// The field as a 16-bit FITS file (BZERO 32768, big-endian words, records of 2880 bytes).
std::string Fits_Bytes(const TField& F) {
  std::string Bytes;
  Add_Card(Bytes, "SIMPLE", "T");
  Add_Card(Bytes, "BITPIX", "16");
  Add_Card(Bytes, "NAXIS", "2");
  Add_Card(Bytes, "NAXIS1", std::to_string(F.Width));
  Add_Card(Bytes, "NAXIS2", std::to_string(F.Height));
  Add_Card(Bytes, "BZERO", "32768");
  if (F.Exposure != 0.0)
    Add_Card(Bytes, "EXPOSURE", Real_Text(F.Exposure));
  Add_Card(Bytes, "FILTER", "'V'");
  if (F.Solved) {
    Add_Card(Bytes, "CRVAL1", Real_Text(F.Crval1));
    Add_Card(Bytes, "CRVAL2", Real_Text(F.Crval2));
    Add_Card(Bytes, "CRPIX1", Real_Text(F.Crpix1));
    Add_Card(Bytes, "CRPIX2", Real_Text(F.Crpix2));
    const char* Matrix[4] = {"1_1", "1_2", "2_1", "2_2"};
    if (F.Layout == 0) {
      for (int k = 0; k < 4; ++k)
        Add_Card(Bytes, std::string("CD") + Matrix[k], Real_Text(F.CD[k]));
    } else {
      Add_Card(Bytes, "CDELT1", Real_Text(F.Cdelt[0]));
      Add_Card(Bytes, "CDELT2", Real_Text(F.Cdelt[1]));
      if (F.Layout == 1)
        Add_Card(Bytes, "CROTA2", Real_Text(F.Crota2));
      for (int k = 0; k < 4; ++k)
        if (F.Layout == 2 && F.Has_PC[k])
          Add_Card(Bytes, std::string("PC") + Matrix[k], Real_Text(F.PC[k]));
    }
    if (F.Sip) {
      Add_Card(Bytes, "CTYPE1", "'RA---TAN-SIP'");
      Add_Card(Bytes, "CTYPE2", "'DEC--TAN-SIP'");
      const char* Prefix[4] = {"A_", "B_", "AP_", "BP_"};
      for (int k = 0; k < 4; ++k)
        if (F.Sip_Order[k] >= 0)
          Add_Card(Bytes, std::string(Prefix[k]) + "ORDER", std::to_string(F.Sip_Order[k]));
      for (const auto& T : F.Sip_Terms)
        Add_Card(Bytes, Prefix[T.Which] + std::to_string(T.P) + "_" + std::to_string(T.Q),
                 Real_Text(T.Value));
    }
  }
  Bytes += std::string("END").append(77, ' ');
  Bytes.resize((Bytes.size() + Record_Length - 1) / Record_Length * Record_Length, ' ');
  for (const uint16_t P : F.Pixels) {
    const uint16_t Stored = P ^ 0x8000; // P - 32768 as a 16-bit signed word
    Bytes += static_cast<char>(Stored >> 8);
    Bytes += static_cast<char>(Stored & 0xFF);
  }
  Bytes.resize((Bytes.size() + Record_Length - 1) / Record_Length * Record_Length, '\0');
  return Bytes;
}

// A sky position near pixel (X, Y) by the linear part of the projection, so that most
// catalogue stars fall on the image; now and then anywhere.
TSkyPosition Sky_Near(FuzzedDataProvider& In, const TField& F) {
  if (In.ConsumeIntegralInRange<int>(0, 7) == 0)
    return TSkyPosition{Value_In(In, 0.0, 24.0), Value_In(In, -90.0, 90.0)};
  const double dx = In.ConsumeFloatingPointInRange<double>(-0.5 * F.Width, 1.5 * F.Width) - F.Crpix1;
  const double dy = In.ConsumeFloatingPointInRange<double>(-0.5 * F.Height, 1.5 * F.Height) - F.Crpix2;
  const double RA = F.Crval1 + (F.CD[0] * dx + F.CD[1] * dy) / std::cos(F.Crval2 * Deg);
  const double Dec = F.Crval2 + F.CD[2] * dx + F.CD[3] * dy;
  return TSkyPosition{std::isfinite(RA) ? RA / 15.0 : F.Crval1 / 15.0, std::isfinite(Dec) ? Dec : F.Crval2};
}

void Fill_Catalogue(FuzzedDataProvider& In, const TField& F, TTarget_Catalogue& Catalogue) {
  Catalogue = TTarget_Catalogue{};
  Catalogue.NTargets = In.ConsumeIntegralInRange<int>(0, 4);
  for (int i = 0; i < Catalogue.NTargets; ++i) {
    TTargetData& T = Catalogue.Targets[static_cast<size_t>(i)];
    T.Name = "T" + std::to_string(i + 1);
    const TSkyPosition Target = Sky_Near(In, F);
    T.RA = Target.RA;
    T.Dec = Target.Dec;
    if (In.ConsumeIntegralInRange<int>(0, 7) == 0)
      continue; // no reference star
    T.RName = "R" + std::to_string(i + 1);
    const TSkyPosition Reference = Sky_Near(In, F);
    T.RRA = Reference.RA;
    T.RDec = Reference.Dec;
    T.RFilter = 'V';
    T.Rmag = Value_In(In, -2.0, 20.0);
    T.Threshold = Value_In(In, -2.0, 20.0);
    T.ChartName = "C";
  }
}

TSettings Make_Settings(FuzzedDataProvider& In) {
  TSettings S = Initial_Settings();
  S.Radius = Size_In(In, 12);
  S.Gap = Size_In(In, 8);
  S.Annulus = Size_In(In, 12);
  S.Gain = Value_In(In, 0.1, 10.0);
  S.Readout_Noise = Value_In(In, 0.0, 30.0);
  S.Dark_Current = Value_In(In, 0.0, 5.0);
  S.Max_Error = Value_In(In, 0.001, 1.0);
  S.Snap_to_Centre = In.ConsumeBool();
  return S;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  FuzzedDataProvider In(Data, Size);
  const TField Field = Make_Field(In);
  static TTarget_Catalogue Catalogue; // large: kept out of the stack
  Fill_Catalogue(In, Field, Catalogue);
  const TSettings Settings = Make_Settings(In);

  const std::string Bytes = Fits_Bytes(Field);
  const TScratch_File Scratch(Bytes.data(), Bytes.size(), ".fit");
  if (!Scratch.Written())
    return 0;
  TImage_Model Image;
  TQuiet_Messages Messages;
  bool Measured = false;
  try {
    Measured = Open_And_Analyse(Image, Scratch.Path(), Catalogue, Measure_Settings_Of(Settings), Messages);
  } catch (const TKorvane_Error&) {
    return 0;
  }
  const bool Code_0 = static_cast<int32_t>(Image.Last_Error) == 0;
  if (Measured != Code_0)
    std::abort();
  if (Code_0) {
    for (const double Value :
         {Image.Magnitude, Image.Std_Error, Image.CMag, Image.Ref_Background, Image.Star_Background,
          Image.ObjectX, Image.ObjectY, Image.ReferenceX, Image.ReferenceY})
      if (!std::isfinite(Value))
        std::abort();
  }
  return 0;
}
