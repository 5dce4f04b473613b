// korvane-measure --solve with the installed solver: a field of real index stars saved
// without a solution, one whose pointing is off, and a frame of noise, in one batch; and
// solvers that are missing, hang or give a wrong solution.

#include "support/Fits_Writer.h"
#include "support/Index_Field.h"
#include "support/Run_Program.h"
#include "support/Star_Field.h"
#include "support/Test_Files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>

namespace fs = std::filesystem;

namespace {

constexpr double Field_RA = 80.0, Field_Dec = 30.0, Scale = 11.0; // degrees, arc seconds per pixel
constexpr int Size = 800;

// The JSON value of Key in a line of korvane-measure --json.
double Json_Value(const std::string& Line, const std::string& Key) {
  std::smatch M;
  if (!std::regex_search(Line, M, std::regex("\"" + Key + "\":(-?[0-9.eE+-]+)")))
    return std::nan("");
  return std::stod(M[1]);
}

std::string Json_Line_Of(const TProgram_Run& Run, const std::string& File) {
  for (const std::string& Line : Run.Out_Lines())
    if (Line.find("\"file\":\"" + File + "\"") != std::string::npos)
      return Line;
  return {};
}

std::map<std::string, std::string> Folder_Contents(const fs::path& Folder) {
  std::map<std::string, std::string> Files;
  for (const auto& Entry : fs::directory_iterator(Folder))
    Files[Entry.path().filename().string()] = Get(Entry.path());
  return Files;
}

size_t Cache_Count(const fs::path& Cache) {
  const fs::path Folder = Cache / "korvane" / "solutions";
  return fs::exists(Folder) ? static_cast<size_t>(std::distance(fs::directory_iterator(Folder), {})) : 0;
}

// The field, the variable and comparison star (two clear stars well inside it) and the
// target file naming them.
struct TIndex_Frames {
  TScratch_Folder Work{"korvane-solve"};
  fs::path Frames = Work.Folder / "frames", Cache = Work.Folder / "cache", Temporary = Work.Folder / "tmp";
  TStar_Field_Description Field;
  size_t Variable = 0, Comparison = 0; // indices into Field.Stars
  TStar_Field Rendered;
  std::string Targets;

  TIndex_Frames() {
    const std::vector<TIndex_Star> Stars = Index_Stars(Field_RA, Field_Dec, 1.8);
    Field = Index_Field(Stars, Size, Field_RA, Field_Dec, Scale);
    std::vector<size_t> Clear;
    for (size_t k = 0; k < Stars.size(); ++k) {
      const TCCDPosition P = Field_Sky_To_Pixel(Field, Stars[k].RA / 15.0, Stars[k].Dec);
      if (Stars[k].Mag > 8.0 && Stars[k].Mag < 9.5 && std::min(P.x, P.y) > 150 && std::max(P.x, P.y) < 650)
        Clear.push_back(k);
    }
    if (Clear.size() < 2)
      throw std::runtime_error("the index holds too few clear stars around the test field");
    Variable = Clear[0];
    Comparison = Clear[1];
    Rendered = Make_Star_Field(Field);
    fs::create_directories(Frames);
    fs::create_directories(Temporary);
    Targets =
        Work.Write("targets.csv", "Solve test targets\nname,rah,ram,ras,decd,decm,decs,ref,rrah,rram,rras,"
                                  "rdecd,rdecm,rdecs,filter,rmag,threshold,chart\n---\n" +
                                      Target_Row("KV Slv", Stars[Variable], Stars[Comparison], 5.0) + "\n");
  }

  TProgram_Run Measure(const std::vector<std::string>& Files, const std::string& Path = "/usr/bin:/bin",
                       const std::vector<std::string>& More = {}) const {
    std::vector<std::string> Argv = {
        KORVANE_MEASURE_PATH, "--json", "--solve",   "--solve-limit", "10", "--gain", "1.5",
        "--readout-noise",    "10",     "--targets", Targets};
    Argv.insert(Argv.end(), More.begin(), More.end());
    Argv.insert(Argv.end(), Files.begin(), Files.end());
    return Run_Program(Argv,
                       {"PATH=" + Path, "HOME=" + Work.Folder.string(),
                        "XDG_CONFIG_HOME=" + Work.Path("config"), "XDG_CACHE_HOME=" + Cache.string(),
                        "TMPDIR=" + Temporary.string()},
                       Frames, Work.Folder, 120);
  }
};

// One batch: noise first (it must not stop the rest), then the field saved without a
// solution and the field with a pointing 0.03 degrees off. Two real solves; the second run
// takes both from the cache, under another file name too.
TEST(Solve_E2E, Solves_Measures_Caches_And_Refuses_Noise) {
  TIndex_Frames F;
  {
    // The field without a solution, as an image extension after a primary HDU without data,
    // which the solver must be told to read.
    TFits_Writer Primary;
    Primary.Add("SIMPLE", "T");
    Primary.Add("BITPIX", "16");
    Primary.Add("NAXIS", "0");
    Primary.Add("EXTEND", "T");
    const TFits_Writer& Image = F.Rendered.Header;
    TFits_Writer Extension;
    Extension.Add("XTENSION", "'IMAGE   '");
    for (size_t k = 1; k < Image.Cards.size(); ++k) {
      Extension.Add_Raw(Image.Cards[k]);
      if (Image.Cards[k].starts_with("NAXIS2  ")) {
        Extension.Add("PCOUNT", "0");
        Extension.Add("GCOUNT", "1");
      }
    }
    Extension.Write((F.Frames / "unsolved.fit").string(),
                    TFits_Writer::Data_Bytes_Unsigned(F.Rendered.Pixels));
    const std::string Bytes = Get((F.Frames / "unsolved.fit").string());
    Put((F.Frames / "unsolved.fit").string(), Primary.Header_Bytes() + Bytes);
  }
  TStar_Field_Description Pointing = F.Field;
  Pointing.Write_WCS = true;
  Pointing.Cdelt_Layout = true;
  Pointing.Written_Offset[0] = 0.03;
  Write_Star_Field(Make_Star_Field(Pointing), (F.Frames / "pointing.fit").string());
  TStar_Field_Description Noise = F.Field;
  Noise.Stars.clear();
  Write_Star_Field(Make_Star_Field(Noise), (F.Frames / "noise.fit").string());
  const auto Before = Folder_Contents(F.Frames);

  const TProgram_Run First = F.Measure({"noise.fit", "unsolved.fit", "pointing.fit"});
  EXPECT_EQ(First.Status, 1) << First.Err;
  EXPECT_NE(First.Err.find("noise.fit: not solved: no solution found within 10 s"), std::string::npos)
      << First.Err;
  EXPECT_EQ(Json_Value(Json_Line_Of(First, "noise.fit"), "Last_Error"), 2);
  // Blind without hints; the pointing's CRVAL and CDELT narrow the search.
  EXPECT_TRUE(std::regex_search(First.Err, std::regex("unsolved.fit: plate solved in [0-9.]+ s \\(blind\\)")))
      << First.Err;
  EXPECT_TRUE(std::regex_search(
      First.Err, std::regex("pointing.fit: plate solved in [0-9.]+ s \\(hints: CRVAL1/CRVAL2, CDELT\\)")))
      << First.Err;
  EXPECT_EQ(Folder_Contents(F.Frames), Before) << "the frames were changed or files were left beside them";
  EXPECT_EQ(Cache_Count(F.Cache), 2u);
  EXPECT_TRUE(fs::is_empty(F.Temporary)) << "the solver's temporary files were left";

  const TCCDPosition Truth_Variable = F.Rendered.Star_Positions[F.Variable];
  const TCCDPosition Truth_Comparison = F.Rendered.Star_Positions[F.Comparison];
  fs::copy_file(F.Frames / "unsolved.fit", F.Frames / "renamed.fit");
  const TProgram_Run Second = F.Measure({"unsolved.fit", "renamed.fit", "pointing.fit"});
  EXPECT_EQ(Second.Status, 0) << Second.Err;
  EXPECT_EQ(Second.Err.find("plate solved in"), std::string::npos) << Second.Err;
  EXPECT_EQ(Cache_Count(F.Cache), 2u);
  for (const TProgram_Run* Run : {&First, &Second})
    for (const std::string File : {"unsolved.fit", "pointing.fit", "renamed.fit"}) {
      const std::string Line = Json_Line_Of(*Run, File);
      if (Run == &First && File == "renamed.fit")
        continue;
      SCOPED_TRACE(File + ": " + Line);
      EXPECT_NE(
          Run->Err.find(File + ": " + (Run == &First ? "plate solved in" : "plate solution from the cache")),
          std::string::npos);
      EXPECT_EQ(Json_Value(Line, "Last_Error"), 0);
      EXPECT_NEAR(Json_Value(Line, "ObjectX"), Truth_Variable.x, 0.1);
      EXPECT_NEAR(Json_Value(Line, "ObjectY"), Truth_Variable.y, 0.1);
      EXPECT_NEAR(Json_Value(Line, "ReferenceX"), Truth_Comparison.x, 0.1);
      EXPECT_NEAR(Json_Value(Line, "ReferenceY"), Truth_Comparison.y, 0.1);
    }
}

// Solvers that cannot help: missing, hanging (with a child of its own), or writing a
// solution of the wrong sky. Each ends with the frame not plate-solved and a reason, in
// bounded time, and leaves no process behind.
TEST(Solve_E2E, Missing_Hanging_Or_Wrong_Solver_Gives_Not_Solved) {
  TIndex_Frames F;
  Write_Star_Field(F.Rendered, (F.Frames / "frame.fit").string());
  // The PATH holds only this folder (on Debian /bin is /usr/bin, where the real solver is),
  // with the few tools the fake solvers use.
  const fs::path Bin = F.Work.Folder / "bin";
  fs::create_directories(Bin);
  for (const char* Tool : {"sleep", "cp"})
    fs::create_symlink(fs::path("/usr/bin") / Tool, Bin / Tool);
  // A true solution moved 0.1 degrees: a valid header whose comparison star lands on no star.
  TFits_Writer Wrong = Standard_Header(Size, Size);
  Add_TAN_WCS(Wrong, Field_RA + 0.1, Field_Dec, (Size + 1) / 2.0, (Size + 1) / 2.0, -Scale / 3600.0, 0.0, 0.0,
              Scale / 3600.0);
  const std::string Wrong_Wcs = F.Work.Write("wrong.wcs", Wrong.Header_Bytes());
  const std::string Pid_File = F.Work.Path("child.pid");
  const struct {
    const char* Name;
    std::string Script; // empty: no solver on the PATH
    std::string Said;
  } Cases[] = {
      {"missing", "", "korvane-measure: --solve: the solver is not installed: apt install astrometry.net"},
      {"hanging", "sleep 300 &\necho $! > '" + Pid_File + "'\nwait\n",
       "frame.fit: not solved: no solution found within 1 s: the solver was stopped after"},
      {"wrong sky",
       "while [ $# -gt 0 ]; do [ \"$1\" = --dir ] && cp '" + Wrong_Wcs + "' \"$2/frame.wcs\"; shift; done\n",
       "frame.fit: the plate solution may be wrong"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    fs::remove_all(F.Cache);
    fs::remove(Bin / "solve-field");
    if (!C.Script.empty()) {
      std::ofstream(Bin / "solve-field") << "#!/bin/sh\n" << C.Script;
      fs::permissions(Bin / "solve-field", fs::perms::owner_all);
    }
    const TProgram_Run Run = F.Measure({"frame.fit"}, Bin.string(), {"--solve-limit", "1"});
    EXPECT_EQ(Run.Status, 1) << Run.Err;
    EXPECT_NE(Run.Err.find(C.Said), std::string::npos) << Run.Err;
    EXPECT_EQ(Json_Value(Json_Line_Of(Run, "frame.fit"), "Last_Error"), 2) << Run.Out;
    EXPECT_TRUE(fs::is_empty(F.Temporary)) << "the solver's temporary files were left";
  }
  // The hanging solver's child went with it.
  const pid_t Child = std::stoi(Get(Pid_File));
  const std::string Stat = Get("/proc/" + std::to_string(Child) + "/stat");
  EXPECT_TRUE(Stat.empty() || Stat.find(") Z ") != std::string::npos) << Stat;
}

} // namespace
