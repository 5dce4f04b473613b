#include "support/Star_Field.h"

#include "wcs/Unit_WCS.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <numbers>
#include <random>
#include <stdexcept>

namespace {

constexpr double Deg = std::numbers::pi / 180.0;
// FWHM of a Gaussian in units of its standard deviation: 2 sqrt(2 ln 2).
const double FWHM_Per_Sigma = 2.0 * std::sqrt(2.0 * std::numbers::ln2);
// Beyond 8 sigma a Gaussian holds less than 1e-15 of its flux.
constexpr double Render_Sigmas = 8.0;

// Fraction of a unit Gaussian (centre C, standard deviation Sigma) between A and B.
double Gaussian_Fraction(double A, double B, double C, double Sigma) {
  const double s = Sigma * std::numbers::sqrt2;
  return 0.5 * (std::erf((B - C) / s) - std::erf((A - C) / s));
}

// Shortest text that reads back to the same double, with a point or an exponent.
std::string Real_Text(double Value) {
  char Buffer[64];
  const auto Result = std::to_chars(Buffer, Buffer + sizeof Buffer, Value);
  std::string Text(Buffer, Result.ptr);
  for (char& c : Text)
    if (c == 'e')
      c = 'E';
  if (Text.find_first_of(".E") == std::string::npos)
    Text += ".0";
  return Text;
}

std::string Quoted(const std::string& Text) {
  std::string Out = "'";
  for (char c : Text) {
    Out += c;
    if (c == '\'')
      Out += '\'';
  }
  // String values are at least eight characters inside the quotes.
  while (Out.size() < 9)
    Out += ' ';
  return Out + "'";
}

double Sigma_Of(const TStar_Field_Description& D, const TField_Star& S) {
  const double FWHM = S.FWHM > 0.0 ? S.FWHM : D.FWHM;
  if (!(FWHM > 0.0))
    throw std::invalid_argument("a star needs a FWHM above 0");
  return FWHM / FWHM_Per_Sigma;
}

// The CD matrix of the description: its own, or the one CDELT and CROTA2 give.
std::array<double, 4> Field_CD(const TStar_Field_Description& D) {
  if (!D.Cdelt_Layout)
    return {D.CD[0], D.CD[1], D.CD[2], D.CD[3]};
  const double c = std::cos(D.Crota2 * Deg), s = std::sin(D.Crota2 * Deg);
  return {D.Cdelt[0] * c, -D.Cdelt[1] * s, D.Cdelt[0] * s, D.Cdelt[1] * c};
}

double Sip_Sum(const std::vector<TStar_Field_Description::TSip_Term>& Terms, double u, double v) {
  double Sum = 0.0;
  for (const auto& T : Terms)
    Sum += T.Value * std::pow(u, T.P) * std::pow(v, T.Q);
  return Sum;
}

} // namespace

TStar_Field_Description Centred_Field(int Width, int Height, double RA_Degrees, double Dec) {
  TStar_Field_Description D;
  D.Width = Width;
  D.Height = Height;
  D.Crval1 = RA_Degrees;
  D.Crval2 = Dec;
  D.Crpix1 = (Width - 1) / 2.0;
  D.Crpix2 = (Height - 1) / 2.0;
  return D;
}

TField_Star Sky_Star(double RA_Hours, double Dec, double Flux) {
  TField_Star S;
  S.On_Sky = true;
  S.RA_Hours = RA_Hours;
  S.Dec = Dec;
  S.Flux = Flux;
  return S;
}

TCCDPosition Field_Sky_To_Pixel(const TStar_Field_Description& D, double RA_Hours, double Dec) {
  const double a = RA_Hours * 15.0 * Deg - D.Crval1 * Deg;
  const double d = Dec * Deg, d0 = D.Crval2 * Deg;
  const double Cos_c = std::sin(d0) * std::sin(d) + std::cos(d0) * std::cos(d) * std::cos(a);
  if (!(Cos_c > 0.0))
    throw std::invalid_argument("the position lies 90 degrees or more from the field's centre");
  const double Xi = std::cos(d) * std::sin(a) / Cos_c / Deg;
  const double Eta = (std::cos(d0) * std::sin(d) - std::sin(d0) * std::cos(d) * std::cos(a)) / Cos_c / Deg;
  const std::array<double, 4> CD = Field_CD(D);
  const double Det = CD[0] * CD[3] - CD[1] * CD[2];
  if (Det == 0.0)
    throw std::invalid_argument("the CD matrix is singular");
  const double U = (CD[3] * Xi - CD[1] * Eta) / Det;
  const double V = (-CD[2] * Xi + CD[0] * Eta) / Det;
  // u + A(u, v) = U and v + B(u, v) = V: for the small distortions of a field the plain
  // iteration u = U - A(u, v) converges.
  double u = U, v = V;
  if (D.Sip_Order >= 0) {
    for (int Round = 0; Round < 200; ++Round) {
      const double Next_u = U - Sip_Sum(D.Sip_A, u, v);
      const double Next_v = V - Sip_Sum(D.Sip_B, u, v);
      const bool Done = std::hypot(Next_u - u, Next_v - v) < 1e-12;
      u = Next_u;
      v = Next_v;
      if (Done)
        break;
    }
  }
  return TCCDPosition{D.Crpix1 + u, D.Crpix2 + v};
}

double Gaussian_Flux_In_Image(double X, double Y, double Flux, double FWHM, int Width, int Height) {
  const double Sigma = FWHM / FWHM_Per_Sigma;
  return Flux * Gaussian_Fraction(-0.5, Width - 0.5, X, Sigma) *
         Gaussian_Fraction(-0.5, Height - 0.5, Y, Sigma);
}

void Add_Random_Stars(TStar_Field_Description& D, int Count, double Min_Flux, double Max_Flux, double Margin,
                      uint64_t Seed) {
  if (!(Min_Flux > 0.0) || !(Max_Flux >= Min_Flux))
    throw std::invalid_argument("random stars need 0 < minimum flux <= maximum flux");
  std::mt19937_64 Rng(Seed);
  std::uniform_real_distribution<double> X(Margin, D.Width - 1 - Margin), Y(Margin, D.Height - 1 - Margin);
  std::uniform_real_distribution<double> Spread(0.0, std::log(Max_Flux / Min_Flux));
  for (int k = 0; k < Count; ++k) {
    TField_Star S;
    S.X = X(Rng);
    S.Y = Y(Rng);
    S.Flux = Max_Flux * std::exp(-Spread(Rng));
    D.Stars.push_back(S);
  }
}

TStar_Field Make_Star_Field(const TStar_Field_Description& D) {
  if (D.Width < 1 || D.Height < 1 || D.Width > 65535 || D.Height > 65535)
    throw std::invalid_argument("the image size must be 1 to 65535 pixels each way");
  if (!(D.Gain > 0.0))
    throw std::invalid_argument("the gain must be above 0");
  if (D.Sky < 0.0 || D.Read_Noise < 0.0 || D.Dark_Current < 0.0 || D.Exposure < 0.0)
    throw std::invalid_argument("sky, read noise, dark current and exposure must not be negative");

  TStar_Field F;
  F.Width = D.Width;
  F.Height = D.Height;
  const size_t W = static_cast<size_t>(D.Width), H = static_cast<size_t>(D.Height);
  F.Expected.assign(W * H, D.Sky + D.Dark_Current * D.Exposure / D.Gain);

  std::vector<double> Fx, Fy;
  for (const TField_Star& S : D.Stars) {
    const TCCDPosition P = S.On_Sky ? Field_Sky_To_Pixel(D, S.RA_Hours, S.Dec) : TCCDPosition{S.X, S.Y};
    const double Sigma = Sigma_Of(D, S);
    F.Star_Positions.push_back(P);
    F.Star_Flux_In_Image.push_back(
        Gaussian_Flux_In_Image(P.x, P.y, S.Flux, Sigma * FWHM_Per_Sigma, D.Width, D.Height));

    const double Reach = std::ceil(Render_Sigmas * Sigma) + 1.0;
    const double i0 = std::max(0.0, std::floor(P.x - Reach)),
                 i1 = std::min(D.Width - 1.0, std::ceil(P.x + Reach));
    const double j0 = std::max(0.0, std::floor(P.y - Reach)),
                 j1 = std::min(D.Height - 1.0, std::ceil(P.y + Reach));
    if (i0 > i1 || j0 > j1)
      continue; // wholly off the image
    Fx.clear();
    Fy.clear();
    for (double i = i0; i <= i1; ++i)
      Fx.push_back(Gaussian_Fraction(i - 0.5, i + 0.5, P.x, Sigma));
    for (double j = j0; j <= j1; ++j)
      Fy.push_back(Gaussian_Fraction(j - 0.5, j + 0.5, P.y, Sigma));
    for (size_t b = 0; b < Fy.size(); ++b) {
      double* Row = F.Expected.data() + (static_cast<size_t>(j0) + b) * W + static_cast<size_t>(i0);
      for (size_t a = 0; a < Fx.size(); ++a)
        Row[a] += S.Flux * Fx[a] * Fy[b];
    }
  }

  F.Pixels.resize(W * H);
  std::mt19937_64 Rng(D.Seed);
  std::normal_distribution<double> Read(0.0, 1.0);
  std::poisson_distribution<long long> Shot;
  using Shot_Param = std::poisson_distribution<long long>::param_type;
  for (size_t k = 0; k < W * H; ++k) {
    double Value = F.Expected[k];
    if (D.Noise) {
      const double Mean_Electrons = Value * D.Gain;
      double Electrons =
          Mean_Electrons > 0.0 ? static_cast<double>(Shot(Rng, Shot_Param(Mean_Electrons))) : 0.0;
      Electrons += D.Read_Noise * Read(Rng);
      Value = Electrons / D.Gain;
    }
    F.Pixels[k] = static_cast<uint16_t>(std::clamp(std::floor(Value + 0.5), 0.0, 65535.0));
  }

  F.Header = Standard_Header(D.Width, D.Height);
  const double Crval1 = D.Crval1 + D.Written_Offset[0], Crval2 = D.Crval2 + D.Written_Offset[1];
  if (D.Write_WCS && D.Cdelt_Layout) {
    F.Header.Add("CTYPE1", "'RA---TAN'", "gnomonic projection");
    F.Header.Add("CTYPE2", "'DEC--TAN'", "gnomonic projection");
    F.Header.Add("CRVAL1", Real_Text(Crval1), "RA of reference point");
    F.Header.Add("CRVAL2", Real_Text(Crval2), "Dec of reference point");
    F.Header.Add("CRPIX1", Real_Text(D.Crpix1), "reference column");
    F.Header.Add("CRPIX2", Real_Text(D.Crpix2), "reference row");
    F.Header.Add("CDELT1", Real_Text(D.Cdelt[0]), "degrees per pixel");
    F.Header.Add("CDELT2", Real_Text(D.Cdelt[1]), "degrees per pixel");
    F.Header.Add("CROTA2", Real_Text(D.Crota2), "rotation, degrees");
  } else if (D.Write_WCS) {
    Add_TAN_WCS(F.Header, Crval1, Crval2, D.Crpix1, D.Crpix2, D.CD[0], D.CD[1], D.CD[2], D.CD[3]);
  }
  if (D.Write_WCS && D.Sip_Order >= 0) {
    TFits_Writer Types;
    Types.Add("CTYPE1", "'RA---TAN-SIP'", "gnomonic projection, SIP distortion");
    Types.Add("CTYPE2", "'DEC--TAN-SIP'", "gnomonic projection, SIP distortion");
    for (std::string& Card : F.Header.Cards)
      if (Card.starts_with("CTYPE"))
        Card = Types.Cards[Card[5] == '1' ? 0 : 1];
    F.Header.Add("A_ORDER", std::to_string(D.Sip_Order), "distortion order");
    F.Header.Add("B_ORDER", std::to_string(D.Sip_Order), "distortion order");
    for (const auto* Terms : {&D.Sip_A, &D.Sip_B})
      for (const auto& T : *Terms)
        F.Header.Add(std::string(Terms == &D.Sip_A ? "A_" : "B_") + std::to_string(T.P) + "_" +
                         std::to_string(T.Q),
                     Real_Text(T.Value), "distortion coefficient");
  }
  if (D.Exposure > 0.0)
    F.Header.Add("EXPOSURE", Real_Text(D.Exposure), "exposure time, seconds");
  F.Header.Add("JD", Real_Text(D.JD), "Julian date of the start of the exposure");
  F.Header.Add("AIRMASS", Real_Text(D.Airmass), "air mass");
  F.Header.Add("DATE-OBS", Quoted(D.Date_Obs), "start of the exposure, UT");
  if (!D.Filter.empty())
    F.Header.Add("FILTER", Quoted(D.Filter), "filter");
  F.Header.Add("GAIN", Real_Text(D.Gain), "synthetic field: electrons per ADU");
  F.Header.Add("RDNOISE", Real_Text(D.Read_Noise), "synthetic field: read noise, electrons");
  F.Header.Add("SEED", std::to_string(D.Seed), "synthetic field: noise seed");
  return F;
}

void Write_Star_Field(const TStar_Field& Field, const std::string& Path) {
  Field.Header.Write(Path, TFits_Writer::Data_Bytes_Unsigned(Field.Pixels));
}

void Load_Star_Field(const TStar_Field& Field, const TStar_Field_Description& D, TImage_Model& Image) {
  if (D.Cdelt_Layout || D.Sip_Order >= 0 || D.Written_Offset[0] != 0.0 || D.Written_Offset[1] != 0.0)
    throw std::invalid_argument("a CDELT layout, an offset or SIP terms are read from the field's file");
  Image.Image_Array.Allocate(static_cast<uint32_t>(Field.Width), static_cast<uint32_t>(Field.Height));
  std::copy(Field.Pixels.begin(), Field.Pixels.end(), Image.Image_Array.Data());
  Image.XSize = static_cast<uint16_t>(Field.Width);
  Image.YSize = static_cast<uint16_t>(Field.Height);
  Image.Exposure = D.Exposure;
  Image.JD = D.JD + D.Exposure / 172800.0;
  Image.AirMass = D.Airmass;
  Image.Date_Obs = Quoted(D.Date_Obs) + " ";
  Image.Time_From = "JD";
  Image.Exposure_From = D.Exposure > 0.0 ? "EXPOSURE" : "";
  Image.AirMass_From = "AIRMASS";
  Image.Image_Filter_Letter = D.Filter.empty() ? '\0' : D.Filter[0];

  TWCSRecord& W = Image.WCS1;
  W = TWCSRecord();
  W.crval[0] = D.Crval1;
  W.crval[1] = D.Crval2;
  W.crpix[0] = W.xrefpix = D.Crpix1;
  W.crpix[1] = W.yrefpix = D.Crpix2;
  std::copy(std::begin(D.CD), std::end(D.CD), W.cd);
  Image.CD1_1_found = Image.CD1_2_found = Image.CD2_1_found = Image.CD2_2_found = D.Write_WCS;
  Image.CRPIX1_found = Image.CRPIX2_found = Image.CRVAL1_found = Image.CRVAL2_found = D.Write_WCS;
  Image.Decide_Plate_Solved();
}

TImage_Model Star_Field_Image(const TStar_Field_Description& D) {
  TImage_Model Image;
  Load_Star_Field(Make_Star_Field(D), D, Image);
  return Image;
}

TSettings Field_Measure_Settings(const TStar_Field_Description& D, uint32_t Radius, uint32_t Gap,
                                 uint32_t Annulus) {
  TSettings S;
  S.Radius = Radius;
  S.Gap = Gap;
  S.Annulus = Annulus;
  S.Gain = D.Gain;
  S.Readout_Noise = D.Read_Noise;
  S.Dark_Current = D.Dark_Current;
  S.Max_Error = 0.1;
  S.Snap_to_Centre = true;
  return S;
}
