#pragma once
// Plate solving with the local astrometry.net solver (solve-field, run as a child process),
// and the cache of the solutions it found, kept by the content of the frame.

#include "image/Image_Model.h"
#include "text/Messages.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What the frame's header tells the solver: where the telescope pointed and the pixel
// scale. Each is null when the header gives none; From names the cards it came from.
struct TSolve_Hints {
  std::optional<double> RA, Dec; // degrees
  std::string Position_From;     // "RA/DEC", "OBJCTRA/OBJCTDEC", "CRVAL1/CRVAL2"
  // Arc seconds per pixel. Scale_High above Scale when the header leaves the binning open
  // (XPIXSZ with XBINNING may or may not hold the binning already).
  std::optional<double> Scale, Scale_High;
  std::string Scale_From; // "SCALE", "PIXSCALE", "SECPIX", "XPIXSZ/FOCALLEN", "CD", "CDELT"
};

// The hints of an opened frame: RA/DEC (degrees, or text "H M S" hours and "D M S"
// degrees), else OBJCTRA/OBJCTDEC (text, hours and degrees), else CRVAL1/CRVAL2; the scale
// from SCALE, PIXSCALE or SECPIX (arc seconds per pixel), else XPIXSZ (micrometres) times
// XBINNING over FOCALLEN (millimetres), else the CD matrix or CDELT of the header. The last
// card of a keyword counts; a value that does not read, or is out of range, is no hint.
TSolve_Hints Solve_Hints_Of(const TImage_Model& Image);

// What the solver needs of a frame: its file, its size and its header's hints. Taken from
// the opened image, so that a solve in another thread touches no image model.
struct TSolve_Frame {
  std::string Path;
  int Width = 0, Height = 0;
  bool In_Extension = false;    // the image is the first extension, after a primary HDU without data
  bool Tile_Compressed = false; // which the solver cannot read
  TSolve_Hints Hints;
};
TSolve_Frame Solve_Frame_Of(const TImage_Model& Image);

struct TSolve_Options {
  // The solver's CPU-time limit, seconds; the wall-clock limit is this and a margin, after
  // which the solver and everything it started are killed.
  double Time_Limit = 60.0;
  bool Use_Hints = true;
  // The folder of cached solutions; Cache_Folder_Of() gives the user's.
  std::string Cache_Folder;
  // Set from another thread, it stops the solver at once (checked every 50 ms).
  const std::atomic<bool>* Cancel = nullptr;
  // The solver's program: found on the PATH unless it names a file.
  std::string Solver = "solve-field";
};

enum class TSolve_Outcome {
  Solved,        // the solver found a solution; it is now in the cache
  Cached,        // the cache held a solution for this content
  Not_Solved,    // the solver ended without a solution (or its time ran out)
  Not_Installed, // no solver on the PATH
  Cancelled,
};

struct TSolve_Result {
  TSolve_Outcome Outcome = TSolve_Outcome::Not_Solved;
  std::string Solution_Path; // the cached solution, for Solved and Cached
  std::string Message;       // why there is none, or how it was found
  double Seconds = 0.0;      // wall-clock time of the solver (0 from the cache)
  std::string Hints;         // the hints the solver had: "RA/DEC, PIXSCALE"; empty for a blind solve
};

// Said when the solver is missing: what to install.
extern const char* const Solver_Missing_Text;

// $XDG_CACHE_HOME/korvane/solutions, else $HOME/.cache/korvane/solutions; empty without
// either.
std::string Cache_Folder_Of(const std::string& Xdg_Cache_Home, const std::string& Home);

// A 128-bit hash of the file's bytes and its length, as 32 hex digits followed by the
// length: the cache key. Throws TKorvane_Error when the file cannot be read.
std::string Content_Key(const std::string& Path);

// True when Solver can be run: a path to an executable file, or a name found on the PATH.
bool Solver_Installed(const std::string& Solver = "solve-field");

// Finds the solution of the frame: from the cache, else by running the solver in a private
// temporary folder, which is removed afterwards. The frame is only read. A solution found is checked (it must
// read as a plate solution) and written to the cache whole. Never throws for the solver's failings: they end
// in Not_Solved with the reason and the last lines of the solver's log.
TSolve_Result Plate_Solve(const TSolve_Frame& Frame, const TSolve_Options& Options);

// The solution of a result applied to Image (TImage_Model::Apply_Solution): true when Image
// is now plate-solved by it; false, with the reason in Why, when there is none or it cannot
// be used.
bool Apply_Result(TImage_Model& Image, const TSolve_Result& Result, std::string& Why);

// Plate_Solve, then Apply_Result. What happened is said through Messages: the time taken or
// the cache, or why there is no solution. True when Image is now plate-solved by it.
bool Solve_And_Apply(TImage_Model& Image, const TSolve_Options& Options, TMessages& Messages);

// The text of a result for the user: "plate solved in 4.2 s (hints: RA/DEC, PIXSCALE)",
// "plate solved in 9.1 s (blind)", "plate solution from the cache", "not solved: ...".
std::string Solve_Result_Text(const TSolve_Result& Result);
