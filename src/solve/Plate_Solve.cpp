#include "solve/Plate_Solve.h"

#include "settings/Settings.h"
#include "sky/Sky.h"
#include "text/Input_File.h"
#include "text/Number_Format.h"
#include "text/Output_File.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;

const char* const Solver_Missing_Text =
    "the solver is not installed: apt install astrometry.net astrometry-data-tycho2-10-19";

namespace {

constexpr double Arcsec_Per_Radian = 206264.806;
// The solver looks this far around the header's pointing, at least; a wide field further.
constexpr double Least_Search_Radius = 2.0; // degrees
// A scale from the header is taken as good to this fraction either way.
constexpr double Scale_Tolerance = 0.2;
// Frames larger than this on their longer side are downsampled for source extraction.
constexpr int Largest_Solved_Side = 2048;
// A solution file larger than this is no header the solver wrote.
constexpr uint64_t Largest_Solution_Bytes = 1 << 20;
constexpr auto Poll_Interval = std::chrono::milliseconds(50);

// --- hints ---

// The last card named Key up to the END card: the last occurrence of a keyword counts.
const THeader_Card* Last_Card(const TImage_Model& Image, std::string_view Key) {
  const size_t End = std::min<size_t>(Image.NKeys + size_t{1}, Image.Cards.size());
  for (size_t k = End; k-- > 0;)
    if (Image.Cards[k].Key == Key)
      return &Image.Cards[k];
  return nullptr;
}

std::optional<double> Card_Number(const TImage_Model& Image, std::string_view Key) {
  const THeader_Card* Card = Last_Card(Image, Key);
  if (Card == nullptr)
    return std::nullopt;
  const std::optional<double> N = Try_Str_To_Float(Card->Value, '.');
  return N && std::isfinite(*N) ? N : std::nullopt;
}

bool Is_Text(const THeader_Card& Card) {
  return !Card.Value.empty() && Card.Value.front() == '\'';
}

// An angle card: a number in degrees, or text "D M S" (Text_Scale 15 for hours).
std::optional<double> Card_Angle(const TImage_Model& Image, std::string_view Key, double Text_Scale) {
  const THeader_Card* Card = Last_Card(Image, Key);
  if (Card == nullptr)
    return std::nullopt;
  const std::optional<double> Angle = Parse_Angle(Card->Value);
  if (!Angle)
    return std::nullopt;
  return Is_Text(*Card) ? *Angle * Text_Scale : *Angle;
}

bool Usable_Position(const std::optional<double>& RA, const std::optional<double>& Dec) {
  return RA && Dec && *RA >= 0.0 && *RA <= 360.0 && std::abs(*Dec) <= 90.0;
}

bool Usable_Scale(double Arcsec) {
  return std::isfinite(Arcsec) && Arcsec > 0.0 && Arcsec < 3600.0;
}

// --- the child process ---

// A private temporary folder, removed with everything in it when this goes.
class TTemporary_Folder {
public:
  TTemporary_Folder() {
    std::string Pattern = (fs::temp_directory_path() / "korvane-solve-XXXXXX").string();
    if (::mkdtemp(Pattern.data()) == nullptr)
      throw TKorvane_Error("cannot create a temporary folder for the solver: " +
                           std::string(std::strerror(errno)));
    Folder = Pattern;
  }
  ~TTemporary_Folder() {
    std::error_code Ignored;
    fs::remove_all(Folder, Ignored);
  }
  TTemporary_Folder(const TTemporary_Folder&) = delete;
  TTemporary_Folder& operator=(const TTemporary_Folder&) = delete;
  fs::path Folder;
};

std::string Number_Text(double Value) {
  return Format_Fixed(Value, 0, 6, '.');
}

// The solver's arguments: outputs in Folder, only the solution kept, the hints and limits.
std::vector<std::string> Solver_Arguments(const std::string& Solver, const TSolve_Frame& Frame,
                                          const fs::path& Folder, const TSolve_Options& Options) {
  // Every output in the private folder, and none but the solution.
  std::vector<std::string> A = {Solver,          "--overwrite", "--no-plots",    "--no-verify", "--dir",
                                Folder.string(), "--temp-dir",  Folder.string(), "--out",       "frame"};
  for (const char* Unwanted : {"--new-fits", "--index-xyls", "--rdls", "--corr", "--match", "--solved"})
    A.insert(A.end(), {Unwanted, "none"});
  A.insert(A.end(), {"--cpulimit", std::to_string(std::max(1L, std::lround(Options.Time_Limit)))});
  const int Side = std::max(Frame.Width, Frame.Height);
  if (Side > Largest_Solved_Side)
    A.insert(A.end(),
             {"--downsample", std::to_string((Side + Largest_Solved_Side - 1) / Largest_Solved_Side)});
  if (Options.Use_Hints) {
    const TSolve_Hints& Hints = Frame.Hints;
    if (Hints.Scale) {
      const double High = Hints.Scale_High.value_or(*Hints.Scale);
      A.insert(A.end(), {"--scale-units", "arcsecperpix", "--scale-low",
                         Number_Text(*Hints.Scale * (1.0 - Scale_Tolerance)), "--scale-high",
                         Number_Text(High * (1.0 + Scale_Tolerance))});
    }
    if (Hints.RA && Hints.Dec) {
      // The field's diagonal when the scale is known: a pointing is seldom off by more.
      double Radius = Least_Search_Radius;
      if (Hints.Scale)
        Radius = std::max(Radius, std::hypot(Frame.Width, Frame.Height) *
                                      Hints.Scale_High.value_or(*Hints.Scale) / 3600.0);
      A.insert(A.end(), {"--ra", Number_Text(*Hints.RA), "--dec", Number_Text(*Hints.Dec), "--radius",
                         Number_Text(std::min(Radius, 180.0))});
    }
  }
  if (Frame.In_Extension)
    A.insert(A.end(), {"--extension", "1"});
  // A frame named like an option is still a file.
  A.push_back(fs::absolute(Frame.Path).string());
  return A;
}

// The last lines of the solver's log, for a message: at most the last 4 kB, three lines.
std::string Log_Tail(const fs::path& Log) {
  std::optional<TInput_File> File = TInput_File::Open_If_Exists(Log.string());
  if (!File)
    return {};
  const uint64_t Size = File->Size();
  const uint64_t From = Size > 4096 ? Size - 4096 : 0;
  std::string Text(static_cast<size_t>(Size - From), '\0');
  Text.resize(File->Read_At(Text.data(), Text.size(), From));
  std::vector<std::string> Lines;
  size_t Start = 0;
  while (Start < Text.size()) {
    size_t End = Text.find('\n', Start);
    if (End == std::string::npos)
      End = Text.size();
    std::string Line = Text.substr(Start, End - Start);
    if (Line.find_first_not_of(" \t\r") != std::string::npos)
      Lines.push_back(std::move(Line));
    Start = End + 1;
  }
  std::string Tail;
  for (size_t k = Lines.size() > 3 ? Lines.size() - 3 : 0; k < Lines.size(); ++k)
    Tail += (Tail.empty() ? "" : " / ") + Lines[k];
  return Tail;
}

enum class TChild_End { Exited, Timed_Out, Cancelled };

struct TChild_Run {
  TChild_End End = TChild_End::Exited;
  int Status = 0;
  double Seconds = 0.0;
};

// Runs Argv in its own process group, standard input from /dev/null and standard output
// and error into Log. The whole group is killed when Wall_Limit passes or Cancel is set,
// and once the solver has ended, so that nothing it started outlives it. Throws
// TKorvane_Error when the process cannot be started (ENOENT: not installed).
TChild_Run Run_Child(const std::vector<std::string>& Argv, const fs::path& Log, double Wall_Limit,
                     const std::atomic<bool>* Cancel) {
  std::vector<char*> Args;
  for (const std::string& A : Argv)
    Args.push_back(const_cast<char*>(A.c_str()));
  Args.push_back(nullptr);

  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_addopen(&Actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&Actions, 1, Log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&Actions, 1, 2);
  posix_spawnattr_t Attributes;
  posix_spawnattr_init(&Attributes);
  // Its own group, no blocked signals and the default handling of the signals a program
  // (a window with its signal handling) may have changed.
  sigset_t Empty, Defaults;
  sigemptyset(&Empty);
  sigemptyset(&Defaults);
  for (int Signal : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD, SIGALRM, SIGUSR1, SIGUSR2})
    sigaddset(&Defaults, Signal);
  posix_spawnattr_setpgroup(&Attributes, 0);
  posix_spawnattr_setsigmask(&Attributes, &Empty);
  posix_spawnattr_setsigdefault(&Attributes, &Defaults);
  posix_spawnattr_setflags(&Attributes,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  const auto Start = std::chrono::steady_clock::now();
  pid_t Pid = -1;
  const int Error = posix_spawnp(&Pid, Args[0], &Actions, &Attributes, Args.data(), environ);
  posix_spawn_file_actions_destroy(&Actions);
  posix_spawnattr_destroy(&Attributes);
  if (Error == ENOENT)
    throw TKorvane_Error(Solver_Missing_Text);
  if (Error != 0)
    throw TKorvane_Error("cannot start the solver " + Argv[0] + ": " + std::strerror(Error));

  TChild_Run Run;
  const auto Elapsed = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
  };
  for (;;) {
    const pid_t Done = ::waitpid(Pid, &Run.Status, WNOHANG);
    if (Done == Pid || (Done < 0 && errno != EINTR))
      break;
    const bool Cancelled = Cancel != nullptr && Cancel->load();
    if (Cancelled || Elapsed() > Wall_Limit) {
      Run.End = Cancelled ? TChild_End::Cancelled : TChild_End::Timed_Out;
      ::killpg(Pid, SIGKILL);
      while (::waitpid(Pid, &Run.Status, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    std::this_thread::sleep_for(Poll_Interval);
  }
  // What the solver started and left behind goes with it.
  ::killpg(Pid, SIGKILL);
  Run.Seconds = Elapsed();
  return Run;
}

// Reads the solution file as a plate solution, on a scratch model: empty when it is one,
// else why not.
std::string Solution_Problem(const std::string& Path) {
  struct TQuiet : TMessages {
    void Show(const std::string&) override {}
  } Quiet;
  TImage_Model Scratch;
  try {
    if (Scratch.Apply_Solution(Path, Quiet))
      return {};
    return Scratch.WCS_Note;
  } catch (const TKorvane_Error& Error) {
    return Error.what();
  }
}

} // namespace

TSolve_Hints Solve_Hints_Of(const TImage_Model& Image) {
  TSolve_Hints H;
  const struct {
    const char *RA, *Dec;
    double Text_Scale;
  } Positions[] = {{"RA", "DEC", 15.0}, {"OBJCTRA", "OBJCTDEC", 15.0}};
  for (const auto& P : Positions) {
    std::optional<double> RA = Card_Angle(Image, P.RA, P.Text_Scale), Dec = Card_Angle(Image, P.Dec, 1.0);
    // OBJCTRA is hours whether quoted or not.
    if (RA && std::string_view(P.RA) == "OBJCTRA" && !Is_Text(*Last_Card(Image, P.RA)))
      *RA *= 15.0;
    if (Usable_Position(RA, Dec)) {
      H.RA = RA;
      H.Dec = Dec;
      H.Position_From = std::string(P.RA) + "/" + P.Dec;
      break;
    }
  }
  if (!H.RA && Image.CRVAL1_found && Image.CRVAL2_found) {
    const std::optional<double> RA = Image.WCS1.crval[0], Dec = Image.WCS1.crval[1];
    if (Usable_Position(RA, Dec)) {
      H.RA = RA;
      H.Dec = Dec;
      H.Position_From = "CRVAL1/CRVAL2";
    }
  }

  for (const char* Key : {"SCALE", "PIXSCALE", "SECPIX"})
    if (const auto S = Card_Number(Image, Key); S && Usable_Scale(*S)) {
      H.Scale = S;
      H.Scale_From = Key;
      return H;
    }
  const auto Size = Card_Number(Image, "XPIXSZ"), Focal = Card_Number(Image, "FOCALLEN");
  if (Size && Focal && *Focal > 0.0) {
    const double Scale = Arcsec_Per_Radian * *Size / 1000.0 / *Focal;
    const double Binning = Card_Number(Image, "XBINNING").value_or(1.0);
    if (Usable_Scale(Scale) && Binning >= 1.0 && Binning <= 64.0) {
      H.Scale = Scale;
      if (Binning > 1.0)
        H.Scale_High = Scale * Binning;
      H.Scale_From = "XPIXSZ/FOCALLEN";
      return H;
    }
  }
  const TWCSRecord& W = Image.WCS1;
  if (Image.CD1_1_found && Image.CD1_2_found && Image.CD2_1_found && Image.CD2_2_found) {
    const double Scale = std::sqrt(std::abs(W.cd[0] * W.cd[3] - W.cd[1] * W.cd[2])) * 3600.0;
    if (Usable_Scale(Scale)) {
      H.Scale = Scale;
      H.Scale_From = "CD";
    }
  } else if (Image.CDELT1_found && Image.CDELT2_found) {
    const double Scale = std::sqrt(std::abs(W.cdelt[0] * W.cdelt[1])) * 3600.0;
    if (Usable_Scale(Scale)) {
      H.Scale = Scale;
      H.Scale_From = "CDELT";
    }
  }
  return H;
}

std::string Cache_Folder_Of(const std::string& Xdg_Cache_Home, const std::string& Home) {
  if (Home.empty() && (Xdg_Cache_Home.empty() || Xdg_Cache_Home.front() != '/'))
    return {};
  return Xdg_Base_Folder(Xdg_Cache_Home, Home, ".cache") + "/korvane/solutions";
}

std::string Content_Key(const std::string& Path) {
  // Two independent 64-bit hashes of the bytes: FNV-1a, and a multiply-rotate mix of
  // 8-byte words. Not for security: a key only, checked again by the analysis.
  TInput_File File(Path);
  uint64_t Fnv = 14695981039346656037ULL, Mix = 0x9E3779B97F4A7C15ULL;
  std::vector<unsigned char> Block(size_t{1} << 20);
  uint64_t Length = 0;
  for (;;) {
    const size_t Got = File.Read(Block.data(), Block.size());
    if (Got == 0)
      break;
    Length += Got;
    for (size_t k = 0; k < Got; ++k)
      Fnv = (Fnv ^ Block[k]) * 1099511628211ULL;
    for (size_t k = 0; k < Got; k += 8) {
      uint64_t Word = 0;
      std::memcpy(&Word, Block.data() + k, std::min<size_t>(8, Got - k));
      Mix = (Mix ^ Word) * 0xBF58476D1CE4E5B9ULL;
      Mix ^= Mix >> 31;
    }
    if (Got < Block.size())
      break;
  }
  char Hex[40];
  std::snprintf(Hex, sizeof Hex, "%016llx%016llx", static_cast<unsigned long long>(Fnv),
                static_cast<unsigned long long>(Mix));
  return std::string(Hex) + "-" + std::to_string(Length);
}

bool Solver_Installed(const std::string& Solver) {
  if (Solver.find('/') != std::string::npos)
    return ::access(Solver.c_str(), X_OK) == 0;
  const char* Path = std::getenv("PATH");
  std::string_view Folders = Path != nullptr ? Path : "/usr/bin:/bin";
  while (true) {
    const size_t Colon = Folders.find(':');
    const std::string Folder(Folders.substr(0, Colon));
    const std::string Candidate = (Folder.empty() ? std::string(".") : Folder) + "/" + Solver;
    struct stat Info {};
    if (::stat(Candidate.c_str(), &Info) == 0 && S_ISREG(Info.st_mode) &&
        ::access(Candidate.c_str(), X_OK) == 0)
      return true;
    if (Colon == std::string_view::npos)
      return false;
    Folders.remove_prefix(Colon + 1);
  }
}

TSolve_Frame Solve_Frame_Of(const TImage_Model& Image) {
  TSolve_Frame Frame;
  Frame.Path = Image.FileName;
  Frame.Width = Image.XSize;
  Frame.Height = Image.YSize;
  Frame.In_Extension = Image.Image_Cards_From > 0;
  Frame.Tile_Compressed = Image.Tile_Compressed;
  Frame.Hints = Solve_Hints_Of(Image);
  return Frame;
}

TSolve_Result Plate_Solve(const TSolve_Frame& Frame, const TSolve_Options& Options) {
  TSolve_Result R;
  if (Options.Cache_Folder.empty()) {
    R.Message = "no folder for plate solutions: neither XDG_CACHE_HOME nor HOME is set";
    return R;
  }
  try {
    const std::string Cached = (fs::path(Options.Cache_Folder) / (Content_Key(Frame.Path) + ".wcs")).string();
    if (fs::is_regular_file(Cached) && Solution_Problem(Cached).empty()) {
      R.Outcome = TSolve_Outcome::Cached;
      R.Solution_Path = Cached;
      return R;
    }
    if (Frame.Tile_Compressed) {
      R.Message = "not solved: the solver cannot read tile-compressed images; unpack the file first "
                  "(funpack, Debian's libcfitsio-bin) and solve that";
      return R;
    }
    if (!Solver_Installed(Options.Solver)) {
      R.Outcome = TSolve_Outcome::Not_Installed;
      R.Message = Solver_Missing_Text;
      return R;
    }
    const TTemporary_Folder Temporary;
    const fs::path Log = Temporary.Folder / "solve-field.log";
    const double Wall_Limit = 1.5 * Options.Time_Limit + 5.0;
    const TChild_Run Run = Run_Child(Solver_Arguments(Options.Solver, Frame, Temporary.Folder, Options), Log,
                                     Wall_Limit, Options.Cancel);
    R.Seconds = Run.Seconds;
    if (Options.Use_Hints) {
      const TSolve_Hints& H = Frame.Hints;
      R.Hints = H.RA ? H.Position_From : "";
      if (H.Scale)
        R.Hints += (R.Hints.empty() ? "" : ", ") + H.Scale_From;
    }
    const std::string Limit = Format_Fixed(Options.Time_Limit, 0, 0, '.');
    if (Run.End == TChild_End::Cancelled) {
      R.Outcome = TSolve_Outcome::Cancelled;
      R.Message = "the plate solve was cancelled";
      return R;
    }
    const std::string Tail = Log_Tail(Log);
    const fs::path Solution = Temporary.Folder / "frame.wcs";
    if (Run.End == TChild_End::Timed_Out) {
      R.Message = "no solution found within " + Limit + " s: the solver was stopped after " +
                  Format_Fixed(Run.Seconds, 0, 0, '.') + " s";
    } else if (fs::is_regular_file(Solution) && fs::file_size(Solution) <= Largest_Solution_Bytes) {
      if (const std::string Problem = Solution_Problem(Solution.string()); !Problem.empty()) {
        R.Message = "the solver's solution cannot be used: " + Problem;
        return R;
      }
      TInput_File File(Solution.string());
      std::string Bytes(static_cast<size_t>(File.Size()), '\0');
      Bytes.resize(File.Read(Bytes.data(), Bytes.size()));
      Write_File_Whole(Cached, Bytes, true);
      R.Outcome = TSolve_Outcome::Solved;
      R.Solution_Path = Cached;
      return R;
    } else if (Tail.find("at least one index") != std::string::npos) {
      R.Message = "the solver has no index files: apt install astrometry-data-tycho2-10-19";
    } else {
      R.Message = "no solution found within " + Limit + " s";
    }
    if (!Tail.empty())
      R.Message += " (solve-field: " + Tail + ")";
  } catch (const TKorvane_Error& Error) {
    R.Outcome = std::string_view(Error.what()) == Solver_Missing_Text ? TSolve_Outcome::Not_Installed
                                                                      : TSolve_Outcome::Not_Solved;
    R.Message = Error.what();
  } catch (const fs::filesystem_error& Error) {
    R.Message = Error.what();
  }
  return R;
}

std::string Solve_Result_Text(const TSolve_Result& Result) {
  switch (Result.Outcome) {
  case TSolve_Outcome::Solved:
    return "plate solved in " + Format_Fixed(Result.Seconds, 0, 1, '.') + " s (" +
           (Result.Hints.empty() ? "blind" : "hints: " + Result.Hints) + ")";
  case TSolve_Outcome::Cached:
    return "plate solution from the cache";
  case TSolve_Outcome::Cancelled:
    return Result.Message;
  case TSolve_Outcome::Not_Solved:
  case TSolve_Outcome::Not_Installed:
    break;
  }
  return "not solved: " + Result.Message;
}

bool Apply_Result(TImage_Model& Image, const TSolve_Result& Result, std::string& Why) {
  struct TQuiet : TMessages {
    void Show(const std::string&) override {}
  } Quiet;
  if (Result.Solution_Path.empty()) {
    Why = Solve_Result_Text(Result);
    return false;
  }
  try {
    if (Image.Apply_Solution(Result.Solution_Path, Quiet))
      return true;
    Why = Image.WCS_Note;
  } catch (const TKorvane_Error& Error) {
    Why = Error.what();
  }
  return false;
}

bool Solve_And_Apply(TImage_Model& Image, const TSolve_Options& Options, TMessages& Messages) {
  const TSolve_Result Result = Plate_Solve(Solve_Frame_Of(Image), Options);
  if (!Result.Solution_Path.empty())
    Messages.Show(Solve_Result_Text(Result));
  std::string Why;
  if (Apply_Result(Image, Result, Why))
    return true;
  Messages.Show(Why);
  return false;
}
