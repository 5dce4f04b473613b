// make_star_field: writes a synthetic, plate-solved 16-bit FITS star field with known
// fluxes, positions and noise, and prints where each star fell.

#include "support/Star_Field.h"
#include "text/Messages.h"
#include "text/Number_Format.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

namespace {

const char* const Help_Text = R"(Usage: make_star_field --out FILE [options]

Writes a synthetic 16-bit FITS image (BZERO 32768) with a TAN world-coordinate system,
Gaussian stars integrated over each pixel, sky, Poisson noise in electrons and Gaussian
read noise from a fixed seed. Prints one line per star: number, x, y, flux in the image.
Numbers use a point as decimal separator. Pixel positions are zero-based (column, row),
the convention the program reads CRPIX in.

  --out FILE              file to write (required)
  --size WxH              image size in pixels (default 400x300)
  --crval RA,DEC          reference point in degrees, CRVAL1/CRVAL2 (default 0,0)
  --crpix X,Y             reference pixel, written as is (default the image centre)
  --scale ARCSEC          pixel scale, north up and east left: CD = -S,0,0,S (default 1.5)
  --cd A,B,C,D            CD1_1,CD1_2,CD2_1,CD2_2 in degrees per pixel (overrides --scale)
  --no-wcs                write no world-coordinate cards (an image that is not plate-solved)
  --sky ADU               sky level per pixel (default 1000)
  --gain E                electrons per ADU (default 1.5)
  --read-noise E          read noise in electrons (default 10)
  --dark E                dark current, electrons per pixel per second (default 0)
  --exposure S            exposure time in seconds; 0 writes no EXPOSURE card (default 60)
  --jd JD                 Julian date of the start of the exposure (default 2460000.5)
  --airmass X             air mass (default 1.2)
  --date-obs TEXT         DATE-OBS value (default 2023-02-24T00:00:00)
  --filter TEXT           FILTER value (default V)
  --fwhm PIXELS           star FWHM (default 3)
  --seed N                noise seed (default 1)
  --no-noise              write the noise-free expected values, rounded
  --star X,Y,FLUX[,FWHM]  a star at pixel (X, Y) with FLUX ADU in total (repeatable)
  --sky-star RA_H,DEC,FLUX[,FWHM]
                          a star at RA in hours and Dec in degrees (repeatable)
  --random-stars N,MIN,MAX
                          N further stars at random positions, fluxes MIN..MAX ADU spread
                          evenly in magnitude, placed with the noise seed + 1
  --help                  this text
)";

std::vector<double> Numbers(std::string_view Option, std::string_view Text, size_t Min, size_t Max) {
  std::vector<double> Out;
  size_t Start = 0;
  for (;;) {
    const size_t Comma = Text.find_first_of(",x", Start);
    Out.push_back(Str_To_Float(Text.substr(Start, Comma - Start)));
    if (Comma == std::string_view::npos)
      break;
    Start = Comma + 1;
  }
  if (Out.size() < Min || Out.size() > Max)
    throw TKorvane_Error(std::string(Option) + " takes " + std::to_string(Min) +
                         (Min == Max ? "" : " to " + std::to_string(Max)) + " numbers");
  return Out;
}

int Whole(std::string_view Option, double Value) {
  if (Value != std::floor(Value) || Value < 0 || Value > 65535)
    throw TKorvane_Error(std::string(Option) + " takes whole numbers from 0 to 65535");
  return static_cast<int>(Value);
}

int Run(int argc, char** argv) {
  TStar_Field_Description D;
  std::string Out;
  bool Crpix_Given = false, CD_Given = false;
  double Scale = 1.5;
  struct TRandom {
    int Count = 0;
    double Min = 0, Max = 0;
  } Random;

  for (int k = 1; k < argc; ++k) {
    const std::string_view Option = argv[k];
    if (Option == "--help" || Option == "-h") {
      std::cout << Help_Text;
      return 0;
    }
    if (Option == "--no-wcs") {
      D.Write_WCS = false;
      continue;
    }
    if (Option == "--no-noise") {
      D.Noise = false;
      continue;
    }
    if (k + 1 >= argc)
      throw TKorvane_Error(std::string(Option) + " needs a value (see --help)");
    const std::string_view Value = argv[++k];
    auto One = [&] { return Numbers(Option, Value, 1, 1)[0]; };
    if (Option == "--out") {
      Out = Value;
    } else if (Option == "--size") {
      const auto V = Numbers(Option, Value, 2, 2);
      D.Width = Whole(Option, V[0]);
      D.Height = Whole(Option, V[1]);
    } else if (Option == "--crval") {
      const auto V = Numbers(Option, Value, 2, 2);
      D.Crval1 = V[0];
      D.Crval2 = V[1];
    } else if (Option == "--crpix") {
      const auto V = Numbers(Option, Value, 2, 2);
      D.Crpix1 = V[0];
      D.Crpix2 = V[1];
      Crpix_Given = true;
    } else if (Option == "--scale") {
      Scale = One();
    } else if (Option == "--cd") {
      const auto V = Numbers(Option, Value, 4, 4);
      std::copy(V.begin(), V.end(), D.CD);
      CD_Given = true;
    } else if (Option == "--sky") {
      D.Sky = One();
    } else if (Option == "--gain") {
      D.Gain = One();
    } else if (Option == "--read-noise") {
      D.Read_Noise = One();
    } else if (Option == "--dark") {
      D.Dark_Current = One();
    } else if (Option == "--exposure") {
      D.Exposure = One();
    } else if (Option == "--jd") {
      D.JD = One();
    } else if (Option == "--airmass") {
      D.Airmass = One();
    } else if (Option == "--date-obs") {
      D.Date_Obs = Value;
    } else if (Option == "--filter") {
      D.Filter = Value;
    } else if (Option == "--fwhm") {
      D.FWHM = One();
    } else if (Option == "--seed") {
      const auto Seed = Str_To_Int(Value, 0);
      D.Seed = static_cast<uint64_t>(Seed);
    } else if (Option == "--star" || Option == "--sky-star") {
      const auto V = Numbers(Option, Value, 3, 4);
      TField_Star S;
      S.On_Sky = Option == "--sky-star";
      (S.On_Sky ? S.RA_Hours : S.X) = V[0];
      (S.On_Sky ? S.Dec : S.Y) = V[1];
      S.Flux = V[2];
      S.FWHM = V.size() > 3 ? V[3] : 0.0;
      D.Stars.push_back(S);
    } else if (Option == "--random-stars") {
      const auto V = Numbers(Option, Value, 3, 3);
      Random.Count = Whole(Option, V[0]);
      Random.Min = V[1];
      Random.Max = V[2];
    } else {
      throw TKorvane_Error("unknown option " + std::string(Option) + " (see --help)");
    }
  }
  if (Out.empty())
    throw TKorvane_Error("--out FILE is required (see --help)");
  if (!Crpix_Given) {
    D.Crpix1 = (D.Width - 1) / 2.0;
    D.Crpix2 = (D.Height - 1) / 2.0;
  }
  if (!CD_Given) {
    D.CD[0] = -Scale / 3600.0;
    D.CD[1] = D.CD[2] = 0.0;
    D.CD[3] = Scale / 3600.0;
  }
  if (Random.Count > 0)
    Add_Random_Stars(D, Random.Count, Random.Min, Random.Max, 10.0, D.Seed + 1);

  const TStar_Field Field = Make_Star_Field(D);
  Write_Star_Field(Field, Out);
  for (size_t s = 0; s < Field.Star_Positions.size(); ++s)
    std::cout << s + 1 << ' ' << Format_Fixed(Field.Star_Positions[s].x, 0, 3) << ' '
              << Format_Fixed(Field.Star_Positions[s].y, 0, 3) << ' '
              << Format_Fixed(Field.Star_Flux_In_Image[s], 0, 2) << '\n';
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "make_star_field: " << e.what() << '\n';
    return 2;
  }
}
