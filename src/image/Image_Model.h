#pragma once
// The image model: what one opened FITS image holds, and its reader Open_File.
// The window that shows the image owns one of these.

#include "image/Fits_Data.h"
#include "image/Image_Array.h"
#include "image/Result_Code.h"
#include "text/Messages.h"
#include "wcs/Unit_WCS.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One 80-byte header card: keyword, value and comment, as UTF-8 text.
struct THeader_Card {
  std::string Key;     // columns 1 to 8, trailing blanks removed
  std::string Value;   // as written (quotes kept), trailing blanks removed
  std::string Comment; // after the '/', leading blanks removed
};

// How the FITS reader takes the header.
struct TOpen_Options {
  // CRPIX as the FITS standard defines it (the first pixel is 1): 1 is subtracted as it is
  // read, so that every later step works in the program's 0-based convention. Off, CRPIX
  // is used as it stands.
  bool Fits_Crpix = false;
  // Pixels are read when a measurement first needs them, and only those, instead of all at
  // open. For headless measuring; the header is read, checked and refused exactly as always.
  bool Pixels_On_Demand = false;
  // The plane of a 3-dimensional image (a colour frame, a cube) that is read, from 1.
  uint32_t Plane = 1;
};

class TInput_File;
class TCfitsio_Image;

// The header's cards for exposure, time, air mass and site, their raw values (ISO 8859-1, as
// written) as the last occurrence of each gives them; null when the header has none. The
// reader turns them into the observation values once the whole header is read.
struct TObservation_Cards {
  std::optional<std::string> Exposure, Exptime;
  std::optional<std::string> JD, Date_Avg, Date_Obs, Mjd_Avg, Mjd_Obs, Time_Obs, UT;
  std::optional<std::string> AirMass;
  std::optional<std::string> Site_Lat, Site_Long, Obsgeo_B, Obsgeo_L, Lat_Obs, Long_Obs;
};

// The observatory: latitude and east longitude, degrees.
struct TSite {
  double Latitude = 0.0;
  double East_Longitude = 0.0;
};

class TImage_Model {
public:
  // --- reader state and header ---
  TImageArray Image_Array;
  int16_t BitPix = 0;
  bool CD1_1_found = false, CD1_2_found = false, CD2_1_found = false, CD2_2_found = false;
  bool CRPIX1_found = false, CRPIX2_found = false, CRVAL1_found = false, CRVAL2_found = false;
  // The layouts without a CD matrix: CDELT1/2 with CROTA2 or with the PC matrix.
  bool CDELT1_found = false, CDELT2_found = false, CROTA2_found = false;
  bool PC1_1_found = false, PC1_2_found = false, PC2_1_found = false, PC2_2_found = false;
  double Crota2 = 0.0;                 // degrees
  double PC[4] = {1.0, 0.0, 0.0, 1.0}; // PC1_1, PC1_2, PC2_1, PC2_2
  // SIP orders as written: A_ORDER, B_ORDER, AP_ORDER, BP_ORDER.
  bool A_ORDER_found = false, B_ORDER_found = false, AP_ORDER_found = false, BP_ORDER_found = false;
  double Sip_Order[4] = {};
  // The saturation level as the header gives it (SATURATE wins over DATAMAX), in ADU.
  bool SATURATE_found = false, DATAMAX_found = false;
  double Saturate = 0.0, Datamax = 0.0;

  std::string FileName;
  std::string Caption_String;
  // Every card read, in file order, END and the blank cards after it included.
  std::vector<THeader_Card> Cards;
  uint32_t NKeys = 0;  // index of the END card
  uint16_t XSize = 0;  // columns [px]
  uint16_t YSize = 0;  // rows [px]
  uint32_t Planes = 1; // NAXIS3 of a 3-dimensional image, else 1
  uint32_t Plane = 1;  // the plane read, from 1
  // Index in Cards of the image HDU's first card: 0 for an image in the primary HDU, else the
  // XTENSION card of the extension that holds it (the primary HDU's cards come first).
  size_t Image_Cards_From = 0;
  bool Tile_Compressed = false; // the image is a tile-compressed HDU, unpacked by cfitsio
  // The largest physical value the stored samples can hold (65535 for 16-bit images read as
  // 16-bit values; infinity for floating-point samples): the saturation level of last resort.
  double Stored_Maximum = 65535.0;

  bool Plate_Solved = false;
  // The solution came as CDELT with CROTA2 or PC, without distortion terms: possibly only the
  // mount's nominal pointing, so the analysis checks it against the comparison star first.
  bool Pointing_WCS = false;
  // Why the header's world coordinates were not taken, when they were present but unusable;
  // or, after an analysis, why a pointing solution was not trusted. Empty otherwise.
  std::string WCS_Note;
  // The world coordinates are a plate solution Korvane made (Apply_Solution): the analysis
  // checks them against the comparison star before it measures.
  bool Solved_Here = false;
  TWCS WCS_Calculator;
  TWCSRecord WCS1;

  // --- observation values ---
  TObservation_Cards Observation_Cards;
  // Julian date of mid-exposure, days. Without any time card it holds half the exposure
  // only, and Time_From is empty.
  double JD = 0.0;
  double AirMass = 1.0;  // meaningful only when AirMass_From is not empty
  double Exposure = 0.0; // seconds
  std::string Date_Obs;  // DATE-OBS as written, quotes included
  char Image_Filter_Letter = '\0';
  // Where the values came from: the card ("JD", "DATE-AVG", "MJD-AVG", "DATE-OBS",
  // "DATE-OBS+TIME-OBS", "DATE-OBS+UT", "MJD-OBS"; "EXPOSURE", "EXPTIME"; "AIRMASS", or "site"
  // once the analysis computed it for the variable). Empty: the header gives none.
  std::string Time_From;
  std::string Exposure_From;
  std::string AirMass_From;
  // Why a time or site card the header holds could not be used; empty when none failed.
  std::string Time_Problem;
  std::optional<TSite> Site; // from SITELAT/SITELONG, OBSGEO-B/OBSGEO-L or LAT-OBS/LONG-OBS

  // --- marks: positions in 0-based pixels (column, row) ---
  double ObjectX = 0.0, ObjectY = 0.0; // the variable star
  double NewX = 0.0, NewY = 0.0;       // centre of the star measured last, after recentring
  std::string ObjectName;
  bool Object_Marked = false;
  double ReferenceX = 0.0, ReferenceY = 0.0; // the comparison star; follows recentring
  std::string ReferenceName;
  bool Reference_Marked = false;
  double Reference_Mag = 0.0; // catalogue magnitude of the comparison star
  char Ref_Filter_Letter = '\0';
  double CheckX = 0.0, CheckY = 0.0; // the check star; follows recentring
  std::string CheckName;
  bool Check_Marked = false;
  double Check_Catalogue_Mag = 0.0; // catalogue magnitude of the check star, the comparison's filter

  // --- measurement (the star measured last is, after a full measurement, the comparison) ---
  double Npap_real = 0.0;       // sum of the aperture's pixel weights of the last star, pixels
  int32_t Npan = 0;             // annulus pixels kept by the last clipping pass of the last star
  double Net_Flux = 0.0;        // signal of the last star, ADU (at least 50)
  double Sky_Fluxpp = 0.0;      // sky of the last star, ADU per pixel
  double Ref_Background = 0.0;  // sky around the VARIABLE (the first star measured), ADU per pixel
  double Star_Background = 0.0; // sky around the COMPARISON star (the second), ADU per pixel
  TResult_Code Last_Error = TResult_Code::Not_Measured;
  double Magnitude = 0.0; // the variable's magnitude, or its limit when Less_Than is 1
  double Std_Error = 0.0; // standard error of Magnitude, magnitudes
  int32_t Less_Than = 0;  // 1: the variable is fainter than Magnitude
  double CMag = 0.0;      // instrumental magnitude of the comparison star, from electrons per second
  bool Outburst = false;
  // The check star, derived from the comparison as the variable is; beside the variable's
  // result, never part of it. Has_Check once it was measured with the variable.
  bool Has_Check = false;
  double Check_Mag = 0.0;    // magnitude derived from the comparison star
  double Check_Error = 0.0;  // its standard error, magnitudes
  double Check_Offset = 0.0; // Check_Mag less the catalogue magnitude
  double Check_CMag = 0.0;   // instrumental magnitude, from electrons per second, as CMag
  // The stars whose aperture holds a pixel at or above Saturation_Level(), in the order
  // "Object", "Reference", "Check".
  std::vector<std::string> Saturated;
  double Saturation_Used = 0.0; // the level they were judged by, ADU
  double Threshold = 0.0;       // outburst threshold of the target, magnitudes
  std::string ChartName;
  bool AAVSO_Written = false;
  // Whether the last analysis ended in a magnitude (Last_Error 0 then). A report that failed
  // afterwards (code 6) leaves it, so that the report can be written once the folder is there;
  // without it no report is written.
  bool Has_Measurement = false;

  // Reads the first image of the FITS file at FName into this model: a 16-bit primary image
  // as 16-bit values, any other (BITPIX 8, 32, -32, -64; an image extension; tile-compressed
  // or gzip'ed, through cfitsio) as physical floating-point values; of a cube the plane that
  // Options.Plane names. Findings that do not stop the reading go
  // to Messages; a condition that stops it throws TKorvane_Error naming the cause and the
  // file. Called once, on a fresh model. With Options.Pixels_On_Demand the header is read,
  // checked and refused exactly the same, and the image array reads the columns of a row
  // from the file as they are asked for (TImageArray::Span); the file then stays open while
  // the array lives (compressed and gzip'ed images are always read whole).
  void Open_File(const std::string& FName, TMessages& Messages, const TOpen_Options& Options = {});

  // Decides from the world-coordinate keywords found whether the image is plate-solved:
  // all of CRVAL1/2 and CRPIX1/2, and either all of CD1_1..CD2_2 or, when no CDi_j is
  // present, CDELT1/2, turned into the CD matrix with the PC matrix (when any PCi_j is
  // present; missing elements from the unit matrix) or else the rotation CROTA2 (0 when
  // absent; CROTA1 is not read). A complete CD matrix wins over CDELT; a partial one leaves
  // the image unsolved. The SIP terms are taken when CTYPE1 and CTYPE2 end in "-SIP". Sets
  // Plate_Solved, Pointing_WCS and WCS1.rotmat and inverts the CD matrix (TKorvane_Error when
  // a complete CD matrix is singular), or sets Last_Error to Not_Plate_Solved, with WCS_Note
  // saying why when the keywords were there but unusable (a singular CDELT layout, a SIP
  // order outside 0..9).
  void Decide_Plate_Solved();

  // Takes the world coordinates of the plate solution in the header file Path (a solver's
  // .wcs: CRPIX counted from 1, as the FITS standard has it, whatever the options of the
  // opening said) in place of the header's; the image's own cards stay as they were. True,
  // with Solved_Here set, when they make the image plate-solved; false, the image as it was
  // and WCS_Note saying why, when not. Throws TKorvane_Error when Path cannot be read.
  bool Apply_Solution(const std::string& Path, TMessages& Messages);

  // The level from which a pixel counts as saturated: SATURATE, else DATAMAX, else Setting
  // (the settings' Saturation_Level) when it is above 0, else the largest value the stored
  // pixels can hold (Stored_Maximum: none for floating-point samples, so that no star of such
  // a frame is called saturated without a level). A card whose last value is not a number
  // above 0 is passed over.
  double Saturation_Level(double Setting = 0.0) const;

  // The first card named Key at index From or later, up to the END card; null when none.
  const THeader_Card* Find_Card(std::string_view Key, size_t From = 0) const;

  // A note when CTYPE1 or CTYPE2 ends in "-SIP" but the header holds no SIP terms
  // (A_ORDER and B_ORDER), so no distortion is applied; empty otherwise.
  std::string Distortion_Note() const;

private:
  // The two halves of Open_File around the pixels. Read_Header takes the header from Input
  // (positioned at the file's start), fills the header fields, shows its findings and throws
  // what Open_File throws, the check that the file holds every row included. Finish_Open
  // completes the model once the pixels are in place.
  // Unpacked is set when cfitsio reads the pixels (gzip'ed files, compressed images).
  TData_Layout Read_Header(const std::string& FName, TInput_File& Input, TMessages& Messages,
                           const TOpen_Options& Options, std::unique_ptr<TCfitsio_Image>& Unpacked);
  void Finish_Open(const std::string& FName, TMessages& Messages);
};

// The cards that give a time of observation, in the order they are taken, for messages.
extern const char* const Time_Cards_Text;

// How the names of FITS images end (lower case): ".fit", ".fits", ".fts", gzip'ed
// (".fits.gz"), tile-compressed (".fz").
inline constexpr std::array<std::string_view, 7> Fits_Name_Endings = {".fit",    ".fits",    ".fts",   ".fz",
                                                                      ".fit.gz", ".fits.gz", ".fts.gz"};
